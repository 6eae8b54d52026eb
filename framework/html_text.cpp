#include "framework/html_text.h"

#include "platform/ascii.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

const char* const kDefaultSingleTags[] = {"P", "HR", "BR", "DT", "DD", "IMG", "LI", "INPUT", nullptr};
const char* const kDefaultPairedTags[] = {"B",  "I",  "U",   "FONT", "BLINK", "A",  "CENTER", "STRONG", "EM",
                                          "PRE", "ADDRESS", "OL", "UL", "DL", "CODE", "TT", "H1", "H2",
                                          "H3", "H4", "H5", "H6", "TEXTAREA", "SELECT", nullptr};

namespace {

// AppendSafeHTML keeps a bare '&' only when a ';' comes within this many
// characters (an entity name of at most 16); longer runs are escaped.
constexpr std::size_t kSafeEntityReach = 17;
// HTMLDecodedLength takes '&' for an entity when a ';' is this close.
constexpr std::size_t kDecodedEntityReach = 10;
// A script scheme is this short; a value needs no more normalising than this.
constexpr std::size_t kSchemePrefixLimit = 16;

char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

using platform::LowerAscii;

// The characters a browser's tokenizer takes for white space between
// attributes (CR too, since it reads CR as LF). Other control characters
// belong to the name or value they sit in, so they must not split here.
bool IsTagSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// A tag name, upper-cased, against a list entry, exactly.
bool NameEquals(std::string_view name, const char* entry)
{
    std::size_t k = 0;
    for (; k < name.size(); ++k) {
        if (entry[k] == 0 || UpperAscii(name[k]) != entry[k])
            return false;
    }
    return entry[k] == 0;
}

int FindTag(std::string_view name, const char* const* list, int limit)
{
    for (int i = 0; i < limit && list[i]; ++i) {
        if (NameEquals(name, list[i]))
            return i;
    }
    return -1;
}

bool BeginsEntity(std::string_view text, std::size_t amp)
{
    for (std::size_t k = 1; k <= kSafeEntityReach; ++k) {
        std::size_t pos = amp + k;
        if (pos >= text.size() || text[pos] == ' ')
            return false;
        if (text[pos] == ';')
            return true;
    }
    return false;
}

bool EqualsIgnoreCase(std::string_view text, const char* lower)
{
    std::size_t k = 0;
    for (; k < text.size(); ++k) {
        if (lower[k] == 0 || LowerAscii(text[k]) != lower[k])
            return false;
    }
    return lower[k] == 0;
}

// One character of an attribute value as the browser reads it: character
// references are decoded, since "&#106;avascript:" runs as well as the plain
// text. Returns a code point and moves *i past what it read.
long NextValueChar(std::string_view value, std::size_t* i)
{
    std::size_t j = *i + 1;
    if (value[*i] != '&')
        return static_cast<unsigned char>(value[(*i)++]);
    if (j < value.size() && value[j] == '#') {
        ++j;
        bool hex = j < value.size() && (value[j] == 'x' || value[j] == 'X');
        if (hex)
            ++j;
        std::size_t digits = j;
        long code = 0;
        for (; j < value.size(); ++j) {
            char c = value[j];
            int d = c >= '0' && c <= '9' ? c - '0'
                    : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : -1;
            if (d < 0)
                break;
            if (code < 0x110000)
                code = code * (hex ? 16 : 10) + d;
        }
        if (j > digits) {
            if (j < value.size() && value[j] == ';')
                ++j;
            *i = j;
            return code;
        }
    } else {
        // The named references that stand for characters of a scheme prefix.
        static constexpr struct {
            const char* name;
            char c;
        } kNamed[] = {{"colon", ':'}, {"tab", '\t'}, {"newline", '\n'}};
        for (const auto& entry : kNamed) {
            std::size_t length = std::strlen(entry.name);
            if (j + length <= value.size() && EqualsIgnoreCase(value.substr(j, length), entry.name)) {
                j += length;
                if (j < value.size() && value[j] == ';')
                    ++j;
                *i = j;
                return entry.c;
            }
        }
    }
    ++*i;
    return '&';
}

// A URL that runs script when followed. Browsers drop blanks and control
// characters around and inside a URL's scheme, and ignore its case.
bool IsScriptURL(std::string_view value)
{
    char prefix[kSchemePrefixLimit];
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < value.size() && n < sizeof prefix) {
        long c = NextValueChar(value, &i);
        if (c <= 0x20 || c == 0x7F)
            continue;
        prefix[n++] = c < 0x80 ? LowerAscii(static_cast<char>(c)) : '\x80';
        if (c == ':')
            break;
    }
    std::string_view scheme(prefix, n);
    return scheme == "javascript:" || scheme == "vbscript:";
}

bool IsEventHandler(std::string_view name)
{
    return name.size() >= 2 && LowerAscii(name[0]) == 'o' && LowerAscii(name[1]) == 'n';
}

// Appends '<', the tag text and '>', leaving out every attribute that could
// run script. Attributes are split the way a browser's tokenizer splits them,
// so that what is checked here is what the browser will see. A quoted value
// with no closing quote is dropped too: the browser would carry it past our
// '>' and read the following text as more attributes.
void AppendFilteredTag(CTextBuffer* out, std::string_view tag, std::size_t attributes)
{
    std::size_t length = tag.size();
    std::size_t kept = 0; // start of the text not yet appended
    std::size_t pos = attributes;
    // A '<' inside a kept tag is no markup to a browser, but raw it could
    // read as the start of one to whatever scans the text next.
    auto keep = [out](std::string_view part) {
        for (std::size_t open; (open = part.find('<')) != std::string_view::npos; part.remove_prefix(open + 1)) {
            out->Append(part.substr(0, open));
            out->Append("&lt;");
        }
        out->Append(part);
    };
    out->AppendChar('<');
    for (;;) {
        while (pos < length && (IsTagSpace(tag[pos]) || tag[pos] == '/'))
            ++pos;
        if (pos >= length)
            break;
        std::size_t nameBegin = pos++;
        while (pos < length && !IsTagSpace(tag[pos]) && tag[pos] != '/' && tag[pos] != '=')
            ++pos;
        std::string_view name = tag.substr(nameBegin, pos - nameBegin);
        std::size_t end = pos;
        std::size_t p = pos;
        while (p < length && IsTagSpace(tag[p]))
            ++p;
        bool dangerous = IsEventHandler(name);
        if (p < length && tag[p] == '=') {
            ++p;
            while (p < length && IsTagSpace(tag[p]))
                ++p;
            std::string_view value;
            if (p < length && (tag[p] == '"' || tag[p] == '\'')) {
                std::size_t close = tag.find(tag[p], p + 1);
                if (close == std::string_view::npos) {
                    dangerous = true;
                    end = length;
                } else {
                    value = tag.substr(p + 1, close - p - 1);
                    end = close + 1;
                }
            } else {
                std::size_t valueBegin = p;
                while (p < length && !IsTagSpace(tag[p]))
                    ++p;
                value = tag.substr(valueBegin, p - valueBegin);
                end = p;
            }
            dangerous = dangerous || IsScriptURL(value);
        }
        pos = end;
        if (!dangerous)
            continue;
        // Take the blanks before the attribute along only when blanks or the
        // tag's end follow it, so that its neighbours never run together.
        std::size_t dropBegin = nameBegin;
        if (end == length || IsTagSpace(tag[end])) {
            while (dropBegin > kept && IsTagSpace(tag[dropBegin - 1]))
                --dropBegin;
        }
        keep(tag.substr(kept, dropBegin - kept));
        kept = end;
    }
    keep(tag.substr(kept));
    out->AppendChar('>');
}

} // namespace

void AppendSafeHTML(CTextBuffer* out, std::string_view text, bool escapeUnknown, const char* const* singleTags,
                    const char* const* pairedTags)
{
    if (!singleTags)
        singleTags = kDefaultSingleTags;
    if (!pairedTags)
        pairedTags = kDefaultPairedTags;
    int pairedCount = 0;
    while (pairedCount < kMaxPairedTags && pairedTags[pairedCount])
        ++pairedCount;
    std::array<int, kMaxPairedTags> open{};

    // No name longer than the longest entry can match; bounding the scan for
    // it keeps a text of many '<' and no spaces linear.
    std::size_t longestName = 0;
    for (int k = 0; singleTags[k]; ++k)
        longestName = std::max(longestName, std::strlen(singleTags[k]));
    for (int k = 0; k < pairedCount; ++k)
        longestName = std::max(longestName, std::strlen(pairedTags[k]));
    const std::size_t nameLimit = longestName + 1; // a closing tag's '/'

    const std::size_t n = text.size();
    // The first '>' at or after the last search; every '<' before it shares
    // it, and once none is found none ever will be, so each byte is searched
    // once however many '<' the text holds.
    std::size_t nextClose = 0;
    std::size_t run = 0; // start of the ordinary characters not yet appended
    std::size_t i = 0;
    auto flush = [&](std::size_t upTo) { out->Append(text.substr(run, upTo - run)); };
    while (i < n) {
        char c = text[i];
        if (c == '"' || c == '>') {
            flush(i);
            out->Append(c == '"' ? "&quot;" : "&gt;");
            run = ++i;
        } else if (c == '&') {
            if (!BeginsEntity(text, i)) {
                flush(i);
                out->Append("&amp;");
                run = i + 1;
            }
            ++i;
        } else if (c == '<') {
            flush(i);
            if (nextClose != std::string_view::npos && nextClose <= i)
                nextClose = text.find('>', i + 1);
            std::size_t close = nextClose;
            if (close == std::string_view::npos) {
                if (!escapeUnknown) {
                    run = i = n;
                    break;
                }
                out->Append("&lt;");
                run = ++i;
                continue;
            }
            std::string_view tag = text.substr(i + 1, close - i - 1);
            // The name is the tag's first space-separated field.
            std::size_t nameBegin = tag.find_first_not_of(' ');
            if (nameBegin == std::string_view::npos)
                nameBegin = tag.size();
            std::size_t nameEnd = tag.substr(0, nameBegin + nameLimit + 1).find(' ', nameBegin);
            if (nameEnd == std::string_view::npos)
                nameEnd = std::min(tag.size(), nameBegin + nameLimit + 1);
            std::string_view name = tag.substr(nameBegin, nameEnd - nameBegin);

            bool known = name.size() <= nameLimit && FindTag(name, singleTags, INT_MAX) >= 0;
            if (!known && name.size() <= nameLimit) {
                bool closing = !name.empty() && name[0] == '/';
                int index = FindTag(closing ? name.substr(1) : name, pairedTags, pairedCount);
                if (index >= 0) {
                    known = true;
                    if (!closing)
                        ++open[static_cast<std::size_t>(index)];
                    else if (open[static_cast<std::size_t>(index)] > 0)
                        --open[static_cast<std::size_t>(index)];
                }
            }
            if (known) {
                AppendFilteredTag(out, tag, nameEnd);
                run = i = close + 1;
            } else if (escapeUnknown) {
                out->Append("&lt;");
                run = ++i;
            } else {
                run = i = close + 1;
            }
        } else {
            ++i;
        }
    }
    flush(n);

    for (int index = 0; index < pairedCount; ++index) {
        for (int k = 0; k < open[static_cast<std::size_t>(index)]; ++k) {
            out->Append("</");
            out->Append(pairedTags[index]);
            out->AppendChar('>');
        }
    }
}

void AppendSafeHTML(CTextBuffer* out, const char* text, bool escapeUnknown, const char* const* singleTags,
                    const char* const* pairedTags)
{
    if (text)
        AppendSafeHTML(out, std::string_view(text), escapeUnknown, singleTags, pairedTags);
}

namespace {

// The entity of one of the four escaped characters, or null.
const char* EntityOf(char c)
{
    switch (c) {
    case '"':
        return "&quot;";
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    default:
        return nullptr;
    }
}

// The bytes AppendEscaped may replace; the rest are skipped with one look-up.
constexpr std::array<bool, 256> kMaybeEscaped = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {'"', '&', '<', '>', '\r', '\n'})
        table[c] = true;
    return table;
}();

// Escapes text, and with lineBreaks turns CR LF and CR into "<P>" and LF into "<BR>".
void AppendEscaped(CTextBuffer* out, std::string_view text, bool lineBreaks)
{
    std::size_t run = 0;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (!kMaybeEscaped[static_cast<unsigned char>(c)])
            continue;
        const char* replacement = EntityOf(c);
        if (!replacement && lineBreaks) {
            if (c == '\n')
                replacement = "<BR>";
            else if (c == '\r')
                replacement = "<P>";
        }
        if (!replacement)
            continue;
        out->Append(text.substr(run, i - run));
        out->Append(replacement);
        if (c == '\r' && i + 1 < n && text[i + 1] == '\n')
            ++i;
        run = i + 1;
    }
    out->Append(text.substr(run));
}

} // namespace

void HTMLEncode(CTextBuffer* out, std::string_view text)
{
    AppendEscaped(out, text, false);
}

void HTMLEncode(CTextBuffer* out, const char* text)
{
    if (text)
        AppendEscaped(out, text, false);
}

void TextToHTML(CTextBuffer* out, std::string_view text)
{
    AppendEscaped(out, text, true);
}

int HTMLDecodedLength(std::string_view text)
{
    int count = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        if (text[i] == '<') {
            std::size_t close = text.find('>', i + 1);
            if (close == std::string_view::npos)
                break;
            i = close + 1;
            continue;
        }
        ++count;
        if (text[i] == '&') {
            std::size_t semicolon = text.substr(i + 1, kDecodedEntityReach).find(';');
            if (semicolon != std::string_view::npos) {
                i += semicolon + 2;
                continue;
            }
        }
        ++i;
    }
    return count;
}
