#pragma once
// Server-side image maps: the click point of a query and the URL a map
// text chooses for it. The request side is CHTTPServer::ClickableMap.
//
// Numbers are read from a word's leading digits and capped at
// kMaxMapCoordinate, so every square and sum of squares fits in 64 bits.

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::int64_t kMaxMapCoordinate = (std::int64_t{1} << 30) - 1;

struct CMapPoint {
    std::int64_t x = 0;
    std::int64_t y = 0;
};

// "X,Y" (runs of ',' and blank skip); a missing number is 0.
CMapPoint ParseClickPoint(std::string_view query);

// The URL of the first circle, rect or polygon holding the point, else of
// the nearest point line or the last default before it; empty when none.
std::string ChooseMapURL(std::string_view mapText, CMapPoint click);

// The polygon test, by the non-zero winding rule. A point on an edge or a
// vertex is inside; fewer than three vertices hold nothing.
bool PolygonHolds(const CMapPoint* vertices, std::size_t count, CMapPoint point);
