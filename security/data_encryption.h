#pragma once
// Data-encryption keys: a fresh DES-CBC or RC2-CBC key and IV drawn from a
// random object, bound to a key object and an algorithm object (both with
// PKCS #5 padding), and the selector of such an algorithm object again.
// Statuses are the application layer's (toolkit_handle.h).

#include "security/toolkit_handle.h"

// Selector: low four bits 1 DES-CBC, 2 RC2-CBC with effective bits
// ((selector >> 4) + 32) mod 256; others 277. 297 while the random object
// needs seed, 315 for a bad random handle.
int SetDataEncryptionAlgorithm(ToolkitAlgorithmObject algorithm, ToolkitKeyObject key, int selector,
                               ToolkitHandle* random, const ToolkitLogCallback* log,
                               const ToolkitSurrender* surrender);
// 1 for DES-CBC; ((effective bits - 32) mod 256) x 16 + 2 for RC2-CBC; 277
// for an object bound to neither.
int GetDataEncryptionSelector(int* selector, ToolkitAlgorithmObject algorithm, const ToolkitLogCallback* log);
