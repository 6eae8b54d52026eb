#pragma once
// The request macros: the client's address and name, the credentials, the
// URL and its parts, the method, protocol, status and byte count, the
// headers, the local server name, the port and scheme, and the access check.
// They live in the request's own scope (CHTTPRequest::Scope), which is
// chained to the server's scope; they are registered lazily, once per
// request, by whichever handler first needs them.

#include "macro/macro.h"

class CGroupMap;
class CHTTPServer;
class WSocket;
struct CHTTPRequest;

// A chained request scope is re-sized to this many buckets: a page's request
// macros, form fields and own definitions run to a few hundred names.
inline constexpr unsigned kRequestScopeBuckets = 511;

// Chains the request's scope to the server's when it has no parent yet and
// re-sizes its table; with a parent already set it does nothing. Handlers
// that only need the chain (error paths, programs) call this.
void InitRequestMacros(CHTTPServer& server, CHTTPRequest& request);

// Once per request (kRequestMacrosRegistered): chains the scope, fills the
// client's address and name, registers gset, gmacro and gdefine bound to the
// scope and then every request macro. A read-only scope receives nothing.
void RegisterRequestMacros(CHTTPServer& server, WSocket& socket, CHTTPRequest& request);

// aclcheck(path, access, user): nothing when an argument is missing or the
// .~ACL~ list of path allows; otherwise the 401 reply ends the request.
class CACLCheckMacro : public CMacro {
public:
    CACLCheckMacro(WSocket& socket, CHTTPServer& server, CHTTPRequest& request, CGroupMap* groups)
        : m_socket(socket), m_server(server), m_request(request), m_groups(groups)
    {
    }
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    WSocket& m_socket;
    CHTTPServer& m_server;
    CHTTPRequest& m_request;
    CGroupMap* m_groups;
};
