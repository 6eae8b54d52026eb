#pragma once
// The CGI side of CHTTPServer: the environment a program gets. The runner
// itself is CHTTPServer::CGIScript (cgi_script.cpp).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CHTTPServer;
class WSocket;
struct CHTTPRequest;

// A header name as a CGI variable: upper case, every '-' turned into '_'.
std::string MakeCGIVariableName(std::string_view name);

// The variables of one program, in the order first set; setting a name that
// is there replaces its value (names compare exactly).
class CCGIEnvironment {
public:
    void Set(std::string_view name, std::string_view value);
    // Null when absent.
    const std::string* Find(std::string_view name) const;
    // "NAME=value" texts, in order.
    std::vector<std::string> Block() const;

private:
    std::vector<std::pair<std::string, std::string>> m_entries;
};

// A program's arguments: the given ones when the mapping has no command
// line; otherwise the mapping's words expanded one by one in the request's
// scope, so a value a macro gives (the decoded query) stays within its word.
// A word that is exactly "%cgi-script%" stands for all the given arguments.
std::vector<std::string> CGICommandLine(CHTTPRequest& request, const std::vector<std::string>& arguments,
                                        const std::string& mapping);

// The http-cgierror page with status 500: the program could not be run, or
// gave no reply the server could pass on. With 200 the failure would be
// stored and shown as the program's reply. CGI and WinCGI both answer here.
void SendCGIErrorPage(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody);
