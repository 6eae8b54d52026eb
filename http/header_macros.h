#pragma once
// Request macros that need more than a field: the header readers (header,
// enumheader), the reply setters of a KAV document (expires:,
// content-type:), and the path macros that turn a path relative to the
// current document into a URL path, a file path or an absolute URL (fqvpath,
// fqppath, fqurl). Also the step that fills in the client's address and host
// name before the request macros are registered or a hit is logged.

#include "http/access_log.h"
#include "macro/macro.h"

#include <cstdint>
#include <string>
#include <string_view>

class CHTTPServer;
class CTextBuffer;
class WSocket;
struct CHTTPRequest;

// Fills ClientAddress from the connection's peer when it is empty and, when
// the server's UseDNS is set, ClientName from the QNS table or a bounded
// reverse look-up; ClientHost then points at the name when there is one,
// else at the address.
void ResolveClientName(CHTTPServer& server, WSocket& socket, CHTTPRequest& request);

// The directory of a URL path: everything before its last '/' ("/a/b/c.htm"
// gives "/a/b", "/c.htm" gives "").
std::string URLBaseDirectory(std::string_view urlPath);

// Calls function(name, value) for each header line of a header text, split
// as SplitHeaderLine splits it, until it returns false; runs of CR and LF
// between lines are skipped.
template <typename Function> void ForEachHeaderLine(std::string_view text, Function&& function);

// header(name [, occurrence]): the value of the occurrence-th line of that
// name (case-insensitive, from 0); nothing when there is none.
class CHeaderMacro : public CMacro {
public:
    explicit CHeaderMacro(const CTextBuffer* headers) : m_headers(headers) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const CTextBuffer* m_headers;
};

// enumheader(template): the template expanded once per header line with
// header and value set in a nested scope.
class CEnumHeaderMacro : public CMacro {
public:
    explicit CEnumHeaderMacro(const CTextBuffer* headers) : m_headers(headers) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const CTextBuffer* m_headers;
};

// expires:([seconds since 1970 | never]): sets Expires; never or no
// argument sends no Expires line at all.
class CExpiresMacro : public CMacro {
public:
    explicit CExpiresMacro(std::int64_t* expires) : m_expires(expires) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    std::int64_t* m_expires;
};

// content-type:([type]): the Content-type a KAV document goes out with.
class CContentTypeMacro : public CMacro {
public:
    explicit CContentTypeMacro(std::string* contentType) : m_contentType(contentType) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    std::string* m_contentType;
};

// fqvpath([relative path]): the URL path of a path relative to the
// document's directory, normalised; the directory itself without argument.
class CFqvpathMacro : public CMacro {
public:
    explicit CFqvpathMacro(std::string base) : m_base(std::move(base)) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
    // The fqvpath result for argv (argc 0: the base).
    std::string Resolve(const char** argv, int argc) const;

private:
    std::string m_base;
};

// fqppath([relative path]): the file path the fqvpath result maps to.
class CFqppathMacro : public CFqvpathMacro {
public:
    CFqppathMacro(CHTTPServer& server, std::string base) : CFqvpathMacro(std::move(base)), m_server(server) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CHTTPServer& m_server;
};

// fqurl([relative path]): the absolute URL of the fqvpath result.
class CFqurlMacro : public CFqvpathMacro {
public:
    CFqurlMacro(CHTTPServer& server, WSocket& socket, std::string base)
        : CFqvpathMacro(std::move(base)), m_server(server), m_socket(socket)
    {
    }
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    CHTTPServer& m_server;
    WSocket& m_socket;
};

template <typename Function> void ForEachHeaderLine(std::string_view text, Function&& function)
{
    std::string name;
    std::string value;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == '\r' || text[at] == '\n'))
            ++at;
        if (at >= text.size())
            break;
        std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = text.size();
        SplitHeaderLine(name, value, text.substr(at, end - at));
        if (!function(std::string_view(name), std::string_view(value)))
            return;
        at = end;
    }
}
