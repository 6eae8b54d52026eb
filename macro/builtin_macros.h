#pragma once
// The global scope's contents: the version constants and every built-in
// macro family, registered in one fixed order (a later registration of a
// name replaces an earlier one). Engine start calls InitBuiltinMacros and
// then adds the global named strings; engine stop calls
// TerminateBuiltinMacros.

class CMacroContext;

// The global scope holds every built-in and the named strings: hundreds of
// names, so it is chained over more buckets than a small scope.
inline constexpr unsigned kGlobalScopeBuckets = 511;

void InitBuiltinMacros(CMacroContext* global);
void TerminateBuiltinMacros();
