#pragma once
// What the proxy's page-making fuzz targets share: walking a server's text
// line by line, and looking for markup the server smuggled into a page.

#include <cstddef>
#include <initializer_list>
#include <string_view>

// Calls each(line) for every line of text, its '\n' kept; the last line may
// lack one (and is empty when text ends with '\n').
template <typename Each>
void ForEachServerLine(std::string_view text, Each each)
{
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        each(text.substr(at, end == std::string_view::npos ? end : end - at + 1));
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
}

// True when page holds a '<' that opens none of the page's own tags.
inline bool HasForeignTag(std::string_view page, std::initializer_list<std::string_view> ownTags)
{
    for (std::size_t at = page.find('<'); at != std::string_view::npos; at = page.find('<', at + 1)) {
        bool own = false;
        for (std::string_view tag : ownTags)
            own = own || page.substr(at, tag.size()) == tag;
        if (!own)
            return true;
    }
    return false;
}
