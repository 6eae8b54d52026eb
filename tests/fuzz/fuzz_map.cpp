// Runs arbitrary map texts against click points the input chooses.
// Findings: sanitizer reports (UBSan catches any overflow of the distance
// arithmetic), and the check that a chosen URL is one of the text's words.

#include "http/clickable_map.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t newline = input.find('\n');
    std::string_view query = newline == std::string_view::npos ? std::string_view() : input.substr(0, newline);
    std::string_view map = newline == std::string_view::npos ? input : input.substr(newline + 1);
    CMapPoint click = ParseClickPoint(query);
    if (click.x < 0 || click.y < 0 || click.x > kMaxMapCoordinate || click.y > kMaxMapCoordinate)
        std::abort();
    std::string url = ChooseMapURL(map, click);
    if (!url.empty() && map.find(url) == std::string_view::npos)
        std::abort();
    return 0;
}
