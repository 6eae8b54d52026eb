#pragma once
// How a request's URL path becomes a path the server may map to a file.
//
// The document root and the virtual paths are the only folders a request may
// reach, so a path is decoded once and then normalised: separators ('/' and
// '\') collapse to one '/', "." segments go, and a ".." segment, a NUL or an
// encoded separator refuses the whole path. Whatever maps a URL (the cache,
// MapURLToPath, the program variables) works on the normalised form only.
// The CHTTPServer routines of this file are declared in http_server.h.

#include "framework/text_util.h"

#include <string>
#include <string_view>

class CHTTPServerConfig;

// A look-up in one of a server's lists, then in the process-wide list when
// the server's has no parent (a running server's lists have the global ones
// as parents already; a bare configuration has none).
template <class TMap, class TValue>
bool LookupWithGlobal(TMap& map, TMap& global, std::string_view key, TValue& out)
{
    if (map.LookupLocked(key, out))
        return true;
    return &map != &global && map.GetParent() == nullptr && global.LookupLocked(key, out);
}

// out = path with a single leading '/', every run of separators as one '/',
// "." segments dropped and a trailing separator kept. False (out undefined)
// when a segment is "..", or the path holds a NUL.
bool NormalizeURLPath(std::string& out, std::string_view path);

// True when some segment of the path names an access-list file.
bool HasACLFileSegment(std::string_view path);

// The MIME type of the file a path names, by the extension of its last
// segment (case-insensitive), else the "*" type, else "".
std::string MimeTypeForPath(CHTTPServerConfig& server, std::string_view path);

// The file path a URL names: below the virtual path its first segment
// names, else below RootDir, the rest normalised; "" when it does not
// normalise.
std::string MapURLPath(CHTTPServerConfig& server, std::string_view url);
