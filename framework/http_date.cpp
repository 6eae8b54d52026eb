#include "framework/http_date.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The month a name that matches no month gets; no conversion accepts it.
constexpr std::uint16_t kUnknownMonth = 13;
// What a number too large or negative for a field reads as: no field accepts it.
constexpr std::uint16_t kOutOfRange = 65535;

// Field values come from callers and from parsed text: a table index out of
// range is clamped to the nearest entry rather than read past the table.
const char* WeekdayName(unsigned dayOfWeek)
{
    return kWeekdays[dayOfWeek > 6 ? 6 : dayOfWeek];
}

const char* MonthName(unsigned month)
{
    return kMonths[month < 1 ? 1 : month > 12 ? 12 : month];
}

// Skips the separators, then returns the run up to the next separator.
std::string_view NextDateToken(std::string_view text, std::size_t* pos, std::string_view separators)
{
    std::size_t begin = text.find_first_not_of(separators, *pos);
    if (begin == std::string_view::npos) {
        *pos = text.size();
        return {};
    }
    std::size_t end = text.find_first_of(separators, begin);
    if (end == std::string_view::npos)
        end = text.size();
    *pos = end;
    return text.substr(begin, end - begin);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal after optional blanks and sign; no digits read as 0. hasDigits
// tells a real 0 from none.
std::uint16_t ReadNumber(std::string_view token, bool* hasDigits = nullptr)
{
    std::size_t i = 0;
    while (i < token.size() && IsBlank(token[i]))
        ++i;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-'))
        negative = token[i++] == '-';
    long value = 0;
    bool digits = false;
    for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
        digits = true;
        if (value <= kOutOfRange)
            value = value * 10 + (token[i] - '0');
    }
    if (hasDigits)
        *hasDigits = digits;
    if (negative && value != 0)
        return kOutOfRange;
    return value > kOutOfRange ? kOutOfRange : static_cast<std::uint16_t>(value);
}

std::uint16_t ReadMonth(std::string_view token)
{
    if (token.size() < 3)
        return kUnknownMonth;
    for (std::uint16_t month = 1; month <= 12; ++month) {
        bool same = true;
        for (int k = 0; k < 3 && same; ++k) {
            char c = token[k];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            char m = kMonths[month][k];
            if (m >= 'A' && m <= 'Z')
                m = static_cast<char>(m - 'A' + 'a');
            same = c == m;
        }
        if (same)
            return month;
    }
    return kUnknownMonth;
}

} // namespace

SystemTime ParseHTTPDate(std::string_view text)
{
    SystemTime time;
    std::size_t pos = 0;
    NextDateToken(text, &pos, " ,"); // the weekday, ignored
    time.day = ReadNumber(NextDateToken(text, &pos, " -,"));
    time.month = ReadMonth(NextDateToken(text, &pos, " -"));
    bool yearDigits = false;
    time.year = ReadNumber(NextDateToken(text, &pos, " -"), &yearDigits);
    // Two-digit years are 1980-2079. A missing year stays 0 so that it fails
    // conversion instead of passing as 2000.
    if (yearDigits && time.year < 100)
        time.year = static_cast<std::uint16_t>(time.year + (time.year >= 80 ? 1900 : 2000));
    time.hour = ReadNumber(NextDateToken(text, &pos, ": "));
    time.minute = ReadNumber(NextDateToken(text, &pos, ": "));
    time.second = ReadNumber(NextDateToken(text, &pos, ": "));
    return time;
}

namespace {

// The dates go out on every reply and every log line, so they are built by
// hand rather than through snprintf; the text is the same: each number in
// full, zero-padded to width.
class CDateWriter {
public:
    explicit CDateWriter(char* buffer) : m_buffer(buffer) {}

    void Text(const char* text)
    {
        while (*text)
            Char(*text++);
    }
    void Char(char c)
    {
        // One byte stays free for the terminating NUL, as snprintf keeps it.
        if (m_length + 1 < static_cast<int>(kDateBufferSize))
            m_buffer[m_length] = c;
        ++m_length;
    }
    void Number(unsigned value, int width)
    {
        char digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int i = n; i < width; ++i)
            Char('0');
        while (n > 0)
            Char(digits[--n]);
    }
    // The length written (capped at the buffer), with the NUL in place.
    int Finish()
    {
        int length = std::min(m_length, static_cast<int>(kDateBufferSize) - 1);
        m_buffer[length] = '\0';
        return length;
    }

private:
    char* m_buffer;
    int m_length = 0;
};

} // namespace

int FormatRFC1123Date(char* buffer, const SystemTime& time)
{
    CDateWriter out(buffer);
    out.Text(WeekdayName(time.dayOfWeek));
    out.Text(", ");
    out.Number(time.day, 2);
    out.Char(' ');
    out.Text(MonthName(time.month));
    out.Char(' ');
    out.Number(time.year, 1);
    out.Char(' ');
    out.Number(time.hour, 2);
    out.Char(':');
    out.Number(time.minute, 2);
    out.Char(':');
    out.Number(time.second, 2);
    out.Text(" GMT");
    return out.Finish();
}

void FormatRFC1123DateString(std::string& out, const SystemTime& time)
{
    out.resize(kDateBufferSize);
    out.resize(static_cast<std::size_t>(FormatRFC1123Date(out.data(), time)));
}

int FormatLogDate(char* buffer, const SystemTime& time)
{
    // Formatted aside because the caller's buffer gets no NUL.
    char text[kDateBufferSize];
    CDateWriter out(text);
    out.Number(time.day, 2);
    out.Char('/');
    out.Text(MonthName(time.month));
    out.Char('/');
    out.Number(time.year, 1);
    out.Char(':');
    out.Number(time.hour, 2);
    out.Char(':');
    out.Number(time.minute, 2);
    out.Char(':');
    out.Number(time.second, 2);
    out.Text(" +0000");
    int n = out.Finish();
    std::memcpy(buffer, text, static_cast<std::size_t>(n));
    return n;
}

void FormatLogDateString(std::string& out, const SystemTime& time)
{
    out.resize(kDateBufferSize);
    out.resize(static_cast<std::size_t>(FormatLogDate(out.data(), time)));
}
