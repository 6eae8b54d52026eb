#pragma once
// What the shared disk cache may keep, and which stored copy may answer
// which request. The cache is shared by every client, so it keeps only
// replies meant for anyone: never one marked private or no-store, one that
// sets a cookie, or one that varies with request headers (the cache keys
// documents by URL alone); and a request that carries credentials (an
// Authorization or a Cookie) is answered from a copy only when the reply
// said public, since the copy was filled for another client.
//
// The texts are header blocks as the relay holds them: lines ended by CR LF
// (or LF); a reply's block may begin with its status line.

#include <cstdint>
#include <optional>
#include <string_view>

// The reply may be stored for the request that fetched it.
bool MayStoreReply(std::string_view requestHeaders, std::string_view replyHeaders);
// The request carries credentials (Authorization or Cookie). Only such a
// request needs a stored copy's header checked: every stored copy is one
// MayStoreReply let in, and so fit for a request without credentials.
bool CarriesCredentials(std::string_view requestHeaders);
// The stored reply may answer the request.
bool MayAnswerFromCopy(std::string_view requestHeaders, std::string_view storedHeaders);
// How many seconds a stored reply may answer without asking the origin,
// as its Cache-Control says for a shared cache: 0 for no-cache, else
// s-maxage, else max-age, less the age it arrived with (its Age, or the
// time since its Date at now, whichever is more); nullopt when it sets no
// limit. must-revalidate needs nothing more: a copy past its lifetime is
// never served.
std::optional<std::int64_t> FreshLifetime(std::string_view replyHeaders, std::int64_t now);
