#pragma once
// The control-flow macros: if, switch, not, and, or, null, while and do.
//
// Truth is textual: a text is true when it is not empty, and the predicates
// print "T" for true and nothing for false. Branches, loop texts and the
// arguments of and/or arrive raw (through their quote companions) and are
// expanded here with the caller's scope, only when and as often as they are
// chosen, so macros that change state (set) make loops progress.

#include <cstdint>

class CMacroContext;

// How many rounds all the loops running inside one outermost loop may take
// together. Far above what a page's loop over its data needs, yet a loop
// whose condition never empties ends within a second or so instead of
// holding its thread for ever; sharing the count keeps loops nested inside
// try from multiplying it.
inline constexpr long long kMaxLoopIterations = 1'000'000;

// What one expansion (its output, the values it sets, its working texts)
// may hold at once. Far above any page's needs, yet a text that doubles a
// value in a loop stops long before it takes the server's memory.
inline constexpr std::int64_t kMaxExpansionBytes = std::int64_t{64} << 20;
inline constexpr unsigned kExpansionMemoryErrorNumber = 8; // the system's "not enough memory"
inline constexpr const char* kExpansionMemoryErrorMessage = "Expansion needs more memory than a page may hold.";

// The error a loop reports when the count runs out (type "while" or "do").
// It is shown in the output outside a try, so a page cut short says so.
inline constexpr unsigned kLoopLimitErrorNumber = 0;
inline constexpr const char* kLoopLimitErrorMessage = "Loop ran too many times.";

// Registers if, "'if", switch, not, and, "'and", or, "'or", null, while,
// "'while", do and "'do" in scope in that order, replacing macros of those
// names; nothing in a read-only scope.
void RegisterFlowMacros(CMacroContext& global);
