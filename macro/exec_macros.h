#pragma once
// The environment and exec macros.
//
//   getenv (name)                      the server process's variable; nothing
//                                      when it is undefined or empty
//   exec (command line, [directory])   runs the program and inserts what it
//                                      writes to its standard output
//
// The command line is split into arguments as Windows programs split theirs
// and the program is started directly, never by a shell, with the server's
// environment, no descriptor but its output, and as the user the request
// runs as. Its output is expanded as a macro text only when the command
// line is the page's own constant text: a command line built from values
// (a form field, say) may make the program repeat what a client sent, and
// that is inserted as it is. The command line itself is expanded exactly
// once (the name's quote companion passes it raw to the macro).
//
// Bounds: the output may hold at most kExecOutputCap bytes and the whole run
// may take kExecDeadlineMs; past either the program (and whatever it
// started) is killed and reaped, and the macro reports its error. A program
// run for a page is killed as soon as the page's client leaves, and the page
// ends there (thrown as the client's WSocketException). Every program has
// ended and been reaped when exec returns.

#include <cstddef>
#include <cstdint>

class CMacroContext;

inline constexpr std::size_t kExecOutputCap = std::size_t{8} << 20;
inline constexpr std::uint32_t kExecDeadlineMs = 300000;
inline constexpr std::size_t kExecReadBlock = 32768;

inline constexpr const char* kExecErrorType = "EXEC";
inline constexpr const char* kExecErrorMessage = "Error in exec() expansion";
// The numbers of exec's own failures (the system's "not enough memory" and
// "timeout"); a failed start reports the start's own number.
inline constexpr unsigned kExecOutputTooLargeError = 8;
inline constexpr unsigned kExecTimeoutError = 1460;
inline constexpr unsigned kExecReadError = 109; // the pipe failed

// Tests shorten the deadline; 0 puts the designed one back.
void SetExecDeadlineForTesting(std::uint32_t milliseconds);

// Registers getenv (before the counter family, as the table orders them).
void RegisterGetenvMacro(CMacroContext& global);
// Registers exec and its quote companion "'exec".
void RegisterExecMacro(CMacroContext& global);
