#include "macro/verify_macros.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>

namespace {

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void SkipWhite(std::string_view text, std::size_t& i)
{
    while (i < text.size() && IsWhite(text[i]))
        ++i;
}

bool Present(const char** argv, int argc, int index) { return index < argc && argv[index] && argv[index][0]; }

// A bound read in decimal after white space and a sign, 0 without digits.
// Held in 64 bits and saturated, so a bound far outside the 32-bit range
// still compares as the number it names instead of wrapping.
long long ReadIntBound(std::string_view text)
{
    std::size_t i = 0;
    SkipWhite(text, i);
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    long long value = 0;
    constexpr long long kCeiling = std::numeric_limits<long long>::max() / 10 - 10;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        value = value > kCeiling ? kCeiling : value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

// The integer form: white space, an optional '-', digits, white space. A
// value outside 32 bits fails rather than wrapping into range.
std::optional<std::int32_t> ParseInt32(std::string_view text)
{
    std::size_t i = 0;
    SkipWhite(text, i);
    bool negative = i < text.size() && text[i] == '-';
    if (negative)
        ++i;
    std::size_t first = i;
    long long magnitude = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > 2147483648LL)
            return std::nullopt;
    }
    if (i == first)
        return std::nullopt;
    SkipWhite(text, i);
    if (i != text.size())
        return std::nullopt;
    long long value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// The number form: white space, sign, digits with an optional fraction (at
// least one digit), an optional exponent with at least one digit, white space.
bool IsRealNumber(std::string_view text)
{
    std::size_t i = 0;
    SkipWhite(text, i);
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        ++digits;
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && IsDigit(text[i]); ++i)
            ++digits;
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        std::size_t exponent = 0;
        for (; i < text.size() && IsDigit(text[i]); ++i)
            ++exponent;
        if (exponent == 0)
            return false;
    }
    SkipWhite(text, i);
    return i == text.size();
}

bool WithinIntBounds(long long value, const char** argv, int argc)
{
    if (Present(argv, argc, 1) && value < ReadIntBound(argv[1]))
        return false;
    if (Present(argv, argc, 2) && value > ReadIntBound(argv[2]))
        return false;
    return true;
}

void Verdict(CTextBuffer* out, bool holds)
{
    if (holds)
        out->Append("T");
}

class CVerifyIntMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        std::optional<std::int32_t> value = ParseInt32(argv[0]);
        Verdict(out, value && WithinIntBounds(*value, argv, argc));
    }
};

class CVerifyNumMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1 || !IsRealNumber(argv[0]))
            return;
        double value = std::strtod(argv[0], nullptr);
        if (Present(argv, argc, 1) && value < std::strtod(argv[1], nullptr))
            return;
        if (Present(argv, argc, 2) && value > std::strtod(argv[2], nullptr))
            return;
        out->Append("T");
    }
};

class CVerifyLenMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1)
            return;
        Verdict(out, WithinIntBounds(static_cast<long long>(std::string_view(argv[0]).size()), argv, argc));
    }
};

bool MatchesPicture(std::string_view text, std::string_view picture)
{
    std::size_t t = 0;
    for (std::size_t p = 0; p < picture.size(); ++p, ++t) {
        if (t >= text.size())
            return false;
        char want = picture[p];
        char c = text[t];
        bool ok;
        switch (want) {
        case '9': ok = IsDigit(c); break;
        case 'A': ok = c >= 'A' && c <= 'Z'; break;
        case 'a': ok = c >= 'a' && c <= 'z'; break;
        case '_': ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); break;
        case '\\':
            // A lone backslash at the end stands for itself.
            if (p + 1 < picture.size())
                ++p;
            ok = c == picture[p];
            break;
        default: ok = c == want; break;
        }
        if (!ok)
            return false;
    }
    return true;
}

class CVerifyPictMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        Verdict(out, MatchesPicture(argv[0], argv[1]));
    }
};

class CVerifyCardMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 1)
            out->Append(CardBrand(argv[0]));
    }
};

class CCardPrefixMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        out->Append(std::to_string(CardPrefix(argv[0], ReadIntBound(argv[1]))));
    }
};

} // namespace

std::string CardBrand(std::string_view number)
{
    if (number.size() < 2)
        return {};
    std::size_t check = number.find_last_of("0123456789");
    if (check == std::string_view::npos)
        return {};
    unsigned sum = 0;
    bool twice = true;
    for (std::size_t i = check; i-- > 0;) {
        if (!IsDigit(number[i]))
            continue;
        unsigned product = static_cast<unsigned>(number[i] - '0') * (twice ? 2 : 1);
        sum += product / 10 + product % 10;
        twice = !twice;
    }
    if (static_cast<unsigned>(number[check] - '0') != (10 - sum % 10) % 10)
        return {};

    std::string lead;
    for (char c : number)
        if (IsDigit(c) && lead.size() < 6)
            lead += c;
    auto leading = [&lead](std::size_t count) {
        return lead.size() >= count ? std::atoi(lead.substr(0, count).c_str()) : -1;
    };
    int two = leading(2);
    int six = leading(6);
    if (!lead.empty() && lead[0] == '4')
        return "visa";
    if (two >= 51 && two <= 55)
        return "mc";
    if (two == 30 || two == 36 || two == 38)
        return "diners";
    if (two == 34 || two == 37)
        return "amex";
    if (six >= 601100 && six <= 601198)
        return "discover";
    return "unknown";
}

std::int32_t CardPrefix(std::string_view number, long long count)
{
    std::uint32_t value = 0;
    for (char c : number) {
        if (count == 0)
            break;
        if (!IsDigit(c))
            continue;
        value = value * 10u + static_cast<std::uint32_t>(c - '0');
        if (count > 0)
            --count;
    }
    return static_cast<std::int32_t>(value);
}

void RegisterVerifyMacros(CMacroContext& global)
{
    global.Register("verify-int", std::make_unique<CVerifyIntMacro>());
    global.Register("verify-num", std::make_unique<CVerifyNumMacro>());
    global.Register("verify-money", std::make_unique<CVerifyIntMacro>());
    global.Register("verify-len", std::make_unique<CVerifyLenMacro>());
    global.Register("verify-pict", std::make_unique<CVerifyPictMacro>());
    global.Register("verify-card", std::make_unique<CVerifyCardMacro>());
    global.Register("card-prefix", std::make_unique<CCardPrefixMacro>());
}
