#include "http/clickable_map.h"

#include "framework/error_reply.h"
#include "framework/server_log.h"
#include "framework/text_buffer.h"
#include "http/dispatch.h"
#include "http/document_cache.h"
#include "http/form.h"
#include "http/http_exception.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/request_macros.h"
#include "macro/macro.h"
#include "framework/text_util.h"
#include "platform/ascii.h"
#include "platform/eventlog.h"

#include <algorithm>

#include <vector>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::int64_t LeadingNumber(std::string_view word)
{
    std::int64_t value = 0;
    for (char c : word) {
        if (!IsDigit(c))
            break;
        value = std::min<std::int64_t>(value * 10 + (c - '0'), kMaxMapCoordinate);
    }
    return value;
}

std::int64_t Square(std::int64_t v) { return v * v; }

// The words of one line.
std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    constexpr std::string_view separators = " (),\t\r\n";
    while (at < line.size()) {
        at = line.find_first_not_of(separators, at);
        if (at == std::string_view::npos)
            break;
        std::size_t end = line.find_first_of(separators, at);
        if (end == std::string_view::npos)
            end = line.size();
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

bool IsNumber(std::string_view word) { return !word.empty() && IsDigit(word[0]); }

// Which side of the line a->b the point lies: > 0 left, < 0 right, 0 on it.
std::int64_t Side(CMapPoint a, CMapPoint b, CMapPoint p) { return (b.x - a.x) * (p.y - a.y) - (p.x - a.x) * (b.y - a.y); }

bool OnSegment(CMapPoint a, CMapPoint b, CMapPoint p)
{
    return Side(a, b, p) == 0 && std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= p.y &&
           p.y <= std::max(a.y, b.y);
}

} // namespace

CMapPoint ParseClickPoint(std::string_view query)
{
    CMapPoint click;
    std::size_t at = 0;
    for (std::int64_t* value : {&click.x, &click.y}) {
        while (at < query.size() && (query[at] == ',' || query[at] == ' '))
            ++at;
        std::size_t end = at;
        while (end < query.size() && query[end] != ',' && query[end] != ' ')
            ++end;
        *value = LeadingNumber(query.substr(at, end - at));
        at = end;
    }
    return click;
}

bool PolygonHolds(const CMapPoint* vertices, std::size_t count, CMapPoint point)
{
    if (count < 3)
        return false;
    // Points on the outline count as inside, as a drawn shape's border is
    // part of what a user clicks on.
    for (std::size_t i = 0; i < count; ++i)
        if (OnSegment(vertices[i], vertices[(i + 1) % count], point))
            return true;
    // Winding number: upward crossings with the point on their left add one,
    // downward crossings with it on their right take one away.
    int winding = 0;
    for (std::size_t i = 0; i < count; ++i) {
        CMapPoint a = vertices[i];
        CMapPoint b = vertices[(i + 1) % count];
        if (a.y <= point.y) {
            if (b.y > point.y && Side(a, b, point) > 0)
                ++winding;
        } else if (b.y <= point.y && Side(a, b, point) < 0) {
            --winding;
        }
    }
    return winding != 0;
}

std::string ChooseMapURL(std::string_view text, CMapPoint click)
{
    std::string url;
    std::int64_t best = -1;
    std::vector<CMapPoint> polygon;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == '/' || line[0] == ';')
            continue;
        std::vector<std::string_view> words = Words(line);
        if (words.empty())
            continue;
        std::string shape = LowerCaseString(words[0]);
        // The URL and the numbers, in either layout.
        std::string_view target;
        std::vector<std::int64_t> numbers;
        std::size_t i = 1;
        bool numbersFirst = i < words.size() && IsNumber(words[i]);
        if (!numbersFirst && i < words.size())
            target = words[i++];
        while (i < words.size() && IsNumber(words[i]))
            numbers.push_back(LeadingNumber(words[i++]));
        if (numbersFirst && i < words.size())
            target = words[i];
        auto number = [&](std::size_t n) { return n < numbers.size() ? numbers[n] : 0; };

        if (shape == "default" || shape == "def") {
            url.assign(target);
        } else if (shape == "point") {
            std::int64_t distance = Square(click.y - number(1)) + Square(click.x - number(0));
            if (best < 0 || distance < best) {
                best = distance;
                url.assign(target);
            }
        } else if (shape == "circle" || shape == "circ") {
            std::int64_t cx = number(0), cy = number(1);
            std::int64_t radius2 = numbersFirst ? Square(number(2))
                                                : Square(cx - number(2)) + Square(cy - number(3));
            if (Square(cy - click.y) + Square(cx - click.x) < radius2) {
                url.assign(target);
                break;
            }
        } else if (shape == "rect" || shape == "rectangle") {
            if (number(0) <= click.x && click.x <= number(2) && number(1) <= click.y && click.y <= number(3)) {
                url.assign(target);
                break;
            }
        } else if (shape == "polygon" || shape == "poly") {
            polygon.clear();
            for (std::size_t n = 0; n + 1 < numbers.size(); n += 2)
                polygon.push_back({numbers[n], numbers[n + 1]});
            if (PolygonHolds(polygon.data(), polygon.size(), click)) {
                url.assign(target);
                break;
            }
        }
    }
    return url;
}

int CHTTPServer::ClickableMap(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody)
{
    try {
        CCacheEntry* entry = request.Document;
        const char* view = entry ? entry->GetView() : nullptr;
        if (view == nullptr) {
            std::string page = ExpandRequestPage(*this, socket, request, "%http-badmap%");
            SendErrorReply(socket, 404, page, nullptr, sendHeaders, sendBody);
            request.Status = 404;
            return 0;
        }
        std::string_view text(view, static_cast<std::size_t>(entry->GetSize()));
        CMapPoint click = ParseClickPoint(request.QueryText);
        std::string expanded;
        if (text.size() > 8 && platform::EqualsIgnoringCase(text.substr(0, 8), "%expand%")) {
            RegisterRequestMacros(*this, socket, request);
            RegisterFormMacros(socket, request);
            if (!request.Scope.IsReadOnly()) {
                request.Scope.Register("map-x", std::make_unique<CValueMacro>(std::to_string(click.x)));
                request.Scope.Register("map-y", std::make_unique<CValueMacro>(std::to_string(click.y)));
            }
            int capacity = static_cast<int>(std::min<std::size_t>(text.size() * 2, 1 << 20));
            CTextBuffer out(capacity, capacity);
            request.Scope.Expand(&out, text);
            expanded = out.ToString();
            text = expanded;
        }
        std::string url = ChooseMapURL(text, click);
        if (url.empty())
            ThrowRequestPage(*this, socket, request, 404, "%http-badurl%");
        if (url[0] == '/') {
            ProcessURL(url, socket, request);
            return 1;
        }
        SendRedirect(socket, request, url, sendHeaders, sendBody);
        request.Status = 302;
        return 1;
    } catch (const CHTTPException&) {
        throw;
    } catch (const std::exception&) {
        LogMessage(platform::kEventTypeError, kEventUnexpectedException, {"CHTTPServer::ClickableMap"});
        return 1;
    }
}
