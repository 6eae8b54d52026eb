// The same shell, Python and Perl programs under this server and under
// lighttpd's mod_cgi: every variable the two servers give them is compared,
// and each one that differs must be a difference the server means to have.

#include "e2e_server.h"

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

using namespace e2e;

namespace {

extern "C" char** environ;

// Differences by design: the product and interface texts, our own extra
// variables, lighttpd's extra ones, the ports, SCRIPT_NAME holding the whole
// URL path, HTTP_ACCEPT led by the two types every client takes, and
// CONTENT_LENGTH always given. Python sets LC_CTYPE itself when the
// environment names no locale, as lighttpd's clean one does not.
const std::set<std::string> kExplained = {
    "SERVER_SOFTWARE", "GATEWAY_INTERFACE", "SERVER_PORT", "HTTP_HOST", "SCRIPT_NAME", "HTTP_ACCEPT",
    "CONTENT_LENGTH", "CONTENT_TYPE", "HTTP_SECURITY", "AUTH_PASS", "AUTH_TYPE", "AUTH_USER", "HTTP_USER",
    "REMOTE_USER", "SERVER_NAME", "REQUEST_URI", "REDIRECT_STATUS", "DOCUMENT_ROOT", "REMOTE_PORT", "SERVER_ADDR",
    "REQUEST_SCHEME", "PWD", "SHLVL", "_", "HTTP_CONNECTION", "LC_CTYPE"};

class CGICompareTest : public E2ETest {};

std::map<std::string, std::string> Variables(const std::string& text)
{
    std::map<std::string, std::string> variables;
    std::size_t body = text.find("\r\n\r\n");
    std::istringstream lines(body == std::string::npos ? text : text.substr(body + 4));
    for (std::string line; std::getline(lines, line);) {
        std::size_t equals = line.find('=');
        if (equals != std::string::npos && equals > 0)
            variables[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return variables;
}

TEST_F(CGICompareTest, TheEnvironmentMatchesLighttpdExceptWhereExplained)
{
    if (!HaveTool("/usr/sbin/lighttpd"))
        GTEST_SKIP() << "lighttpd is not installed";
    std::uint16_t port = FreePort();
    AddServer(port);
    for (const auto& [extension, command] : std::vector<std::pair<std::string, std::string>>{
             {"sh", ""}, {"py", "/usr/bin/python3 %cgi-script%"}, {"pl", "/usr/bin/perl %cgi-script%"}}) {
        platform::RegistryKey key = Key("HTTP\\CGIExt\\" + extension);
        key.SetString("CommandLine", command);
        key.SetDword("ExecCGI", 1);
        key.SetDword("CGIProtocol", 0);
    }
    const std::map<std::string, std::string> scripts = {
        {"env.sh", "#!/bin/sh\nprintf 'Content-type: text/plain\\n\\n'\nenv\n"},
        {"env.py", "import os\nprint('Content-type: text/plain')\nprint()\n"
                   "for k in os.environ: print(k + '=' + os.environ[k])\n"},
        {"env.pl", "use CGI;\nmy $q = CGI->new;\nprint $q->header('text/plain');\n"
                   "print \"$_=$ENV{$_}\\n\" for keys %ENV;\n"},
    };
    for (const auto& [name, text] : scripts) {
        WriteFile(m_root + "/" + name, text);
        ::chmod((m_root + "/" + name).c_str(), 0755);
    }
    std::uint16_t peerPort = FreePort();
    std::string config = m_dir / "lighttpd.conf";
    WriteFile(config, "server.document-root = \"" + m_root + "\"\n"
                      "server.port = " + std::to_string(peerPort) + "\n"
                      "server.bind = \"127.0.0.1\"\n"
                      "server.modules = (\"mod_cgi\")\n"
                      "server.errorlog = \"" + std::string(m_dir / "lighttpd.err") + "\"\n"
                      "cgi.assign = (\".sh\" => \"\", \".py\" => \"/usr/bin/python3\", \".pl\" => \"/usr/bin/perl\")\n");
    StartServers();

    pid_t peer = -1;
    std::vector<char*> argv = {const_cast<char*>("/usr/sbin/lighttpd"), const_cast<char*>("-D"),
                               const_cast<char*>("-f"), config.data(), nullptr};
    ASSERT_EQ(posix_spawn(&peer, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    struct Reaper {
        pid_t pid;
        ~Reaper()
        {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{peer};
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        up = Curl({"-o", "/dev/null", "-w", "%{http_code}", URL(peerPort, "/")}).output != "000";
        if (!up)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(up) << ReadFile(m_dir / "lighttpd.err");

    std::set<std::string> ownEnvironment;
    for (char** entry = environ; *entry; ++entry)
        ownEnvironment.insert(std::string(*entry).substr(0, std::string(*entry).find('=')));
    for (const auto& [name, text] : scripts) {
        SCOPED_TRACE(name);
        std::vector<std::string> request = {"-i", "-H", "User-Agent: compare/1", "-H", "X-Custom: same",
                                            "-H", "Accept: text/x-one"};
        auto fetch = [&](std::uint16_t p) {
            std::vector<std::string> args = request;
            args.push_back(URL(p, "/" + name + "/extra/info?w=1+2"));
            return Variables(Curl(args).output);
        };
        std::map<std::string, std::string> ours = fetch(port);
        std::map<std::string, std::string> theirs = fetch(peerPort);
        ASSERT_FALSE(ours.empty());
        ASSERT_FALSE(theirs.empty());
        std::set<std::string> names;
        for (const auto& entry : ours)
            names.insert(entry.first);
        for (const auto& entry : theirs)
            names.insert(entry.first);
        int compared = 0;
        for (const std::string& variable : names) {
            if (ownEnvironment.count(variable) && !theirs.count(variable))
                continue; // inherited from the server process
            auto a = ours.find(variable);
            auto b = theirs.find(variable);
            bool same = a != ours.end() && b != theirs.end() && a->second == b->second;
            if (same)
                ++compared;
            else
                EXPECT_TRUE(kExplained.count(variable))
                    << variable << ": ours '" << (a == ours.end() ? "(none)" : a->second) << "', lighttpd's '"
                    << (b == theirs.end() ? "(none)" : b->second) << "'";
        }
        EXPECT_GE(compared, 8) << "the variables both give alike";
        // The explained ones, checked for what they are.
        EXPECT_EQ(ours["SCRIPT_NAME"], theirs["SCRIPT_NAME"] + theirs["PATH_INFO"]);
        EXPECT_EQ(ours["HTTP_ACCEPT"], "text/plain,text/html," + theirs["HTTP_ACCEPT"]);
        EXPECT_EQ(ours["GATEWAY_INTERFACE"], "CGI/1.2");
        EXPECT_EQ(theirs["GATEWAY_INTERFACE"], "CGI/1.1");
    }
}

} // namespace
