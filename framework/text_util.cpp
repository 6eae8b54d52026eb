#include "framework/text_util.h"

#include "platform/ascii.h"

#include <cstring>
#include <limits>

namespace {

// Characters outside the alphabet count as 32.
int Base64Value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return 32;
}

} // namespace

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool ParseDecimal(std::string_view text, std::int64_t* value)
{
    if (text.empty())
        return false;
    std::int64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        if (result > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10)
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

char* LowerCaseCopy(char* dst, const char* src)
{
    while (*src)
        *dst++ = platform::LowerAscii(*src++);
    *dst = 0;
    return dst;
}

std::string LowerCaseString(std::string_view text)
{
    std::string result(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        result[i] = platform::LowerAscii(text[i]);
    return result;
}

void NextToken(std::string& out, const char** cursor, const char* delimiters)
{
    const char* p = *cursor;
    p += std::strspn(p, delimiters);
    std::size_t length = std::strcspn(p, delimiters);
    out.assign(p, length);
    *cursor = p + length;
}

std::string_view Word(std::string_view text, int index)
{
    std::size_t at = 0;
    for (int i = 0;; ++i) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t')
            ++end;
        if (i == index)
            return text.substr(at, end - at);
        if (end == at)
            return {};
        at = end;
    }
}

std::string GetDelimitedField(std::string_view text, std::string_view delimiters, int index)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t begin = text.find_first_not_of(delimiters, pos);
        if (begin == std::string_view::npos)
            break;
        std::size_t end = text.find_first_of(delimiters, begin);
        if (end == std::string_view::npos)
            end = text.size();
        if (index == 0)
            return std::string(text.substr(begin, end - begin));
        --index;
        pos = end;
    }
    return std::string();
}

// Greedy matching with one backtrack point: on a mismatch only the most
// recent '*' needs to absorb one more character, because any earlier star
// can be given the same extra characters without changing the outcome.
bool WildcardMatch(std::string_view text, std::string_view pattern)
{
    std::size_t t = 0;
    std::size_t p = 0;
    std::size_t starPattern = std::string_view::npos;
    std::size_t starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = p++;
            starText = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (starPattern != std::string_view::npos) {
            p = starPattern + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

int FormatIPAddressToBuffer(char* buffer, std::uint32_t address)
{
    char* out = buffer;
    for (int octet = 0; octet < 4; ++octet) {
        unsigned value = (address >> (8 * octet)) & 0xFF;
        if (octet > 0)
            *out++ = '.';
        if (value >= 100)
            *out++ = static_cast<char>('0' + value / 100);
        if (value >= 10)
            *out++ = static_cast<char>('0' + value / 10 % 10);
        *out++ = static_cast<char>('0' + value % 10);
    }
    *out = 0;
    return static_cast<int>(out - buffer);
}

void FormatIPAddress(std::string& out, std::uint32_t address)
{
    char buffer[kIPAddressBufferSize];
    int length = FormatIPAddressToBuffer(buffer, address);
    out.assign(buffer, static_cast<std::size_t>(length));
}

void Base64Decode(std::string& out, std::string_view text)
{
    // Built apart from out: text may be a view of out itself.
    std::string result(text.size(), '\0');
    char* w = result.data();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    while (left > 0) {
        std::size_t group = left < 4 ? left : 4;
        // A missing character of a short last group counts as 0 and is never read.
        unsigned v0 = static_cast<unsigned>(Base64Value(p[0]));
        unsigned v1 = group > 1 ? static_cast<unsigned>(Base64Value(p[1])) : 0;
        *w++ = static_cast<char>((v0 << 2 | v1 >> 4) & 0xFF);
        if (group > 2 && p[2] != '=') {
            unsigned v2 = static_cast<unsigned>(Base64Value(p[2]));
            *w++ = static_cast<char>((v1 << 4 | v2 >> 2) & 0xFF);
        }
        if (group > 3 && p[3] != '=') {
            unsigned v2 = static_cast<unsigned>(Base64Value(p[2]));
            unsigned v3 = static_cast<unsigned>(Base64Value(p[3]));
            *w++ = static_cast<char>((v2 << 6 | v3) & 0xFF);
        }
        p += group;
        left -= group;
    }
    result.resize(static_cast<std::size_t>(w - result.data()));
    out = std::move(result);
}

void URLEncode(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string result(text.size() * 3, '\0');
    char* w = result.data();
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            *w++ = ch;
        } else if (c == ' ') {
            *w++ = '+';
        } else {
            *w++ = '%';
            *w++ = kHex[c >> 4];
            *w++ = kHex[c & 0xF];
        }
    }
    result.resize(static_cast<std::size_t>(w - result.data()));
    out = std::move(result);
}

void URLDecode(std::string& out, std::string_view text)
{
    std::string result(text.size(), '\0');
    char* w = result.data();
    std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == '+' || c == '\r' || c == '\n') {
            *w++ = ' ';
        } else if (c == '%' && i + 2 < n && platform::HexDigitValue(text[i + 1]) >= 0 && platform::HexDigitValue(text[i + 2]) >= 0) {
            *w++ = static_cast<char>(platform::HexDigitValue(text[i + 1]) << 4 | platform::HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            *w++ = c;
        }
    }
    result.resize(static_cast<std::size_t>(w - result.data()));
    out = std::move(result);
}

std::string URLDecodeString(std::string_view text)
{
    std::string result;
    URLDecode(result, text);
    return result;
}

bool DecodeURLPath(std::string& out, std::string_view path)
{
    out.clear();
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c != '%') {
            if (c == '\0')
                return false;
            out.push_back(c);
            continue;
        }
        if (i + 2 >= path.size())
            return false;
        int high = platform::HexDigitValue(path[i + 1]);
        int low = platform::HexDigitValue(path[i + 2]);
        if (high < 0 || low < 0)
            return false;
        char decoded = static_cast<char>(high * 16 + low);
        if (decoded == '\0' || decoded == '/' || decoded == '\\')
            return false;
        out.push_back(decoded);
        i += 2;
    }
    return true;
}

void URLEncodePath(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.clear();
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || c == '/') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
}
