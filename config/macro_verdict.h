#pragma once
// How a user's or a group's macro gives its verdict. The Authenticate and
// member macros accept when their expansion succeeds and leaves some text
// other than blanks; everything else refuses:
//   - a thrown macro error (the caller may learn its text),
//   - output that carries the language's report of an error outside try, a
//     bracketed "[<type> error <number>: <message>]" anywhere in the text,
//     because such output only means the macro broke half way,
//   - output made only of spaces, tabs, CR and LF (or none).

#include "config/macro_scope.h"

#include <span>
#include <string>
#include <string_view>

// True when text holds a bracketed error report as described above.
bool ContainsMacroErrorText(std::string_view text);

// True when text holds a character other than space, tab, CR and LF.
bool HasNonBlankText(std::string_view text);

// Expands text in a scope nested in scope with the given constants and
// returns the verdict. No lock may be held by the caller: the macro may use
// any map or list. When the macro refuses because of an error and error is
// given, it receives a short description of it.
bool MacroAccepts(CMacroScope* scope, std::string_view text, std::span<const CMacroScope::Constant> constants,
                  std::string* error);
