#include "macro/string_macros.h"

#include "framework/html_text.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "macro/core_macros.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/ascii.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view Arg(const char** argv, int index)
{
    return argv[index] ? std::string_view(argv[index]) : std::string_view();
}

void AppendNumber(CTextBuffer* out, long long value)
{
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out->Append(digits, static_cast<int>(result.ptr - digits));
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Refuses output past the limit before anything is written, so that a
// count from a page cannot make the server allocate without bound.
bool FitsGeneratedLimit(CTextBuffer* out, CMacroContext* scope, const char* name, unsigned long long bytes)
{
    if (bytes <= kMaxGeneratedStringBytes)
        return true;
    MacroError(out, scope, name, kStringTooLongError, kStringTooLongMessage, 1);
    return false;
}

// One allocation for output written in many small pieces, whatever the
// buffer's own grow step.
void Reserve(CTextBuffer* out, std::size_t bytes)
{
    if (static_cast<std::size_t>(out->GetCapacity() - out->GetLength()) < bytes)
        out->Grow(static_cast<int>(bytes));
}

// Case conversion ----------------------------------------------------------
//
// The letters are those of the Windows ANSI code page. Text here is often
// UTF-8, whose lead and continuation bytes fall in that code page's letter
// range, so a byte-wise mapping would corrupt it: a valid UTF-8 sequence is
// mapped as one character (the same letters, as code points) or copied.

constexpr unsigned kLatinCapitalY = 0x178; // the capital of 0xFF, outside Latin-1

unsigned UpperAnsiByte(unsigned c)
{
    if (c >= 'a' && c <= 'z')
        return c - 0x20;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return c - 0x20;
    switch (c) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return c;
    }
}

unsigned LowerAnsiByte(unsigned c)
{
    if (c >= 'A' && c <= 'Z')
        return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 0x20;
    switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: return c;
    }
}

// The same letters as code points: Latin-1 and the five the code page adds.
unsigned UpperCodePoint(unsigned cp)
{
    if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7)
        return cp - 0x20;
    switch (cp) {
    case 0xFF: return kLatinCapitalY;
    case 0x161: return 0x160;
    case 0x153: return 0x152;
    case 0x17E: return 0x17D;
    default: return cp;
    }
}

unsigned LowerCodePoint(unsigned cp)
{
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7)
        return cp + 0x20;
    switch (cp) {
    case kLatinCapitalY: return 0xFF;
    case 0x160: return 0x161;
    case 0x152: return 0x153;
    case 0x17D: return 0x17E;
    default: return cp;
    }
}

// The length of the well-formed UTF-8 sequence at text[pos] (2 to 4) with
// its code point, or 0 when none starts there.
std::size_t Utf8Sequence(std::string_view text, std::size_t pos, unsigned* codePoint)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned lead = byte(pos);
    std::size_t length;
    unsigned cp;
    unsigned minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - pos < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        unsigned next = byte(pos + i);
        if ((next & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *codePoint = cp;
    return length;
}

void ConvertCase(CTextBuffer* out, std::string_view text, bool upper)
{
    std::string result(text);
    std::size_t pos = 0;
    while (pos < result.size()) {
        unsigned c = static_cast<unsigned char>(result[pos]);
        unsigned cp = 0;
        std::size_t length = c < 0x80 ? 0 : Utf8Sequence(result, pos, &cp);
        if (length == 0) {
            result[pos] = static_cast<char>(upper ? UpperAnsiByte(c) : LowerAnsiByte(c));
            ++pos;
            continue;
        }
        unsigned mapped = upper ? UpperCodePoint(cp) : LowerCodePoint(cp);
        // Every mapped pair is two bytes long in both cases.
        if (mapped != cp) {
            result[pos] = static_cast<char>(0xC0 | (mapped >> 6));
            result[pos + 1] = static_cast<char>(0x80 | (mapped & 0x3F));
        }
        pos += length;
    }
    out->Append(result);
}

class CToUpperMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 1)
            ConvertCase(out, Arg(argv, 0), true);
    }
};

class CToLowerMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 1)
            ConvertCase(out, Arg(argv, 0), false);
    }
};

// Substrings and lengths ----------------------------------------------------

class CMidMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view text = Arg(argv, 0);
        long long length = static_cast<long long>(text.size());
        long long start = argc >= 2 ? std::clamp<long long>(ReadMacroNumber(argv[1]), 0, length) : 0;
        long long count = length - start;
        if (argc >= 3)
            count = std::clamp<long long>(ReadMacroNumber(argv[2]), 0, count);
        out->Append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(count)));
    }
};

// left and right: the first or last count bytes.
class CEdgeMacro : public CMacro {
public:
    explicit CEdgeMacro(bool fromRight) : m_fromRight(fromRight) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        std::string_view text = Arg(argv, 0);
        std::size_t count = static_cast<std::size_t>(std::clamp<long long>(ReadMacroNumber(argv[1]), 0, text.size()));
        out->Append(m_fromRight ? text.substr(text.size() - count) : text.substr(0, count));
    }

private:
    bool m_fromRight;
};

class CLenMacro : public CMacro {
public:
    explicit CLenMacro(bool html) : m_html(html) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view text = Arg(argv, 0);
        AppendNumber(out, m_html ? HTMLDecodedLength(text) : static_cast<long long>(text.size()));
    }

private:
    bool m_html;
};

class CTrimLeftMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view text = Arg(argv, 0);
        std::size_t begin = 0;
        while (begin < text.size() && IsBlank(text[begin]))
            ++begin;
        out->Append(text.substr(begin));
    }
};

class CTrimRightMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view text = Arg(argv, 0);
        std::size_t end = text.size();
        while (end > 0 && IsBlank(text[end - 1]))
            --end;
        out->Append(text.substr(0, end));
    }
};

// Quoting ------------------------------------------------------------------

class CKavQuoteMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view text = Arg(argv, 0);
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t percent = text.find('%', pos);
            if (percent == std::string_view::npos) {
                out->Append(text.substr(pos));
                break;
            }
            out->Append(text.substr(pos, percent + 1 - pos));
            out->AppendChar('%');
            pos = percent + 1;
        }
    }
};

// html-quote, html-convert, url-encode, url-decode and url-path-encode: one
// text through one of the text utilities.
class CTextCodingMacro : public CMacro {
public:
    enum class Coding { htmlQuote, htmlConvert, urlEncode, urlDecode, urlPathEncode };

    explicit CTextCodingMacro(Coding coding) : m_coding(coding) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view text = Arg(argv, 0);
        std::string coded;
        switch (m_coding) {
        case Coding::htmlQuote: HTMLEncode(out, text); return;
        case Coding::htmlConvert: TextToHTML(out, text); return;
        case Coding::urlEncode: URLEncode(coded, text); break;
        case Coding::urlDecode: URLDecode(coded, text); break;
        case Coding::urlPathEncode: URLEncodePath(coded, text); break;
        }
        out->Append(coded);
    }

private:
    Coding m_coding;
};

// A tag list of html-clean: names split at commas and blanks, upper-cased
// as the filter compares them, null-terminated.
class CTagList {
public:
    explicit CTagList(std::string_view text)
    {
        std::size_t pos = 0;
        while (m_names.size() < static_cast<std::size_t>(kMaxCleanTagNames)) {
            pos = text.find_first_not_of(", ", pos);
            if (pos == std::string_view::npos)
                break;
            std::size_t end = std::min(text.find_first_of(", ", pos), text.size());
            std::string name(text.substr(pos, end - pos));
            for (char& c : name)
                if (c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 'a' + 'A');
            m_names.push_back(std::move(name));
            pos = end;
        }
        for (const std::string& name : m_names)
            m_pointers.push_back(name.c_str());
        m_pointers.push_back(nullptr);
    }
    const char* const* Get() const { return m_pointers.data(); }

private:
    std::vector<std::string> m_names;
    std::vector<const char*> m_pointers;
};

class CHTMLCleanMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        bool escapeUnknown = argc < 2 || argv[1][0] == '\0';
        if (argc < 3) {
            AppendSafeHTML(out, Arg(argv, 0), escapeUnknown);
            return;
        }
        CTagList single(Arg(argv, 2));
        CTagList paired(argc >= 4 ? Arg(argv, 3) : std::string_view());
        AppendSafeHTML(out, Arg(argv, 0), escapeUnknown, single.Get(), paired.Get());
    }
};

// Padding ------------------------------------------------------------------

// Draws pad bytes from a cursor that wraps to the start of the pad text.
class CPadCursor {
public:
    explicit CPadCursor(std::string_view pad) : m_pad(pad.empty() ? std::string_view(" ") : pad) {}
    void Write(CTextBuffer* out, std::size_t count)
    {
        while (count > 0) {
            std::size_t run = std::min(count, m_pad.size() - m_pos);
            out->Append(m_pad.substr(m_pos, run));
            count -= run;
            m_pos = (m_pos + run) % m_pad.size();
        }
    }

private:
    std::string_view m_pad;
    std::size_t m_pos = 0;
};

class CPadMacro : public CMacro {
public:
    enum class Side { left, right, centre };

    CPadMacro(const char* name, Side side, bool html) : m_name(name), m_side(side), m_html(html) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        std::string_view text = Arg(argv, 0);
        long long width = ReadMacroNumber(argv[1]);
        long long length = m_html ? HTMLDecodedLength(text) : static_cast<long long>(text.size());
        long long missing = std::max(width - length, 0LL);
        if (!FitsGeneratedLimit(out, scope, m_name, static_cast<unsigned long long>(missing)))
            return;
        // An empty pad would never fill the width; the blank is the default.
        CPadCursor pad(argc >= 3 ? Arg(argv, 2) : std::string_view());
        Reserve(out, static_cast<std::size_t>(missing) + text.size());
        std::size_t before = 0;
        switch (m_side) {
        case Side::left: before = static_cast<std::size_t>(missing); break;
        case Side::right: before = 0; break;
        case Side::centre: before = static_cast<std::size_t>(missing / 2); break;
        }
        pad.Write(out, before);
        out->Append(text);
        pad.Write(out, static_cast<std::size_t>(missing) - before);
    }

private:
    const char* m_name;
    Side m_side;
    bool m_html;
};

class CDupMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        std::string_view text = Arg(argv, 0);
        int count = ReadMacroNumber(argv[1]);
        if (count <= 0 || text.empty())
            return;
        if (!FitsGeneratedLimit(out, scope, "dup", static_cast<unsigned long long>(count) * text.size()))
            return;
        Reserve(out, static_cast<std::size_t>(count) * text.size());
        for (int i = 0; i < count; ++i)
            out->Append(text);
    }
};

// Comparison and matching ---------------------------------------------------

// The C library's _stricmp: ASCII letters folded to lower case, bytes
// compared unsigned.
int CompareIgnoringCase(std::string_view a, std::string_view b)
{
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned ca = static_cast<unsigned char>(platform::LowerAscii(a[i]));
        unsigned cb = static_cast<unsigned char>(platform::LowerAscii(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int CompareBytes(std::string_view a, std::string_view b)
{
    int result = a.compare(b);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

int Compare(std::string_view a, std::string_view b, bool exact)
{
    return exact ? CompareBytes(a, b) : CompareIgnoringCase(a, b);
}

class CEqualMacro : public CMacro {
public:
    explicit CEqualMacro(bool exact) : m_exact(exact) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 2 && Compare(Arg(argv, 0), Arg(argv, 1), m_exact) == 0)
            out->AppendChar('T');
    }

private:
    bool m_exact;
};

class CCollateMacro : public CMacro {
public:
    explicit CCollateMacro(bool exact) : m_exact(exact) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 2)
            AppendNumber(out, Compare(Arg(argv, 0), Arg(argv, 1), m_exact));
    }

private:
    bool m_exact;
};

class CInMacro : public CMacro {
public:
    explicit CInMacro(bool exact) : m_exact(exact) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        for (int i = 1; i < argc; ++i) {
            if (Compare(Arg(argv, 0), Arg(argv, i), m_exact) == 0) {
                out->AppendChar('T');
                return;
            }
        }
    }

private:
    bool m_exact;
};

class CWildcardMatchMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 2 && WildcardMatch(Arg(argv, 0), Arg(argv, 1)))
            out->AppendChar('T');
    }
};

// Tokens and templates ------------------------------------------------------

class CGetTokenMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        int index = argc >= 3 ? ReadMacroNumber(argv[2]) : 0;
        if (index >= 0)
            out->Append(GetDelimitedField(Arg(argv, 0), Arg(argv, 1), index));
    }
};

// enumtoken(text, separators, template): the raw template once per token,
// with token naming the current one.
class CEnumTokenMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 3)
            return;
        std::string_view text = Arg(argv, 0);
        std::string_view separators = Arg(argv, 1);
        std::string_view body = Arg(argv, 2);
        std::string token;
        CMacroContext nested(scope);
        nested.Register("token", std::make_unique<CStringRefMacro>(&token));
        std::size_t pos = 0;
        for (;;) {
            std::size_t begin = text.find_first_not_of(separators, pos);
            if (begin == std::string_view::npos)
                break;
            std::size_t end = std::min(text.find_first_of(separators, begin), text.size());
            token.assign(text.substr(begin, end - begin));
            nested.ExpandArgument(out, body);
            pos = end;
        }
    }
};

// map(template, item...): the raw template once per item, with arg naming it.
class CMapMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view body = Arg(argv, 0);
        CMacroContext nested(scope);
        for (int i = 1; i < argc; ++i) {
            nested.Register("arg", std::make_unique<CConstantMacro>(argv[i]));
            nested.ExpandArgument(out, body);
        }
    }
};

// Paths and characters --------------------------------------------------------

bool IsPathSeparator(char c)
{
    return c == '/' || c == '\\';
}

class CMakePathMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        std::string_view dir = Arg(argv, 0);
        std::string_view name = Arg(argv, 1);
        if (!dir.empty() && IsPathSeparator(dir.back()))
            dir.remove_suffix(1);
        if (!name.empty() && IsPathSeparator(name.front()))
            name.remove_prefix(1);
        out->Append(dir);
        out->AppendChar('/');
        out->Append(name);
    }
};

class CAscMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 1)
            out->AppendChar(static_cast<char>(static_cast<unsigned>(ReadMacroNumber(argv[0])) & 0xFF));
    }
};

class COrdMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::string_view text = Arg(argv, 0);
        AppendNumber(out, text.empty() ? 0 : static_cast<signed char>(text[0]));
    }
};

class CConcatMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        for (int i = 0; i < argc; ++i)
            out->Append(Arg(argv, i));
    }
};

template <typename Kind, typename... Args>
void Add(CMacroContext& scope, const char* name, Args&&... args)
{
    scope.Register(name, std::make_unique<Kind>(std::forward<Args>(args)...));
}

} // namespace

void RegisterStringMacros(CMacroContext& global)
{
    if (global.IsReadOnly())
        return;
    using Coding = CTextCodingMacro::Coding;
    using Side = CPadMacro::Side;
    Add<CToUpperMacro>(global, "toupper");
    Add<CToLowerMacro>(global, "tolower");
    Add<CMidMacro>(global, "mid");
    Add<CEdgeMacro>(global, "left", false);
    Add<CEdgeMacro>(global, "right", true);
    Add<CLenMacro>(global, "len", false);
    Add<CLenMacro>(global, "html-len", true);
    Add<CTrimLeftMacro>(global, "trimleft");
    Add<CTrimRightMacro>(global, "trimright");
    Add<CKavQuoteMacro>(global, "kav-quote");
    Add<CTextCodingMacro>(global, "html-quote", Coding::htmlQuote);
    Add<CHTMLCleanMacro>(global, "html-clean");
    Add<CTextCodingMacro>(global, "html-convert", Coding::htmlConvert);
    Add<CTextCodingMacro>(global, "url-encode", Coding::urlEncode);
    Add<CTextCodingMacro>(global, "url-decode", Coding::urlDecode);
    // Links to files: a blank in a path is "%20", never the form's '+'.
    Add<CTextCodingMacro>(global, "url-path-encode", Coding::urlPathEncode);
    Add<CPadMacro>(global, "lpad", "lpad", Side::left, false);
    Add<CPadMacro>(global, "rpad", "rpad", Side::right, false);
    Add<CPadMacro>(global, "cpad", "cpad", Side::centre, false);
    Add<CPadMacro>(global, "html-lpad", "html-lpad", Side::left, true);
    Add<CPadMacro>(global, "html-rpad", "html-rpad", Side::right, true);
    Add<CPadMacro>(global, "html-cpad", "html-cpad", Side::centre, true);
    Add<CDupMacro>(global, "dup");
    Add<CEqualMacro>(global, "equal", false);
    Add<CEqualMacro>(global, "xequal", true);
    Add<CCollateMacro>(global, "collate", false);
    Add<CCollateMacro>(global, "xcollate", true);
    Add<CInMacro>(global, "in", false);
    Add<CInMacro>(global, "xin", true);
    Add<CWildcardMatchMacro>(global, "wcmatch");
    Add<CGetTokenMacro>(global, "gettoken");
    Add<CEnumTokenMacro>(global, "enumtoken");
    // The template is passed raw, so that it runs once per token or item.
    Add<CConstantMacro>(global, "'enumtoken", "  '");
    Add<CMapMacro>(global, "map");
    Add<CConstantMacro>(global, "'map", "' ");
    Add<CMakePathMacro>(global, "makepath");
    Add<CConstantMacro>(global, "cr", "\r");
    Add<CConstantMacro>(global, "lf", "\n");
    Add<CConstantMacro>(global, "crlf", "\r\n");
    Add<CConstantMacro>(global, "tab", "\t");
    Add<CAscMacro>(global, "asc");
    Add<COrdMacro>(global, "ord");
    Add<CConcatMacro>(global, "concat");
}
