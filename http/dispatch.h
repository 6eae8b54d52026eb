#pragma once
// The pieces of request dispatch that other handlers share: the error pages
// (named strings expanded in the request's scope after its macros are
// registered), the Basic credentials, and the access decision of one method
// over the lists a document lies under. ProcessRequest, SendAuthRequired and
// CheckTraverse are CHTTPServer members (http_server.h).

#include <string>
#include <string_view>

class CHTTPServer;
class WSocket;
struct CHTTPRequest;

// Error and status pages are short; a page's buffer starts this large.
inline constexpr int kPageCapacity = 512;
// A directory listing has a line per file.
inline constexpr int kDirectoryPageCapacity = 32768;

// Registers the request macros (once per request) and expands text, such
// as "%http-badurl%", in the request's scope.
std::string ExpandRequestPage(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, std::string_view text,
                              int capacity = kPageCapacity);
// Throws CHTTPException(status, that page).
[[noreturn]] void ThrowRequestPage(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, int status,
                                   std::string_view text);

// Splits decoded Basic credentials at the first ':': the user name before
// it, the password (colons included) after it. Without a ':' the whole
// text is the user name and the password is empty.
void SplitBasicCredentials(std::string_view decoded, std::string& user, std::string& password);

// How one method fares under the access lists of a request, gathered list
// by list: any list that rejects refuses it. GET, HEAD and POST are granted
// when no list decided and an undecided list was empty; PUT writes files,
// so it is granted only when some line grants it explicitly.
class CAccessDecision {
public:
    explicit CAccessDecision(std::string_view method) : m_explicitOnly(method == "PUT") {}
    // verdict: 1 allow, 0 reject, -1 no line decided; empty: the list has no lines.
    void Add(int verdict, bool empty);
    bool IsRefused() const { return m_refused; }
    // After every list was added.
    bool IsGranted() const;

private:
    bool m_explicitOnly;
    bool m_refused = false;
    bool m_granted = false;
};
