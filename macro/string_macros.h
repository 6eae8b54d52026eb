#pragma once
// The string built-ins: case, substrings, trimming, quoting for macro text,
// HTML and URLs, padding, comparison and matching, tokens, mapping a
// template over a list, path joining and single characters.
//
// Arguments arrive expanded unless a companion says otherwise; numbers are
// read as atoi reads them; "T" is true and nothing is false; a macro whose
// required arguments are missing writes nothing. Lengths count bytes.

#include "framework/html_text.h"

#include <cstddef>

class CMacroContext;

// The most that dup or one of the padding macros writes in one call. A
// count or width may come from a form field, and nothing a page shows needs
// more; past it the macro writes nothing and reports kStringTooLongError.
inline constexpr std::size_t kMaxGeneratedStringBytes = 16u << 20;
// The system's "not enough memory" code, reported with the macro's name.
inline constexpr unsigned kStringTooLongError = 8;
inline constexpr const char* kStringTooLongMessage = "Output too large.";

// html-clean takes at most this many names from each of its tag lists, the
// number of open-tag counters the tag filter keeps.
inline constexpr int kMaxCleanTagNames = kMaxPairedTags;

// Registers the string family in scope, replacing macros of the same names;
// nothing in a read-only scope.
void RegisterStringMacros(CMacroContext& global);
