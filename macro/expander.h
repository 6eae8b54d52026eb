#pragma once
// Limits of the macro expander (CMacroContext::Expand, expander.cpp).

#include <cstddef>

// An argument list passes at most this many empty arguments, so a run of
// commas cannot make a call arbitrarily wide without bytes to show for it.
constexpr int kMaxEmptyArguments = 64;

// Expansions nest at most this deep. Every Expand call counts one level:
// the text of a string macro, each argument that is expanded, and every
// macro that expands a text (user macros, try, control flow). A page that
// refers to itself, directly or through others, hits the limit instead of
// the end of its stack. Well-formed pages stay far below it; a recursive
// user macro costs about three levels per step.
constexpr int kMaxExpandDepth = 256;

// The CMacroException raised one level past the limit.
constexpr const char* kExpandErrorType = "expand";
constexpr unsigned kExpandErrorNumber = 1001; // the system's "recursion too deep" code
constexpr const char* kExpandErrorMessage = "Macro nesting too deep.";

// STACK_FIGURES

// The nesting count is kept per thread. A scheduler that runs several fibers
// on one thread swaps it on every switch, as it does the thread's heap:
// saved = ExchangeExpandDepth(fiber's own count) when a fiber resumes.
int GetExpandDepth() noexcept;
int ExchangeExpandDepth(int depth) noexcept;
