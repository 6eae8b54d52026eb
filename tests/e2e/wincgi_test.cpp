// WinCGI programs through a real server: a Python program that reads its
// profile with configparser and its form files, the reply forms a program
// may write into its output file, the refusals, and the time-out kill.
// Every request must leave the temp directory as it found it.

#include "e2e_server.h"

#include "http/form.h"

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <thread>

using namespace e2e;

namespace {

class WinCGITest : public E2ETest {
protected:
    void SetUp() override
    {
        E2ETest::SetUp();
        m_temp = m_dir / "tmp";
        std::filesystem::create_directories(m_temp);
        const char* temp = std::getenv("TEMP");
        m_oldTemp = temp ? std::optional<std::string>(temp) : std::nullopt;
        ::setenv("TEMP", m_temp.c_str(), 1);
    }
    void TearDown() override
    {
        E2ETest::TearDown();
        if (m_oldTemp)
            ::setenv("TEMP", m_oldTemp->c_str(), 1);
        else
            ::unsetenv("TEMP");
    }
    void Map(const std::string& extension, const std::string& commandLine)
    {
        platform::RegistryKey key = Key("HTTP\\CGIExt\\" + extension);
        key.SetString("CommandLine", commandLine);
        key.SetString("WorkingDir", "");
        key.SetDword("ExecCGI", 1);
        key.SetDword("CGIProtocol", 1);
    }
    void Script(const std::string& name, const std::string& text)
    {
        WriteFile(m_root + "/" + name, text);
        ::chmod((m_root + "/" + name).c_str(), 0755);
    }
    std::string Get(std::uint16_t port, const std::string& path, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-i"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(URL(port, path));
        return Curl(args).output;
    }
    // Whatever the requests made in the temp directory is gone. A reply
    // without a body (HEAD) reaches curl before the request's end removes
    // the files, so allow the server a moment.
    void ExpectTempEmpty()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::is_empty(m_temp) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& entry : std::filesystem::directory_iterator(m_temp))
            ADD_FAILURE() << "left behind: " << entry.path();
    }

    std::string m_temp;
    std::optional<std::string> m_oldTemp;
};

// Lists the profile as configparser reads it, then what the form files hold.
const char* kProfileLister = R"(import configparser, sys
_, profile, content, output = sys.argv[:4]
cp = configparser.ConfigParser(delimiters=('=',), interpolation=None, strict=False)
cp.optionxform = str
cp.read(profile)
lines = ['[%s] %s=%s' % (s, k, v) for s in cp.sections() for k, v in cp[s].items()]
if cp.has_section('Form External'):
    for key, value in cp['Form External'].items():
        path, length = value.rsplit(' ', 1)
        data = open(path, 'rb').read()
        lines.append('external %s %d=%s %s' % (key, len(data), length, data[:12].decode('latin-1')))
if cp.has_section('Form Huge'):
    raw = open(content, 'rb').read()
    for key, value in cp['Form Huge'].items():
        offset, length = map(int, value.split())
        piece = raw[offset:offset + length]
        lines.append('huge %s %d %s' % (key, piece.count(b'x'), piece[:4].decode('latin-1')))
lines.append('argv4=' + (sys.argv[4] if len(sys.argv) > 4 else '(none)'))
with open(output, 'w') as f:
    f.write('Content-type: text/plain\r\nX-Program: python\r\n\r\n' + '\n'.join(lines) + '\n')
)";

TEST_F(WinCGITest, APythonProgramReadsItsProfileAndFormFiles)
{
    if (!HaveTool("/usr/bin/python3"))
        GTEST_SKIP() << "python3 is not installed";
    std::uint16_t port = FreePort();
    platform::RegistryKey server = Key(AddServer(port));
    server.SetString("Administrator", "admin@example.invalid");
    Map("py", "/usr/bin/python3 %cgi-script%");
    Script("list.py", kProfileLister);
    // Two hours east of UTC: the offset is what to add to UTC.
    const char* oldZone = std::getenv("TZ");
    std::string savedZone = oldZone ? oldZone : "";
    ::setenv("TZ", "XST-2", 1);
    ::tzset();
    StartServers();

    struct Row {
        const char* what;
        std::string path;
        std::vector<std::string> curl;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::string body = "a=1&a=2&b=&q=%22x%22&long=" + std::string(300, 'y') + "&huge=" + std::string(70000, 'x') +
                             "&&after=1";
    WriteFile(m_dir / "form.txt", body);
    const Row rows[] = {
        {"a GET with a plain query",
         "/list.py/more?two+words",
         {"-H", "Accept: text/x-one", "-H", "X-Custom: v1", "-H", "Referer: http://r.invalid/"},
         {"HTTP/1.0 200 OK\r\n", "X-Program: python\r\n", "Server: Velmora/1.51 (Linux; x86_64; A)\r\n\r\n[CGI]",
          "[CGI] Request Protocol=HTTP/1.1\n", "[CGI] Request Method=GET\n", "[CGI] Executable Path=/list.py/more\n",
          "[CGI] Logical Path=/more\n", "[CGI] Physical Path=" + m_root + "/more\n", "[CGI] Query String=two+words\n",
          "[CGI] Referer=http://r.invalid/\n", "[CGI] Server Software=Velmora/1.51 (Linux; x86_64; A)\n",
          "[CGI] Server Port=" + std::to_string(port) + "\n", "[CGI] Server Admin=admin@example.invalid\n",
          "[CGI] CGI Version=CGI/1.2 (Win)\n", "[CGI] Security=None\n", "[CGI] Remote Address=127.0.0.1\n",
          "[CGI] Authentication Realm=E2E site (", "[System] GMT Offset=7200\n", "[System] Debug Mode=No\n",
          "[System] Content File=" + m_temp + "/CGI", "[System] Output File=" + m_temp + "/CGI",
          "[Accept] text/x-one=Yes\n", "[Extra Headers] X-Custom=v1\n", "argv4=two words\n"},
         {"[CGI] Content Length", "[CGI] Content Type", "[Extra Headers] Accept", "[Form"}},
        {"a GET with a form query",
         "/list.py?k=v+w",
         {"-H", "Accept: text/x-two second"},
         {"[CGI] Query String=\n", "argv4=k=v w\n", "[Accept] text/x-two=second\n"},
         {}},
        {"a POSTed form",
         "/list.py",
         {"--data-binary", "@" + std::string(m_dir / "form.txt")},
         {"[CGI] Request Method=POST\n", "[CGI] Content Type=application/x-www-form-urlencoded\n",
          "[CGI] Content Length=" + std::to_string(body.size()) + "\n", "[Form Literal] a=1\n", "[Form Literal] a_1=2\n",
          "[Form Literal] b=\n", "external q 3=3 \"x\"\n", "external long 300=300 yyyyyyyyyyyy\n",
          "huge huge 70000 xxxx\n", "argv4=(none)\n"},
         {"after", "[Form Literal] q", "[Form External] huge"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string reply = Get(port, row.path, row.curl);
        for (const std::string& text : row.present)
            EXPECT_NE(reply.find(text), std::string::npos) << text << "\n" << reply.substr(0, 3000);
        for (const std::string& text : row.absent)
            EXPECT_EQ(reply.find(text), std::string::npos) << text << "\n" << reply.substr(0, 3000);
    }
    if (oldZone)
        ::setenv("TZ", savedZone.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    ExpectTempEmpty();
}

TEST_F(WinCGITest, TheReplyFormsAProgramMayWrite)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("wsh", "");
    const std::string server = "Server: Velmora/1.51 (Linux; x86_64; A)\r\n";
    struct Row {
        const char* name;
        const char* output; // printf format, written to the output file
        std::string reply;  // the whole reply, or its start for a 500 or 302
        bool exact;
    };
    const Row rows[] = {
        // Nothing written: an empty reply, with no stray line end after it.
        {"empty.wsh", "", "HTTP/1.0 200 OK\r\n" + server + "\r\n", true},
        {"plain.wsh", "Content-type: text/plain\\n\\nbody\\n",
         "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n" + server + "\r\nbody\n", true},
        {"status.wsh", "Status: 404 Gone\\r\\nX-A: 1\\r\\n\\r\\nmissing",
         "HTTP/1.0 404 Gone\r\nX-A: 1\r\n" + server + "\r\nmissing", true},
        {"raw.wsh", "HTTP/1.0 203 Mine\\nX-Own: 1\\n\\nraw body", "HTTP/1.0 203 Mine\nX-Own: 1\n\nraw body", true},
        {"location.wsh", "Location: http://example.invalid/next\\n\\nignored", "HTTP/1.0 302", false},
        {"garbage.wsh", "no header here\\n\\nbody", "HTTP/1.0 500", false},
    };
    for (const Row& row : rows)
        Script(row.name, std::string("#!/bin/sh\nprintf '") + row.output + "' > \"$3\"\n");
    Script("noexec.wsh", "#!/no/such/interpreter\n");
    StartServers();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string reply = Get(port, std::string("/") + row.name);
        if (row.exact)
            EXPECT_EQ(reply, row.reply);
        else
            EXPECT_EQ(reply.rfind(row.reply, 0), 0u) << reply;
    }
    std::string redirect = Get(port, "/location.wsh");
    EXPECT_NE(redirect.find("Location: http://example.invalid/next\r\n"), std::string::npos) << redirect;
    EXPECT_EQ(redirect.find("ignored"), std::string::npos) << redirect;
    EXPECT_EQ(Get(port, "/noexec.wsh").rfind("HTTP/1.0 500", 0), 0u);
    std::string head = Curl({"-I", URL(port, "/plain.wsh")}).output;
    EXPECT_EQ(head, "HTTP/1.0 200 OK\r\nContent-type: text/plain\r\n" + server + "\r\n") << "no body for HEAD";
    ExpectTempEmpty();
}

TEST_F(WinCGITest, RefusedFormsNeverReachTheProgram)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    Map("wsh", "");
    const std::string ran = m_dir / "ran";
    Script("form.wsh", "#!/bin/sh\ntouch " + ran + "\nprintf 'Content-type: text/plain\\n\\nran' > \"$3\"\n");
    SetMaxFormBodyBytes(1000);
    StartServers();
    WriteFile(m_dir / "big.txt", "a=" + std::string(2000, 'b'));
    WriteFile(m_dir / "crlf.txt", "ok=1&bad\r\nname=2");
    struct Row {
        const char* what;
        std::string file;
        std::string status;
    };
    const Row rows[] = {
        {"a body over the form limit", m_dir / "big.txt", "413"},
        {"a field name holding CR LF", m_dir / "crlf.txt", "400"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RunResult reply = Curl({"-o", "/dev/null", "-w", "%{http_code}", "--data-binary", "@" + row.file,
                                URL(port, "/form.wsh")});
        EXPECT_EQ(reply.output, row.status);
        EXPECT_FALSE(std::filesystem::exists(ran));
    }
    SetMaxFormBodyBytes(0);
    EXPECT_EQ(Curl({"-d", "ok=1", URL(port, "/form.wsh")}).output, "ran");
    ExpectTempEmpty();
}

TEST_F(WinCGITest, AProgramPastItsTimeOutIsKilled)
{
    std::uint16_t port = FreePort();
    platform::RegistryKey server = Key(AddServer(port));
    server.SetDword("CGITimeout", 1);
    Map("wsh", "");
    const std::string pidFile = m_dir / "sleeper.pid";
    Script("sleep.wsh", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 30\n");
    StartServers();
    auto started = std::chrono::steady_clock::now();
    RunResult reply = Curl({"-o", "/dev/null", "-w", "%{http_code}", URL(port, "/sleep.wsh")});
    EXPECT_EQ(reply.output, "500");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    std::string pid = ReadFile(pidFile);
    pid.erase(pid.find_last_not_of('\n') + 1);
    ASSERT_FALSE(pid.empty());
    EXPECT_NE(::access(("/proc/" + pid).c_str(), F_OK), 0) << "killed and reaped";
    ExpectTempEmpty();
}

} // namespace
