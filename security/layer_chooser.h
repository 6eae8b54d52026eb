#pragma once
// The chooser of the toolkit's application layer (key pairs, certificate
// requests, password-based encryption): DES-CBC and RC2-CBC in both
// directions, MD2, MD5, the RSA public and private operations in both
// directions, the MD5 random generator and RSA key generation. The SSL
// layer keeps DefaultAlgorithmChooser.

#include "security/toolkit.h"

extern const ToolkitMethodRecord* const LayerAlgorithmChooser[];
