#pragma once
// HTML escaping into a CTextBuffer: the tag filter for text that users
// write (chat lines, html-clean), plain escaping, text with line breaks, and
// the visible length of an HTML text. These only append to the buffer.

#include "framework/text_buffer.h"

#include <string_view>

// The open-tag counters of AppendSafeHTML live on the stack; entries of a
// paired-tag list past this many are never let through.
inline constexpr int kMaxPairedTags = 128;

// Null-terminated lists of upper-case tag names: the tags let through and
// never closed, and the tags let through and closed at the end when left open.
extern const char* const kDefaultSingleTags[];
extern const char* const kDefaultPairedTags[];

// Lets the listed tags through (null lists mean the default ones) and
// neutralises everything else: quotes and '>' are escaped, '&' is kept only
// where an entity follows, and an unknown tag or a '<' that never closes is
// escaped (escapeUnknown) or dropped with the rest of the candidate. A tag let
// through loses its event-handler attributes ("on..."), attributes whose value
// is a javascript: or vbscript: URL, and a quoted value that is never closed;
// the rest of it is kept as written. Paired tags left open are closed at the
// end, in list order.
void AppendSafeHTML(CTextBuffer* out, std::string_view text, bool escapeUnknown,
                    const char* const* singleTags = nullptr, const char* const* pairedTags = nullptr);
// A null text appends nothing.
void AppendSafeHTML(CTextBuffer* out, const char* text, bool escapeUnknown,
                    const char* const* singleTags = nullptr, const char* const* pairedTags = nullptr);

// Escapes '"', '&', '<' and '>' as entities; every '&' is escaped.
void HTMLEncode(CTextBuffer* out, std::string_view text);
// A null text appends nothing.
void HTMLEncode(CTextBuffer* out, const char* text);

// HTMLEncode plus line ends: CR LF and CR become "<P>", LF "<BR>".
void TextToHTML(CTextBuffer* out, std::string_view text);

// The characters a browser would show: tags count 0, an entity (a ';' within
// the ten characters after '&') counts 1, a '<' that never closes ends the count.
int HTMLDecodedLength(std::string_view text);
