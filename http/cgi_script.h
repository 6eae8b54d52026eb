#pragma once
// The CGI side of CHTTPServer: the environment a program gets. The runner
// itself is CHTTPServer::CGIScript (cgi_script.cpp).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
