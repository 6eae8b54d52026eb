// velmora-reg run as a program, against a hive in a temporary directory.

#include "platform/registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ToolPath()
{
    if (const char* path = std::getenv("VELMORA_REG"))
        return path;
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    std::filesystem::path dir = bin ? std::filesystem::path(bin)
                                    : std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
    return (dir / "tools" / "velmora-reg").string();
}

// Runs the tool with input on its standard input; kills it after 30 s.
ToolRun RunTool(const std::vector<std::string>& args, const std::string& input = {})
{
    constexpr int kTimeoutMs = 30000;
    ToolRun run;
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) || ::pipe(err))
        return run;
    std::string program = ToolPath();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            ::close(fd);
        std::vector<char*> argv;
        argv.push_back(program.data());
        std::vector<std::string> copies(args);
        for (std::string& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    if (input.empty()) {
        ::close(in[1]);
        in[1] = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    bool outOpen = true, errOpen = true;
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        if (!outOpen)
            fds[0].fd = -1;
        if (!errOpen)
            fds[1].fd = -1;
        if (::poll(fds, 3, 100) < 0)
            break;
        char buffer[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0)
                    (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(got));
                else
                    (i == 0 ? outOpen : errOpen) = false;
            }
        }
        if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = ::write(in[1], input.data() + written, input.size() - written);
            if (put > 0)
                written += static_cast<std::size_t>(put);
            if (put <= 0 || written == input.size()) {
                ::close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0)
        ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    if (outOpen || errOpen)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class VelmoraRegTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-reg-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
        CloseRegistryDatabase();
        ::setenv("VELMORA_REGISTRY", (m_directory / "hive.db").c_str(), 1);
        ASSERT_TRUE(std::filesystem::exists(ToolPath())) << ToolPath();
        // A hive the tool had to make is named, once: a missing or mistyped
        // VELMORA_REGISTRY must not pass for a write to the hive meant.
        ToolRun created = RunTool({"query", "HKLM"});
        ASSERT_EQ(created.err, "velmora-reg: created the hive " + File("hive.db") + "\n");
        ASSERT_EQ(RunTool({"query", "HKLM"}).err, "");
    }
    void TearDown() override
    {
        CloseRegistryDatabase();
        ::unsetenv("VELMORA_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
    std::string File(const std::string& name) const { return (m_directory / name).string(); }

    std::filesystem::path m_directory;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void Ok(const ToolRun& run)
{
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
}

} // namespace

TEST_F(VelmoraRegTest, SetAndQueryEveryType)
{
    // Beside the product key, whose names are checked below.
    const std::string key = "HKLM\\Software\\Tessaline\\Sample";
    Ok(RunTool({"--no-stamp", "set", key, "Name", "REG_SZ", "C:\\web \"root\""}));
    Ok(RunTool({"--no-stamp", "set", key, "@", "REG_SZ", "default"}));
    Ok(RunTool({"--no-stamp", "set", "hkey_local_machine/software/tessaline/sample", "Temp", "REG_EXPAND_SZ", "%TEMP%"}));
    Ok(RunTool({"--no-stamp", "set", key, "List", "REG_MULTI_SZ", "one", "two words"}));
    Ok(RunTool({"--no-stamp", "set", key, "Empty list", "REG_MULTI_SZ"}));
    Ok(RunTool({"--no-stamp", "set", key, "LastMod", "REG_DWORD", "0x1E"}));
    Ok(RunTool({"--no-stamp", "set", key, "Workers", "REG_DWORD", "4294967295"}));
    Ok(RunTool({"--no-stamp", "set", key, "Key", "REG_BINARY", "00ff10AB"}));
    Ok(RunTool({"--no-stamp", "set", key + "\\Sub", "", "REG_SZ", ""}));

    // What the tool wrote is what the library reads.
    RegistryKey opened;
    ASSERT_EQ(RegistryKey::LocalMachine().Open("Software\\Tessaline\\Sample", opened), kErrorSuccess);
    std::string text;
    EXPECT_EQ(opened.QueryString("name", text), kErrorSuccess);
    EXPECT_EQ(text, "C:\\web \"root\"");
    RegistryValue value;
    ASSERT_EQ(opened.QueryValue("List", value), kErrorSuccess);
    EXPECT_EQ(value.type, kRegMultiSz);
    EXPECT_EQ(std::string(value.data.begin(), value.data.end()), std::string("one\0two words\0\0", 15));
    ASSERT_EQ(opened.QueryValue("Key", value), kErrorSuccess);
    EXPECT_EQ(value.type, kRegBinary);
    EXPECT_EQ(value.data, (std::vector<std::uint8_t>{0x00, 0xFF, 0x10, 0xAB}));
    std::uint32_t number = 0;
    EXPECT_EQ(opened.QueryDword("Workers", number), kErrorSuccess);
    EXPECT_EQ(number, 0xFFFFFFFFu);

    ToolRun query = RunTool({"query", "HKLM\\software\\tessaline\\sample"});
    Ok(query);
    EXPECT_EQ(query.out, "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Sample\n"
                         "    Name    REG_SZ    C:\\web \"root\"\n"
                         "    @    REG_SZ    default\n"
                         "    Temp    REG_EXPAND_SZ    %TEMP%\n"
                         "    List    REG_MULTI_SZ    one\\0two words\n"
                         "    Empty list    REG_MULTI_SZ    \n"
                         "    LastMod    REG_DWORD    0x0000001e (30)\n"
                         "    Workers    REG_DWORD    0xffffffff (4294967295)\n"
                         "    Key    REG_BINARY    00ff10ab\n"
                         "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Sample\\Sub\n");
    ToolRun one = RunTool({"query", key, "LastMod"});
    Ok(one);
    EXPECT_EQ(one.out, "    LastMod    REG_DWORD    0x0000001e (30)\n");
    ToolRun byDefault = RunTool({"query", key, ""});
    Ok(byDefault);
    EXPECT_EQ(byDefault.out, "    @    REG_SZ    default\n");

    Ok(RunTool({"set", "HKCU\\Software\\X", "v", "REG_DWORD", "7"}));
    Ok(RunTool({"set", "HKU\\S-1\\X", "v", "REG_DWORD", "8"}));
    EXPECT_EQ(RunTool({"query", "HKEY_CURRENT_USER\\Software\\X", "v"}).out, "    v    REG_DWORD    0x00000007 (7)\n");
    EXPECT_EQ(RunTool({"query", "HKEY_USERS\\S-1\\X", "v"}).out, "    v    REG_DWORD    0x00000008 (8)\n");
    EXPECT_EQ(RunTool({"query", "HKLM\\Software\\X"}).exitCode, 1);
}

TEST_F(VelmoraRegTest, DeleteValuesAndKeys)
{
    Ok(RunTool({"set", "HKLM\\Software\\Del\\A\\B", "x", "REG_SZ", "1"}));
    Ok(RunTool({"set", "HKLM\\Software\\Del", "y", "REG_SZ", "2"}));
    Ok(RunTool({"set", "HKLM\\Software\\Del", "@", "REG_SZ", "3"}));
    Ok(RunTool({"delete", "HKLM\\Software\\Del", "Y"}));
    Ok(RunTool({"delete", "HKLM\\Software\\Del", "@"}));
    ToolRun missing = RunTool({"delete", "HKLM\\Software\\Del", "y"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("not found"), std::string::npos) << missing.err;
    // Deleting a key takes its subtree.
    Ok(RunTool({"delete", "HKLM\\Software\\Del"}));
    RegistryKey key;
    EXPECT_EQ(RegistryKey::LocalMachine().Open("Software\\Del", key), kErrorFileNotFound);
    EXPECT_EQ(RunTool({"delete", "HKLM\\Software\\Del"}).exitCode, 1);
    ToolRun root = RunTool({"delete", "HKLM"});
    EXPECT_EQ(root.exitCode, 1);
    EXPECT_NE(root.err.find("root"), std::string::npos);
}

TEST_F(VelmoraRegTest, ExportAndImportThroughFilesAndPipes)
{
    Ok(RunTool({"--no-stamp", "set", "HKLM\\Software\\Tessaline\\Velmora\\HTTPProxy", "Port", "REG_DWORD", "80"}));
    Ok(RunTool({"--no-stamp", "set", "HKLM\\Software\\Tessaline\\Velmora\\HTTPProxy", "PrivKey", "REG_BINARY", std::string(300, 'a')}));
    ToolRun toStdout = RunTool({"export", "HKLM\\Software\\Tessaline", "-"});
    Ok(toStdout);
    ASSERT_EQ(toStdout.out.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaline]\n", 0), 0u) << toStdout.out;
    EXPECT_NE(toStdout.out.find("\"Port\"=dword:00000050\n"), std::string::npos);

    const std::string file = File("export.reg");
    Ok(RunTool({"export", "HKLM\\Software\\Tessaline", file}));
    EXPECT_EQ(ReadFile(file), toStdout.out);
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // an export may hold passwords
    Ok(RunTool({"export", "HKLM\\Software\\Tessaline", file})); // replaces it
    EXPECT_EQ(ReadFile(file), toStdout.out);

    CloseRegistryDatabase();
    ::setenv("VELMORA_REGISTRY", File("second.db").c_str(), 1);
    ToolRun imported = RunTool({"--no-stamp", "import", file});
    EXPECT_EQ(imported.exitCode, 0);
    EXPECT_EQ(imported.err, "velmora-reg: created the hive " + File("second.db") + "\n");
    EXPECT_EQ(RunTool({"export", "HKLM\\Software\\Tessaline", "-"}).out, toStdout.out);

    ::setenv("VELMORA_REGISTRY", File("third.db").c_str(), 1);
    EXPECT_EQ(RunTool({"--no-stamp", "import", "-"}, toStdout.out).exitCode, 0);
    EXPECT_EQ(RunTool({"export", "HKLM\\Software\\Tessaline", "-"}).out, toStdout.out);
    EXPECT_EQ(RunTool({"export", "HKLM\\Software\\Missing", "-"}).exitCode, 1);
}

TEST_F(VelmoraRegTest, ImportErrorsGiveTheLineAndImportNothing)
{
    Ok(RunTool({"set", "HKLM\\Software\\Before", "v", "REG_SZ", "kept"}));
    const std::string file = File("bad.reg");
    std::ofstream(file) << "REGEDIT4\n\n[HKLM\\Software\\Before]\n\"v\"=\"changed\"\n[HKLM\\Software\\New]\n"
                           "\"n\"=dword:nothex\n";
    ToolRun run = RunTool({"import", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(file + ":6:"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("nothing was imported"), std::string::npos) << run.err;
    EXPECT_EQ(RunTool({"query", "HKLM\\Software\\Before", "v"}).out, "    v    REG_SZ    kept\n");
    EXPECT_EQ(RunTool({"query", "HKLM\\Software\\New"}).exitCode, 1);

    ToolRun piped = RunTool({"import", "-"}, "REGEDIT4\r\n\r\n\"orphan\"=\"1\"\r\n");
    EXPECT_EQ(piped.exitCode, 1);
    EXPECT_NE(piped.err.find("standard input:3:"), std::string::npos) << piped.err;
    EXPECT_EQ(RunTool({"import", File("absent.reg")}).exitCode, 1);
}

TEST_F(VelmoraRegTest, ControlCharactersAreShownEscapedLeftOutOfExportsAndRefusedByImport)
{
    // Names and texts as a page's client could once store them.
    {
        RegistryKey key;
        ASSERT_EQ(RegistryKey::LocalMachine().Create("Software\\Tessaline\\Velmora\\Counters", key), kErrorSuccess);
        ASSERT_EQ(key.SetDword("x\r\ny", 1), kErrorSuccess);
        ASSERT_EQ(key.SetDword("hits", 2), kErrorSuccess);
        ASSERT_EQ(key.SetString("e\x1b[2J", "t\x1b]0;owned\x07"), kErrorSuccess);
        RegistryKey child;
        ASSERT_EQ(key.Create("k\x1b[31m", child), kErrorSuccess);
    }
    ToolRun query = RunTool({"query", "HKLM\\Software\\Tessaline\\Velmora\\Counters"});
    Ok(query);
    EXPECT_EQ(query.out, "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\Counters\n"
                         "    x\\x0d\\x0ay    REG_DWORD    0x00000001 (1)\n"
                         "    hits    REG_DWORD    0x00000002 (2)\n"
                         "    e\\x1b[2J    REG_SZ    t\\x1b]0;owned\\x07\n"
                         "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\Counters\\k\\x1b[31m\n");

    // The export writes all it can, names the rest, and says it is not whole.
    const std::string file = File("product.reg");
    ToolRun exported = RunTool({"export", "HKLM\\Software\\Tessaline\\Velmora", file});
    EXPECT_EQ(exported.exitCode, 1);
    for (const char* named : {"\"x\\x0d\\x0ay\"", "\"e\\x1b[2J\"", "Counters\\k\\x1b[31m with its subkeys"})
        EXPECT_NE(exported.err.find(named), std::string::npos) << named << " in " << exported.err;
    EXPECT_EQ(exported.err.find('\x1b'), std::string::npos);
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("\"hits\"=dword:00000002\n"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of("\r\x1b"), std::string::npos) << text;

    CloseRegistryDatabase();
    ::setenv("VELMORA_REGISTRY", File("second.db").c_str(), 1);
    EXPECT_EQ(RunTool({"--no-stamp", "import", file}).exitCode, 0) << "what was written reads back";
    std::ofstream(File("odd.reg")) << "REGEDIT4\n\n[HKLM\\Software\\Fine]\n\"a\"=\"1\"\n\"b\x1b[2J\"=\"2\"\n";
    ToolRun imported = RunTool({"import", File("odd.reg")});
    EXPECT_EQ(imported.exitCode, 1);
    EXPECT_NE(imported.err.find(File("odd.reg") + ":5: the value name \"b\\x1b[2J\" holds a control character"),
              std::string::npos)
        << imported.err;
    EXPECT_EQ(RunTool({"query", "HKLM\\Software\\Fine"}).exitCode, 1);
}

TEST_F(VelmoraRegTest, BadCommandLinesAreRefusedClearly)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message; // a part of the error text
    };
    const std::vector<Case> cases = {
        {{}, 2, "Usage: velmora-reg"},
        {{"frobnicate"}, 2, "Usage: velmora-reg"},
        {{"query"}, 2, "Usage: velmora-reg"},
        {{"query", "HKLM\\a", "b", "c"}, 2, "Usage: velmora-reg"},
        {{"set", "HKLM\\a", "v"}, 2, "Usage: velmora-reg"},
        {{"export", "HKLM\\a"}, 2, "Usage: velmora-reg"},
        {{"import"}, 2, "Usage: velmora-reg"},
        {{"query", "HKEY_CLASSES_ROOT\\x"}, 1, "unknown root key"},
        {{"set", "Software\\x", "v", "REG_SZ", "t"}, 1, "unknown root key"},
        {{"set", "HKLM\\x", "v", "REG_QWORD", "1"}, 1, "unknown value type"},
        {{"set", "HKLM\\x", "v", "REG_SZ", "a", "b"}, 1, "exactly one DATA"},
        {{"set", "HKLM\\x", "v", "REG_DWORD"}, 1, "exactly one DATA"},
        {{"set", "HKLM\\x", "v", "REG_DWORD", "4294967296"}, 1, "not a 32-bit number"},
        {{"set", "HKLM\\x", "v", "REG_DWORD", "-1"}, 1, "\"-1\" is negative"},
        {{"set", "HKLM\\x", "v", "REG_DWORD", "0x"}, 1, "not a 32-bit number"},
        {{"set", "HKLM\\x", "v", "REG_DWORD", "12ab"}, 1, "not a 32-bit number"},
        {{"set", "HKLM\\x", "v", "REG_BINARY", "abc"}, 1, "not hex data"},
        {{"set", "HKLM\\x", "v", "REG_BINARY", "zz"}, 1, "not hex data"},
        {{"set", "HKLM\\x", "v", "REG_MULTI_SZ", "a", ""}, 1, "cannot be empty"},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool(c.args);
        std::string shown;
        for (const std::string& arg : c.args)
            shown += arg + " ";
        EXPECT_EQ(run.exitCode, c.exitCode) << shown;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << shown << ": " << run.err;
        EXPECT_EQ(run.out, "") << shown;
    }
    // None of the refused sets created the key.
    RegistryKey key;
    EXPECT_EQ(RegistryKey::LocalMachine().Open("x", key), kErrorFileNotFound);
}

namespace {

// The product key's LastMod, or -1 when it has none.
long long Stamp()
{
    ToolRun run = RunTool({"query", "HKLM\\Software\\Tessaline\\Velmora", "LastMod"});
    std::size_t open = run.out.find('(');
    return run.exitCode == 0 && open != std::string::npos ? std::stoll(run.out.substr(open + 1)) : -1;
}

} // namespace

TEST_F(VelmoraRegTest, ChangesToTheProductKeyWriteItsStamp)
{
    const std::string product = "HKLM\\Software\\Tessaline\\Velmora";
    std::ofstream(File("product.reg")) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\HTTP]\n\"x\"=\"1\"\n";
    std::ofstream(File("other.reg")) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora001]\n\"x\"=\"1\"\n";
    struct Case {
        std::vector<std::string> args;
        bool stamps;
    };
    const Case cases[] = {
        {{"set", product + "\\HTTP", "Workers", "REG_DWORD", "2"}, true},
        {{"set", "hklm/software/tessaline/velmora", "Workers", "REG_DWORD", "3"}, true},
        {{"set", product + "\\HTTP", "Workers", "REG_DWORD", "4"}, true}, // twice in one second still differs
        {{"--no-stamp", "set", product + "\\HTTP", "Workers", "REG_DWORD", "5"}, false},
        {{"set", product + "001", "Workers", "REG_DWORD", "1"}, false}, // a backup copy, not the product
        {{"set", "HKCU\\Software\\Tessaline\\Velmora", "Workers", "REG_DWORD", "1"}, false},
        {{"delete", product + "\\HTTP", "Workers"}, true},
        {{"import", File("product.reg")}, true},
        {{"import", File("other.reg")}, false},
        {{"delete", product + "\\HTTP"}, true},
        {{"delete", product + "\\HTTP", "Workers"}, false}, // failed: nothing changed
        {{"query", product}, false},
    };
    long long before = -1;
    for (const Case& test : cases) {
        ToolRun run = RunTool(test.args);
        long long after = Stamp();
        std::string shown = test.args[0] + " " + test.args[1];
        if (test.stamps) {
            EXPECT_EQ(run.exitCode, 0) << shown << ": " << run.err;
            EXPECT_GT(after, before) << shown;
            EXPECT_GE(after, static_cast<long long>(std::time(nullptr)) - 5) << shown << ": the stamp is the time";
        } else {
            EXPECT_EQ(after, before) << shown << " must leave the stamp alone";
        }
        before = after;
    }
    // A LastMod written by hand is the stamp itself.
    Ok(RunTool({"set", product, "LastMod", "REG_DWORD", "7"}));
    EXPECT_EQ(Stamp(), 7);
}

TEST_F(VelmoraRegTest, NamesNoServerReadsAreStoredWithAWarning)
{
    const std::string product = "HKLM\\Software\\Tessaline\\Velmora";
    struct Case {
        std::string key; // below the product key
        std::string value;
        std::string type, data;
        std::string warning; // a part of it; empty for none
    };
    const Case cases[] = {
        {"\\HTTP\\Servers\\8080:127.0.0.1", "Descripton", "REG_SZ", "x",
         "no server reads a value \"Descripton\" in " + product +
             "\\HTTP\\Servers\\8080:127.0.0.1; the nearest name read there is \"Description\""},
        {"", "SQLMaxConnection", "REG_DWORD", "3",
         "no server reads a value \"SQLMaxConnection\" in " + product +
             "; the nearest name read there is \"SQLMaxConnections\""},
        {"\\HTTP\\Server\\8080:127.0.0.1", "Description", "REG_SZ", "x",
         "no server reads a key \"Server\" in " + product + "\\HTTP; the nearest name read there is \"Servers\""},
        {"\\HTTP\\Groups\\staff", "demo", "REG_SZ", "",
         "no server reads a key \"Groups\" in " + product + "\\HTTP; the groups every HTTP server shares are read from " +
             product + "\\HTTP\\Guests"},
        {"\\HTTP\\Servers\\x", "Port", "REG_DWORD", "70000", "Port 70000 lies outside 1 to 65535"},
        {"\\ChatRoom\\Rooms\\Lobby", "SSLPort", "REG_DWORD", "0", "SSLPort 0 lies outside 1 to 65535"},
        {"\\HTTP\\Servers\\x", "Port", "REG_SZ", "8080",
         "Port is not a REG_DWORD: the server reads no port from it and will not start"},
        // Names the servers read, in every kind of place.
        {"\\HTTP\\Servers\\8080:127.0.0.1", "description", "REG_SZ", "x", ""},
        {"\\HTTP\\Servers\\8080:127.0.0.1\\Groups\\staff", "demo", "REG_SZ", "", ""},
        {"\\HTTP\\Guests\\staff", "demo", "REG_SZ", "", ""},
        {"\\HTTP\\Paths\\cgi\\CGIExt\\sh", "CommandLine", "REG_SZ", "", ""},
        {"\\HTTPProxy", "Port", "REG_DWORD", "65535", ""},
        {"\\HTTPProxy", "ProxyPort", "REG_DWORD", "0", ""},
        {"\\Counters\\any\\depth", "hits", "REG_DWORD", "1", ""},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool({"set", product + c.key, c.value, c.type, c.data});
        EXPECT_EQ(run.exitCode, 0) << c.key << " " << c.value << ": " << run.err;
        if (c.warning.empty())
            EXPECT_EQ(run.err, "") << c.key << " " << c.value;
        else
            EXPECT_NE(run.err.find("velmora-reg: warning: " + c.warning), std::string::npos)
                << c.key << " " << c.value << ": " << run.err;
        // Stored all the same.
        EXPECT_EQ(RunTool({"query", product + c.key, c.value}).exitCode, 0) << c.key << " " << c.value;
    }

    // An import is told the same, once for a key however many values it holds.
    std::ofstream(File("odd.reg")) << "REGEDIT4\n\n[" << product << "\\HTTP\\Groups\\staff]\n\"demo\"=\"\"\n\"bo\"=\"\"\n\n["
                                   << product << "\\HTTPProxy]\n\"Port\"=dword:00000000\n";
    ToolRun imported = RunTool({"import", File("odd.reg")});
    EXPECT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(imported.err, "velmora-reg: warning: no server reads a key \"Groups\" in " + product +
                                "\\HTTP; the groups every HTTP server shares are read from " + product +
                                "\\HTTP\\Guests (stored all the same)\n"
                                "velmora-reg: warning: Port 0 lies outside 1 to 65535: the server will not start on it "
                                "(stored all the same)\n");
}
