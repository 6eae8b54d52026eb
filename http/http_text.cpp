#include "http/http_text.h"

#include "platform/ascii.h"

#include <limits>

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
