#include "macro/arith_macros.h"

#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/net.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace {

// ---- Readings and writings ------------------------------------------------

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Unsigned arithmetic throughout: the wrap is the designed result, and
// signed overflow would be undefined.
std::int32_t ReadInteger(const char* text)
{
    const char* p = text;
    while (IsBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    std::uint32_t value = 0;
    for (; IsDigit(*p); ++p)
        value = value * 10u + static_cast<std::uint32_t>(*p - '0');
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

// Exponent digits beyond this cannot change the outcome: any such number is
// far outside the range of a double.
constexpr long long kExponentCap = 1'000'000;

// Only the decimal form is read: the hexadecimal, "inf" and "nan" forms that
// the C library would also take are not numbers on a page.
double ReadReal(const char* text)
{
    const char* p = text;
    while (IsBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    const char* start = p;
    long long digits = 0;
    long long significantIntegerDigits = 0;
    long long leadingFractionZeros = 0;
    bool seenNonZero = false;
    for (; IsDigit(*p); ++p, ++digits) {
        if (*p != '0' || seenNonZero) {
            seenNonZero = true;
            ++significantIntegerDigits;
        }
    }
    if (*p == '.') {
        for (++p; IsDigit(*p); ++p, ++digits) {
            if (!seenNonZero) {
                if (*p == '0')
                    ++leadingFractionZeros;
                else
                    seenNonZero = true;
            }
        }
    }
    if (digits == 0)
        return 0.0;
    long long exponent = 0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        bool negativeExponent = false;
        if (*q == '+' || *q == '-')
            negativeExponent = *q++ == '-';
        if (IsDigit(*q)) {
            for (; IsDigit(*q); ++q)
                if (exponent < kExponentCap)
                    exponent = exponent * 10 + (*q - '0');
            if (negativeExponent)
                exponent = -exponent;
            p = q;
        }
    }
    double value = 0.0;
    auto [end, error] = std::from_chars(start, p, value, std::chars_format::general);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        // Decide between overflow and underflow from the decimal order of magnitude.
        long long order = significantIntegerDigits > 0 ? significantIntegerDigits + exponent
                                                       : exponent - leadingFractionZeros;
        value = seenNonZero && order > 0 ? HUGE_VAL : 0.0;
    } else if (error != std::errc{}) {
        value = 0.0;
    }
    return negative ? -value : value;
}

void AppendInteger(CTextBuffer* out, long long value)
{
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out->Append(buffer, static_cast<int>(result.ptr - buffer));
}

// "%g" in the "C" locale, whatever locale the process runs in.
void AppendReal(CTextBuffer* out, double value)
{
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    out->Append(buffer, static_cast<int>(result.ptr - buffer));
}

// Converting a double outside the int range is undefined; saturate instead
// (NaN gives 0), so huge values keep at least their sign.
std::int32_t SaturateToInt32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return INT32_MAX;
    if (value <= -2147483648.0)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

std::int32_t Wrap(std::uint32_t value)
{
    return static_cast<std::int32_t>(value);
}

std::uint32_t Bits(std::int32_t value)
{
    return static_cast<std::uint32_t>(value);
}

// ---- fmt --------------------------------------------------------------------

// Sign, the largest double's 309 integer digits, the point and the decimals.
constexpr int kFixedBufferSize = 1 + 309 + 1 + kMaxFmtDecimals + 16;

void AppendGroupedNumber(CTextBuffer* out, double value, int decimals, std::string_view point,
                         std::string_view separator)
{
    if (decimals < 0)
        decimals = 0;
    if (decimals > kMaxFmtDecimals)
        decimals = kMaxFmtDecimals;
    char buffer[kFixedBufferSize];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    if (!std::isfinite(value)) {
        out->Append(text);
        return;
    }
    if (!text.empty() && text.front() == '-') {
        out->AppendChar('-');
        text.remove_prefix(1);
    }
    std::size_t dot = text.find('.');
    std::string_view integer = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (integer == "0") {
        out->AppendChar('0');
    } else {
        std::size_t first = integer.size() % 3 == 0 ? 3 : integer.size() % 3;
        out->Append(integer.substr(0, first));
        for (std::size_t at = first; at < integer.size(); at += 3) {
            out->Append(separator);
            out->Append(integer.substr(at, 3));
        }
    }
    if (decimals > 0) {
        out->Append(point);
        out->Append(fraction);
    }
}

// ---- rand -------------------------------------------------------------------

thread_local std::uint32_t t_randomState = 1;

std::int32_t NextRandom()
{
    t_randomState = t_randomState * 214013u + 2531011u;
    return static_cast<std::int32_t>((t_randomState >> 16) & 0x7FFF);
}

// ---- The macros -------------------------------------------------------------

using Operation = void (*)(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc);

// Every arithmetic macro is one operation; none keeps state of its own.
class CArithmeticMacro : public CMacro {
public:
    explicit CArithmeticMacro(Operation operation) : m_operation(operation) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (!argv)
            argc = 0;
        m_operation(scope, out, argv, argc);
    }

private:
    Operation m_operation;
};

// The argument whose real value is least (or greatest), ties to the first,
// printed as written.
template <bool Greatest> void ChooseExtreme(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    int chosen = 0;
    double best = ReadReal(argv[0]);
    for (int i = 1; i < argc; ++i) {
        double value = ReadReal(argv[i]);
        if (Greatest ? value > best : value < best) {
            best = value;
            chosen = i;
        }
    }
    out->Append(argv[chosen]);
}

void IntegerAdd(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    std::uint32_t sum = 0;
    for (int i = 0; i < argc; ++i)
        sum += Bits(ReadInteger(argv[i]));
    AppendInteger(out, Wrap(sum));
}

void RealAdd(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    double sum = 0.0;
    for (int i = 0; i < argc; ++i)
        sum += ReadReal(argv[i]);
    AppendReal(out, sum);
}

void IntegerSubtract(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 2)
        AppendInteger(out, Wrap(Bits(ReadInteger(argv[0])) - Bits(ReadInteger(argv[1]))));
}

void RealSubtract(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 2)
        AppendReal(out, ReadReal(argv[0]) - ReadReal(argv[1]));
}

void IntegerMultiply(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    std::uint32_t product = 1;
    for (int i = 0; i < argc; ++i)
        product *= Bits(ReadInteger(argv[i]));
    AppendInteger(out, Wrap(product));
}

void RealMultiply(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    double product = 1.0;
    for (int i = 0; i < argc; ++i)
        product *= ReadReal(argv[i]);
    AppendReal(out, product);
}

// The one quotient and remainder a 32-bit division cannot hold (and which
// traps on x86): -2147483648 / -1 gives the wrapped -2147483648, remainder 0.
bool IsOverflowingDivision(std::int32_t a, std::int32_t b)
{
    return a == INT32_MIN && b == -1;
}

void IntegerDivide(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    std::int32_t a = ReadInteger(argv[0]), b = ReadInteger(argv[1]);
    if (b == 0) {
        out->Append("#DIV0");
        MacroError(out, scope, "idiv", 0, "Division by zero", 0);
        return;
    }
    AppendInteger(out, IsOverflowingDivision(a, b) ? INT32_MIN : a / b);
}

void RealDivide(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    double a = ReadReal(argv[0]), b = ReadReal(argv[1]);
    if (b == 0.0) {
        out->Append("#DIV0");
        MacroError(out, scope, "div", 0, "Division by zero", 0);
        return;
    }
    AppendReal(out, a / b);
}

void IntegerModulo(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    std::int32_t a = ReadInteger(argv[0]), b = ReadInteger(argv[1]);
    if (b == 0) {
        out->Append("#MOD0");
        MacroError(out, scope, "imod", 0, "Modulo by zero", 0);
        return;
    }
    AppendInteger(out, IsOverflowingDivision(a, b) ? 0 : a % b);
}

void Average(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    double sum = 0.0;
    for (int i = 0; i < argc; ++i)
        sum += ReadReal(argv[i]);
    AppendReal(out, sum / argc);
}

enum class Comparison { less, greater, lessOrEqual, greaterOrEqual };

template <Comparison Kind> void Compare(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    double a = ReadReal(argv[0]), b = ReadReal(argv[1]);
    bool holds = Kind == Comparison::less          ? a < b
                 : Kind == Comparison::greater     ? a > b
                 : Kind == Comparison::lessOrEqual ? a <= b
                                                   : a >= b;
    if (holds)
        out->AppendChar('T');
}

void Equal(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    double a = ReadReal(argv[0]), b = ReadReal(argv[1]);
    bool holds = argc >= 3 ? ReadReal(argv[2]) > std::fabs(a - b) : a == b;
    if (holds)
        out->AppendChar('T');
}

void IntegerAbsolute(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    std::int32_t a = ReadInteger(argv[0]);
    // -2147483648 has no positive counterpart and stays as it is.
    AppendInteger(out, a < 0 ? Wrap(0u - Bits(a)) : a);
}

void RealAbsolute(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 1)
        AppendReal(out, std::fabs(ReadReal(argv[0])));
}

void Truncate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 1)
        AppendInteger(out, SaturateToInt32(ReadReal(argv[0])));
}

void Round(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 1)
        AppendInteger(out, SaturateToInt32(ReadReal(argv[0]) + 0.5));
}

enum class BitOperation { bitAnd, bitOr, bitXor };

template <BitOperation Kind> void Bitwise(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2)
        return;
    std::uint32_t a = Bits(ReadInteger(argv[0])), b = Bits(ReadInteger(argv[1]));
    std::uint32_t result = Kind == BitOperation::bitAnd ? a & b : Kind == BitOperation::bitOr ? a | b : a ^ b;
    AppendInteger(out, Wrap(result));
}

void BitwiseNot(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc >= 1)
        AppendInteger(out, Wrap(~Bits(ReadInteger(argv[0]))));
}

// With n 0 the value is given unreduced: a remainder by zero has no value.
void Random(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    std::int32_t value = NextRandom();
    if (argc >= 1) {
        std::int32_t n = ReadInteger(argv[0]);
        if (n != 0)
            value %= n;
    }
    AppendInteger(out, value);
}

void Format(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    int decimals = argc >= 2 ? ReadInteger(argv[1]) : 2;
    std::string_view point = argc >= 3 ? std::string_view(argv[2]) : std::string_view(".");
    std::string_view separator = argc >= 4 ? std::string_view(argv[3]) : std::string_view(",");
    AppendGroupedNumber(out, ReadReal(argv[0]), decimals, point, separator);
}

// Text that is no address gives the all-ones value, as the classic
// conversion does.
void AddressToInteger(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    std::uint32_t address = 0;
    if (!platform::ParseIPv4(argv[0], &address))
        address = 0xFFFFFFFFu;
    AppendInteger(out, address);
}

void IntegerToAddress(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1)
        return;
    char buffer[kIPAddressBufferSize];
    int length = FormatIPAddressToBuffer(buffer, Bits(ReadInteger(argv[0])));
    out->Append(buffer, length);
}

struct MacroRow {
    const char* name;
    Operation operation;
};

constexpr MacroRow kArithmeticMacros[] = {
    {"min", ChooseExtreme<false>},
    {"max", ChooseExtreme<true>},
    {"iadd", IntegerAdd},
    {"add", RealAdd},
    {"isub", IntegerSubtract},
    {"sub", RealSubtract},
    {"imult", IntegerMultiply},
    {"mult", RealMultiply},
    {"idiv", IntegerDivide},
    {"div", RealDivide},
    {"imod", IntegerModulo},
    {"avg", Average},
    {"lt", Compare<Comparison::less>},
    {"gt", Compare<Comparison::greater>},
    {"lte", Compare<Comparison::lessOrEqual>},
    {"gte", Compare<Comparison::greaterOrEqual>},
    {"equ", Equal},
    {"iabs", IntegerAbsolute},
    {"abs", RealAbsolute},
    {"trunc", Truncate},
    {"round", Round},
    {"iand", Bitwise<BitOperation::bitAnd>},
    {"ior", Bitwise<BitOperation::bitOr>},
    {"ixor", Bitwise<BitOperation::bitXor>},
    {"inot", BitwiseNot},
    {"rand", Random},
    {"fmt", Format},
    {"iptoint", AddressToInteger},
    {"inttoip", IntegerToAddress},
};

} // namespace

void SeedMacroRandom(std::uint32_t seed)
{
    t_randomState = seed;
}

void RegisterMathMacros(CMacroContext& global)
{
    for (const MacroRow& row : kArithmeticMacros)
        global.Register(row.name, std::make_unique<CArithmeticMacro>(row.operation));
}
