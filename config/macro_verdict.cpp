#include "config/macro_verdict.h"

#include "framework/text_buffer.h"

#include <exception>

namespace {

// The initial size of a verdict's output: a verdict is a word or two.
constexpr int kVerdictBufferSize = 128;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// At position i stands '['; true when "<type> error <digits>:" follows,
// the type holding no bracket or line break, and a ']' closes it later.
bool ErrorReportAt(std::string_view text, std::size_t i)
{
    static constexpr std::string_view kMarker = " error ";
    std::size_t marker = text.find(kMarker, i + 1);
    if (marker == std::string_view::npos)
        return false;
    for (std::size_t k = i + 1; k < marker; ++k) {
        char c = text[k];
        if (c == '[' || c == ']' || c == '\r' || c == '\n')
            return false;
    }
    std::size_t p = marker + kMarker.size();
    std::size_t digits = p;
    while (p < text.size() && IsDigit(text[p]))
        ++p;
    if (p == digits || p >= text.size() || text[p] != ':')
        return false;
    return text.find(']', p) != std::string_view::npos;
}

} // namespace

bool ContainsMacroErrorText(std::string_view text)
{
    for (std::size_t i = text.find('['); i != std::string_view::npos; i = text.find('[', i + 1)) {
        if (ErrorReportAt(text, i))
            return true;
    }
    return false;
}

bool HasNonBlankText(std::string_view text)
{
    return text.find_first_not_of(" \t\r\n") != std::string_view::npos;
}

bool MacroAccepts(CMacroScope* scope, std::string_view text, std::span<const CMacroScope::Constant> constants,
                  std::string* error)
{
    if (!scope || text.empty())
        return false;
    CTextBuffer out(kVerdictBufferSize);
    try {
        scope->ExpandNested(&out, text, constants);
    } catch (const std::exception& e) {
        if (error)
            *error = e.what();
        return false;
    } catch (...) {
        // The macro language throws its own exception objects; whatever
        // escapes, the verdict is a refusal.
        if (error)
            *error = "macro error";
        return false;
    }
    std::string_view result = out.View();
    if (ContainsMacroErrorText(result)) {
        if (error)
            *error = std::string(result);
        return false;
    }
    return HasNonBlankText(result);
}
