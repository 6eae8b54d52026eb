#pragma once
// CUrlParts: a request URL split into scheme, host, port and path, and
// composed back into text. The relay chooses its handler and its peer by
// the parts, the disk cache names its files and keys its index by them, and
// the URL lists are matched against the composed text.

#include <cstdint>
#include <string>
#include <string_view>

class CUrlParts {
public:
    std::string scheme; // lower case once parsed
    std::string host;
    std::int32_t port = -1;
    std::string path; // as received, query included; "/" when a host ends the URL

    // Fills the parts from text. False when the URL names a port that is not
    // a number from 1 to 65535 (the parts are then left half-filled).
    bool Parse(std::string_view text);
    // The URL text: scheme, "//host", the port unless it is the scheme's
    // default (other schemes never show one), then the path.
    void Format(std::string& out) const;
    std::string Format() const;
    // Format with the scheme and host folded to lower case: the cache key,
    // under which http://HOST/x and http://host:80/x are one document.
    std::string Key() const;
};

// 80 for http, 21 for ftp, 70 for gopher; 80 for every other scheme.
std::int32_t DefaultPortForScheme(std::string_view scheme);
