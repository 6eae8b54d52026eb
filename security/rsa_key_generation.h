#pragma once
// RSA key-pair generation through an algorithm object: bind it to
// RSAKeyGenerationInfoType with the modulus size and public exponent, start
// it with GenerateInit and a chooser that lists the generator (the layer's
// chooser does), then GenerateKeyPair fills two empty key objects from the
// random octets of a started random algorithm object.
//
// Statuses beyond the toolkit's usual ones: 533 for a modulus size outside
// 256 to 1024 bits, 522 for an exponent as long as the modulus or longer,
// 521 for an even exponent or 1 (all at GenerateInit). A surrender
// function's non-zero answer ends the generation with that answer.

#include "security/toolkit.h"

struct ToolkitRSAKeyGenerationParameters {
    unsigned int modulusBits;
    ToolkitItem publicExponent; // big-endian octets
};

int RSAKeyGenerationInfoType(const void** out); // parameters: ToolkitRSAKeyGenerationParameters*

int GenerateInit(ToolkitAlgorithmObject object, ToolkitAlgorithmChooser chooser, const ToolkitSurrender* surrender);
// The public key object receives RSAPublicKeyInfoType (and so yields
// PublicKeyEncodedInfoType), the private one RSAPrivateKeyInfoType (and so
// PrivateKeyEncodedInfoType). Both must be empty (526 otherwise).
int GenerateKeyPair(ToolkitAlgorithmObject object, ToolkitKeyObject publicKey, ToolkitKeyObject privateKey,
                    ToolkitAlgorithmObject random, const ToolkitSurrender* surrender);
