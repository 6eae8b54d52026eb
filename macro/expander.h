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
// user macro costs one to three levels per step.
constexpr int kMaxExpandDepth = 256;

// The CMacroException raised one level past the limit.
constexpr const char* kExpandErrorType = "expand";
constexpr unsigned kExpandErrorNumber = 1001; // the system's "recursion too deep" code
constexpr const char* kExpandErrorMessage = "Macro nesting too deep.";

// Stack one nesting level takes: the largest step between two levels,
// measured on the recursive paths (a string macro's text; an expanded
// argument; a body expanded in a nested scope, as user macros and try do; a
// macro called with arguments that expands a body, as if and while do, the
// deepest). Measured (gcc 12 / clang 14, x86-64): optimised 960 / 912 bytes;
// unoptimised 1168 / 1648; AddressSanitizer unoptimised 1984 / 5056,
// optimised - / 2496. The figures below round those up and are checked by
// the expander's tests. A macro that expands text keeps its own frame small
// (big buffers on the heap) so that it stays within them.
#if defined(VELMORA_SANITIZE) || defined(__SANITIZE_ADDRESS__)
#if defined(__OPTIMIZE__)
constexpr std::size_t kExpandStackPerLevel = 3072;
#else
constexpr std::size_t kExpandStackPerLevel = 6144;
#endif
#elif defined(__OPTIMIZE__)
constexpr std::size_t kExpandStackPerLevel = 1280;
#else
constexpr std::size_t kExpandStackPerLevel = 2048;
#endif

// Stack a connection needs beside its deepest expansion: the connection and
// request frames, a built-in's own locals, C library calls.
constexpr std::size_t kExpandStackHeadroom = 64 * 1024;

// The smallest stack a fiber that expands pages may have: 384 KiB in an
// optimised build (576 KiB unoptimised, 832 KiB or 1.6 MiB under the
// sanitizers). A fiber stack of 512 KiB covers the optimised builds.
constexpr std::size_t kMinFiberStackSize = kMaxExpandDepth * kExpandStackPerLevel + kExpandStackHeadroom;

// The nesting count is kept per thread. A scheduler that runs several fibers
// on one thread swaps it on every switch, as it does the thread's heap:
// saved = ExchangeExpandDepth(fiber's own count) when a fiber resumes.
int GetExpandDepth() noexcept;
int ExchangeExpandDepth(int depth) noexcept;

// True when text is an argument, passed raw, of a macro call still running
// on this thread or fiber (compared by address, so a macro that hands its
// arguments on, as invoke does, keeps them raw).
bool IsRawArgument(const char* text) noexcept;
