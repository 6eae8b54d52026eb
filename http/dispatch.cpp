#include "http/dispatch.h"

#include "config/access_list.h"
#include "framework/error_reply.h"
#include "framework/host_name.h"
#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "http/document_cache.h"
#include "http/header_macros.h"
#include "http/http_exception.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "http/request_macros.h"
#include "http/url_mapping.h"
#include "platform/logon.h"

#include <cstring>
#include <stdexcept>

namespace {

bool IsExecutable(const CCacheEntry& entry)
{
    return entry.Has(CCacheEntry::Program) || entry.Has(CCacheEntry::MacroDocument);
}

} // namespace

std::string ExpandRequestPage(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, std::string_view text,
                              int capacity)
{
    RegisterRequestMacros(server, socket, request);
    CTextBuffer page(capacity, capacity);
    request.Scope.Expand(&page, text);
    return page.ToString();
}

void ThrowRequestPage(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, int status, std::string_view text)
{
    throw CHTTPException(status, ExpandRequestPage(server, socket, request, text));
}

// The user name ends at the first colon and the password is all the rest:
// a password may hold colons, and cutting it at the next one would refuse
// its owner.
void SplitBasicCredentials(std::string_view decoded, std::string& user, std::string& password)
{
    std::size_t colon = decoded.find(':');
    user.assign(decoded.substr(0, colon));
    if (colon == std::string_view::npos)
        password.clear();
    else
        password.assign(decoded.substr(colon + 1));
}

void CAccessDecision::Add(int verdict, bool empty)
{
    if (verdict == 0 || (verdict == -1 && !empty))
        m_refused = true;
    else if (verdict == 1)
        m_granted = true;
}

bool CAccessDecision::IsGranted() const { return !m_refused && (!m_explicitOnly || m_granted); }

namespace {

// Basic credentials against an NT logon or the user table. A failed check
// leaves AuthUser empty: the access lists then decide for an anonymous user.
// Returns true when the thread now impersonates the user.
bool Authenticate(CHTTPServer& server, WSocket& socket, CHTTPRequest& request)
{
    request.AuthScheme.assign(Word(request.Authorization, 0));
    if (!EqualsIgnoringCase(request.AuthScheme, "Basic"))
        return false;
    std::string decoded;
    Base64Decode(decoded, Word(request.Authorization, 1));
    SplitBasicCredentials(decoded, request.UserName, request.Password);
    if (request.UserName.empty())
        return false;

    bool impersonating = false;
    std::shared_ptr<const CServiceSettings> settings = server.GetSettings();
    if (settings->useNTAuthentication) {
        platform::LogonTokenPtr connection = platform::CurrentImpersonation();
        if (platform::LogonAndImpersonate(request.UserName.c_str(), settings->ntDomain.c_str(),
                                          request.Password.c_str(), socket.GetPeerAddress(),
                                          [&server] { return server.IsStopping(); }) == 0) {
            request.AuthUser = request.UserName;
            impersonating = true;
        } else if (platform::CurrentImpersonation() != connection) {
            // The connection's account could not be taken on again: the
            // request must not go on with the server's rights.
            throw std::runtime_error("the connection's account could not be restored after a failed logon");
        }
    }
    if (request.AuthUser.empty()) {
        if (server.GetUsers().HasAuthenticateMacro() || server.GetGroups().HasMemberMacro())
            RegisterRequestMacros(server, socket, request);
        if (server.GetUsers().CheckPassword(request.UserName, request.Password, &request.Scope))
            request.AuthUser = request.UserName;
    }
    return impersonating;
}

} // namespace

void CHTTPServer::ProcessRequest(WSocket& socket, CHTTPRequest& request)
{
    std::string_view method = request.Method;
    bool hasProtocol = request.Protocol[0] != '\0';

    // 1. A simple (protocol-less) request knows only GET and no credentials.
    bool impersonating = false;
    if (!hasProtocol) {
        request.UserName.clear();
        request.AuthUser.clear();
        request.Password.clear();
        if (method != "GET")
            ThrowRequestPage(*this, socket, request, 501, "%http-getonly%");
    } else if (!request.Authorization.empty()) {
        // 2. Credentials.
        impersonating = Authenticate(*this, socket, request);
    }

    // 3. The server's own list, with the dotted address every check compares.
    ResolveClientName(*this, socket, request);
    CGroupMap* groups = &GetGroups();
    CAccessDecision decision(method);
    int verdict = GetAccessList().CheckFresh(method, request.AuthUser, request.ClientAddress, groups, &request.Scope);
    // Undecided is allowed only for a list without lines; IsAllowed tells
    // that under the list's own lock.
    bool emptyList = verdict == -1 &&
                     GetAccessList().IsAllowed(method, request.AuthUser, request.ClientAddress, groups, &request.Scope);
    decision.Add(verdict, emptyList);
    if (decision.IsRefused())
        SendAuthRequired(socket, request);

    // 4. The document. The path is decoded and normalised once; whatever it
    // names then lies below the root or a virtual path's location, and no
    // method reaches an access-list file.
    std::string decoded;
    std::string path;
    if (!DecodeURLPath(decoded, std::string_view(request.URLPath, static_cast<std::size_t>(request.URLPathLength))) ||
        !NormalizeURLPath(path, decoded) || HasACLFileSegment(path))
        ThrowRequestPage(*this, socket, request, 404, "%http-badurl%");
    int error = 0;
    const char* qualifier = impersonating ? request.AuthUser.c_str() : nullptr;
    request.Document = GetDocumentCache().Lookup(path.c_str(), static_cast<int>(path.size()), &request.FileHandle,
                                                 qualifier, &error);
    CCacheEntry* entry = request.Document;
    if (request.FileHandle == -1 && error == CDocumentCache::kErrorAccessDenied)
        SendAuthRequired(socket, request);

    // 5. Not found. A file that could not be opened for want of descriptors
    // or memory is a failure of the server, not an absent document.
    if ((entry == nullptr || entry->Has(CCacheEntry::NotFound)) && CDocumentCache::IsResourceError(error))
        ThrowRequestPage(*this, socket, request, 500, "%http-servererror%");
    std::shared_ptr<const CHTTPSettings> http = GetHTTPSettings();
    if (entry == nullptr || entry->Has(CCacheEntry::NotFound) ||
        (entry->Has(CCacheEntry::Directory) && http->dirBrowsing == 0))
        ThrowRequestPage(*this, socket, request, 404, "%http-badurl%");

    // 6. Redirect.
    if (entry->Has(CCacheEntry::Redirect)) {
        std::string target = entry->Target;
        if (!target.empty() && target[0] == '/') {
            std::string absolute;
            MakeAbsoluteURL(socket, target, absolute);
            target = absolute;
        }
        SendRedirect(socket, request, target, hasProtocol, method == "GET");
        request.Status = 302;
        return;
    }

    // 7. The access checks of the document.
    bool executable = IsExecutable(*entry);
    // A PUT can turn a document into a macro document, so the upload needs
    // to know the EXEC right as well; as PUT itself, it must then be granted
    // by a line, never by a list that says nothing.
    bool askExec = executable || method == "PUT";
    if (askExec) {
        int exec = GetAccessList().CheckFresh("EXEC", request.AuthUser, request.ClientAddress, groups, &request.Scope);
        request.ExecAllowed = executable ? exec != 0 : exec == 1;
    }
    auto checkList = [&](const CAccessList& list) {
        decision.Add(list.Check(method, request.AuthUser, request.ClientAddress, groups, &request.Scope),
                     list.IsEmpty());
        if (decision.IsRefused())
            SendAuthRequired(socket, request);
        if (askExec) {
            int exec = list.Check("EXEC", request.AuthUser, request.ClientAddress, groups, &request.Scope);
            if (exec != -1)
                request.ExecAllowed = exec;
        }
    };
    if (entry->Has(CCacheEntry::InVirtualPath))
        checkList(entry->VirtualPathACL);
    checkList(entry->DocumentACL);
    if (!decision.IsGranted() || (executable && request.ExecAllowed == 0))
        SendAuthRequired(socket, request);
    if (http->traverseChecking)
        CheckTraverse(socket, request);

    // 8. Routing. A directory is listed for the reading methods only: a PUT
    // to it must fail, not look like a stored upload.
    bool reading = method == "GET" || method == "HEAD" || method == "POST";
    if (entry->Has(CCacheEntry::Directory) && reading) {
        std::string page = ExpandRequestPage(*this, socket, request, "%http-dir%", kDirectoryPageCapacity);
        SendErrorReply(socket, 200, page, request.KeepAlive.empty() ? nullptr : "Connection: Keep-alive\r\n",
                       hasProtocol, method == "GET");
        request.Status = 200;
        return;
    }
    if (entry->Has(CCacheEntry::Program)) {
        // A program entry holds no file to send, so one that may not run is
        // not there at all: its source is never served.
        if (entry->CGIMapping.ExecCGI == 0 && request.Query == nullptr && method != "POST")
            ThrowRequestPage(*this, socket, request, 404, "%http-badurl%");
        request.KeepAlive.clear();
        std::uint32_t protocol = entry->CGIMapping.CGIProtocol;
        if (protocol == kCGIProtocolWinCGI)
            WinCGIScript(socket, request, hasProtocol, method != "HEAD");
        else if (protocol == kCGIProtocolISAPI)
            ISAPIScript(socket, request, hasProtocol, method != "HEAD");
        else
            CGIScript(socket, request, hasProtocol, method != "HEAD");
        return;
    }
    if (entry->Has(CCacheEntry::MapFile) && method == "GET") {
        request.KeepAlive.clear();
        ClickableMap(socket, request, hasProtocol, true);
        return;
    }
    if (reading && request.FileHandle == -1) {
        // The file went away or cannot be opened again since it was loaded.
        ThrowRequestPage(*this, socket, request, 404, "%http-badurl%");
    }
    if (method == "GET" || method == "POST") {
        SendFile(socket, request, hasProtocol, true);
        return;
    }
    if (method == "HEAD") {
        SendFile(socket, request, true, false);
        return;
    }
    if (method == "PUT") {
        HandlePut(socket, request);
        return;
    }
    ThrowRequestPage(*this, socket, request, 405, "%http-badcommand%");
}

void CHTTPServer::SendAuthRequired(WSocket& socket, CHTTPRequest& request)
{
    std::string page = ExpandRequestPage(*this, socket, request, "%http-noauth%");
    std::shared_ptr<const CServiceSettings> settings = GetSettings();
    std::string host;
    GetLocalHostName(host, socket, settings->useDNS != 0);
    std::string description = GetHTTPSettings()->description;
    std::string header = "WWW-Authenticate: Basic realm=\"" + description + " (" + host + ":" +
                         std::to_string(settings->port) + ")\"\r\n";
    throw CHTTPException(401, std::move(page), std::move(header));
}

void CHTTPServer::CheckProgramAccess(WSocket& socket, CHTTPRequest& request, const std::string& path)
{
    CAccessList list;
    list.LoadFile(path);
    CGroupMap* groups = &GetGroups();
    if (!list.IsAllowed(request.Method, request.AuthUser, request.ClientAddress, groups, &request.Scope))
        SendAuthRequired(socket, request);
    int exec = list.Check("EXEC", request.AuthUser, request.ClientAddress, groups, &request.Scope);
    if ((exec == -1 ? request.ExecAllowed : exec) == 0)
        SendAuthRequired(socket, request);
}

void CHTTPServer::CheckTraverse(WSocket& socket, CHTTPRequest& request)
{
    const CCacheEntry* entry = request.Document;
    if (entry == nullptr)
        return;
    const std::string& path = entry->FilePath;
    for (std::size_t i = static_cast<std::size_t>(entry->RootLength); i < path.size(); ++i) {
        if (path[i] != '/' && path[i] != '\\')
            continue;
        CAccessList list;
        list.LoadFile(path.substr(0, i + 1));
        if (!list.IsAllowed("TRAVERSE", request.AuthUser, request.ClientAddress, &GetGroups(), &request.Scope))
            SendAuthRequired(socket, request);
    }
}
