#include "proxy/url_parts.h"

#include "framework/text_util.h"

std::int32_t DefaultPortForScheme(std::string_view scheme)
{
    if (scheme == "gopher")
        return 70;
    if (scheme == "ftp")
        return 21;
    return 80;
}

bool CUrlParts::Parse(std::string_view text)
{
    scheme.clear();
    host.clear();
    path.clear();
    port = -1;
    if (text.empty())
        return true;

    std::size_t stop = text.find_first_of(":/");
    std::string_view rest = text;
    if (stop != std::string_view::npos && text[stop] == ':') {
        scheme.assign(text.substr(0, stop));
        rest = text.substr(stop + 1);
    }
    bool hadHost = false;
    if (rest.substr(0, 2) == "//") {
        hadHost = true;
        rest.remove_prefix(2);
        std::size_t end = rest.find_first_of("/:");
        host.assign(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
        if (!rest.empty() && rest[0] == ':') {
            std::size_t slash = rest.find('/');
            std::string_view digits = rest.substr(1, slash == std::string_view::npos ? slash : slash - 1);
            rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
            std::int64_t value = 0;
            if (digits.empty() || digits.size() > 5)
                return false;
            for (char c : digits) {
                if (c < '0' || c > '9')
                    return false;
                value = value * 10 + (c - '0');
            }
            if (value < 1 || value > 65535)
                return false;
            port = static_cast<std::int32_t>(value);
        }
    }
    path.assign(rest);
    // A URL that ends at its host names the root: an empty path would send
    // the origin a request line without a path and give http://host and
    // http://host/ two cache entries.
    if (hadHost && path.empty())
        path = "/";
    for (char& c : scheme) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    if (port == -1)
        port = DefaultPortForScheme(scheme);
    return true;
}

void CUrlParts::Format(std::string& out) const
{
    out.clear();
    if (!scheme.empty()) {
        out += scheme;
        out += ':';
    }
    if (!host.empty()) {
        out += "//";
        out += host;
        bool known = scheme == "http" || scheme == "ftp" || scheme == "gopher";
        if (known && port != DefaultPortForScheme(scheme)) {
            out += ':';
            out += std::to_string(port);
        }
    }
    out += path;
}

std::string CUrlParts::Format() const
{
    std::string out;
    Format(out);
    return out;
}

std::string CUrlParts::Key() const
{
    CUrlParts folded = *this;
    folded.scheme = LowerCaseString(scheme);
    folded.host = LowerCaseString(host);
    return folded.Format();
}
