#pragma once
// The random object: a handle around one random-generator algorithm object
// that refuses to produce output until its owner has fed it enough seed.

#include "security/toolkit_handle.h"

// Bytes of seed a new object needs before it generates anything. Any bytes
// fed count in full: the owner is trusted to feed unpredictable ones.
inline constexpr int kRandomSeedNeeded = 256;

int CreateRandomObject(ToolkitHandle** handle);
int SeedRandomObject(ToolkitHandle* handle, const unsigned char* bytes, unsigned int length,
                     const ToolkitLogCallback* log);
int GenerateFromRandomObject(unsigned char* out, unsigned int length, ToolkitHandle* handle,
                             const ToolkitLogCallback* log);
int GetRandomSeedNeeded(int* count, ToolkitHandle* handle, const ToolkitLogCallback* log);
// The generator, for other toolkit calls; 297 while seed is still needed.
int GetRandomAlgorithm(ToolkitAlgorithmObject* algorithm, ToolkitHandle* handle);
void DestroyRandomObject(ToolkitHandle** handle);

// Seeds in passes until no seed is needed: each pass feeds the process and
// machine figures and then bytes of the kernel's random source, so the key
// never rests on the figures alone. 315 when the kernel source fails.
int SeedRandomObjectFromSystem(ToolkitHandle* handle, const ToolkitLogCallback* log);
