#include "proxy/cache_policy.h"

#include "framework/http_date.h"
#include "framework/system_time.h"
#include "platform/ascii.h"

#include <algorithm>

using platform::EqualsIgnoringCase;

namespace {

// Calls visit(piece) for each piece of text between separators; visit
// returns true to stop, and so does the call.
template <typename Visit> bool AnyPiece(std::string_view text, char separator, Visit&& visit)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(separator, at);
        std::string_view piece = text.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        if (visit(piece))
            return true;
    }
    return false;
}

// Calls visit(value) for each line of text named name (any case); the
// value without the blanks around it. visit returns true to stop.
template <typename Visit> bool AnyHeader(std::string_view text, std::string_view name, Visit&& visit)
{
    return AnyPiece(text, '\n', [&](std::string_view line) {
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !EqualsIgnoringCase(line.substr(0, colon), name))
            return false;
        std::string_view value = line.substr(colon + 1);
        std::size_t first = value.find_first_not_of(" \t");
        std::size_t last = value.find_last_not_of(" \t\r");
        return visit(first == std::string_view::npos ? std::string_view{} : value.substr(first, last - first + 1));
    });
}

// Calls visit(argument) for each Cache-Control directive named directive
// (any case); the argument is what follows '=', empty without one.
template <typename Visit> bool AnyDirective(std::string_view text, std::string_view directive, Visit&& visit)
{
    return AnyHeader(text, "cache-control", [&](std::string_view value) {
        return AnyPiece(value, ',', [&](std::string_view item) {
            std::size_t equals = item.find('=');
            std::string_view name = item.substr(0, equals);
            std::size_t first = name.find_first_not_of(" \t");
            std::size_t last = name.find_last_not_of(" \t");
            if (first == std::string_view::npos || !EqualsIgnoringCase(name.substr(first, last - first + 1), directive))
                return false;
            return visit(equals == std::string_view::npos ? std::string_view{} : item.substr(equals + 1));
        });
    });
}

bool HasHeader(std::string_view text, std::string_view name)
{
    return AnyHeader(text, name, [](std::string_view) { return true; });
}

// A Cache-Control directive, its argument ignored: private="x" counts as
// private, which keeps more out of the cache, never less.
bool HasDirective(std::string_view text, std::string_view directive)
{
    return AnyDirective(text, directive, [](std::string_view) { return true; });
}

// The seconds of a directive such as max-age=60 (quotes allowed); nullopt
// when it is absent, -1 when its argument is no number (taken as 0 by the
// caller: a lifetime that cannot be read gives none).
std::optional<std::int64_t> DirectiveSeconds(std::string_view text, std::string_view directive)
{
    std::optional<std::int64_t> seconds;
    AnyDirective(text, directive, [&](std::string_view number) {
        while (!number.empty() && (number.front() == ' ' || number.front() == '\t' || number.front() == '"'))
            number.remove_prefix(1);
        while (!number.empty() && (number.back() == ' ' || number.back() == '\t' || number.back() == '"'))
            number.remove_suffix(1);
        std::int64_t parsed = number.empty() ? -1 : 0;
        for (char c : number) {
            if (c < '0' || c > '9') {
                parsed = -1;
                break;
            }
            // Beyond ten digits is forever enough.
            parsed = parsed > 999999999 ? parsed : parsed * 10 + (c - '0');
        }
        seconds = parsed;
        return true;
    });
    return seconds;
}

// A reply fit for every client: not private, not no-store, setting no
// cookie, and the same whatever the request's headers.
bool IsSharedReply(std::string_view reply)
{
    bool varies = AnyHeader(reply, "vary", [](std::string_view value) { return !value.empty(); });
    return !varies && !HasDirective(reply, "private") && !HasDirective(reply, "no-store") &&
           !HasHeader(reply, "set-cookie") && !HasHeader(reply, "set-cookie2");
}

} // namespace

bool CarriesCredentials(std::string_view requestHeaders)
{
    return HasHeader(requestHeaders, "authorization") || HasHeader(requestHeaders, "cookie");
}

bool MayStoreReply(std::string_view requestHeaders, std::string_view replyHeaders)
{
    return !HasDirective(requestHeaders, "no-store") && MayAnswerFromCopy(requestHeaders, replyHeaders);
}

bool MayAnswerFromCopy(std::string_view requestHeaders, std::string_view storedHeaders)
{
    return IsSharedReply(storedHeaders) &&
           (!CarriesCredentials(requestHeaders) || HasDirective(storedHeaders, "public"));
}

std::optional<std::int64_t> FreshLifetime(std::string_view replyHeaders, std::int64_t now)
{
    if (HasDirective(replyHeaders, "no-cache"))
        return 0;
    std::optional<std::int64_t> lifetime = DirectiveSeconds(replyHeaders, "s-maxage");
    if (!lifetime)
        lifetime = DirectiveSeconds(replyHeaders, "max-age");
    if (!lifetime)
        return std::nullopt;
    if (*lifetime < 0)
        return 0;
    std::int64_t age = 0;
    AnyHeader(replyHeaders, "age", [&age](std::string_view value) {
        for (char c : value) {
            if (c < '0' || c > '9')
                return true;
            age = age > 999999999 ? age : age * 10 + (c - '0');
        }
        return true;
    });
    // A reply whose Date is long past was that old when it came, whatever
    // Age it carries (RFC 9111 4.2.3); a Date that cannot be read adds none.
    std::string_view date;
    AnyHeader(replyHeaders, "date", [&date](std::string_view value) {
        date = value;
        return true;
    });
    if (!date.empty()) {
        if (std::optional<std::int64_t> sent = SystemTimeToUnixSeconds(ParseHTTPDate(date)))
            age = std::max(age, now - *sent);
    }
    return std::max<std::int64_t>(0, *lifetime - age);
}
