// The whole configuration tree: laid out through the configuration classes,
// saved, loaded again by another process, and exported by velmora-reg.

#include "child_process_helper.h"
#include "config_fixture.h"
#include "configuration_layout_helper.h"
#include "macro/named_strings.h"
#include "resources/string_table.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

namespace {

class RegistryLayoutTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        InitMacroLibrary();
        Key("HTTP");
        Key("ChatRoom");
    }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Both directions, so a failure names each line that differs.
void ExpectSameLines(const std::vector<std::string>& expected, const std::vector<std::string>& actual)
{
    std::set<std::string> want(expected.begin(), expected.end());
    std::set<std::string> got(actual.begin(), actual.end());
    for (const std::string& line : want)
        EXPECT_TRUE(got.count(line)) << "not loaded by the second process: " << line;
    for (const std::string& line : got)
        EXPECT_TRUE(want.count(line)) << "loaded but never saved: " << line;
    EXPECT_EQ(expected.size(), actual.size());
}

TEST_F(RegistryLayoutTest, TreeSavedHereLoadsWholeInAnotherProcessAndExports)
{
    const platform::RegistryKey& root = platform::RegistryKey::LocalMachine();
    CHTTPGlobalConfig http;
    ASSERT_EQ(http.Load(root, kHTTPKeyPath, 1), 1);
    BuildHTTPLayout(http, 0);
    ASSERT_EQ(http.Save(root, kHTTPKeyPath), 1);
    CChatGlobalConfig chat;
    ASSERT_EQ(chat.Load(root, kChatKeyPath, 1), 1);
    BuildChatLayout(chat);
    ASSERT_EQ(chat.Save(root, kChatKeyPath), 1);

    std::vector<std::string> expected = DumpHTTP(http);
    std::vector<std::string> chatLines = DumpChat(chat);
    expected.insert(expected.end(), chatLines.begin(), chatLines.end());
    // The dump carries the layout itself, defaults included: an empty tree
    // on both sides must not pass.
    std::string redirect = "HTTP\\Strings\\http-redirect=" + LoadDefaultText(kHttpDefaultStrings[0]);
    for (std::size_t at = redirect.find('\n'); at != std::string::npos; at = redirect.find('\n', at))
        redirect.replace(at, 1, "\\n");
    for (const char* line :
         {"HTTP\\Servers\\8080:127.0.0.1\\ACL\\0=Allow-user: GET,alice-local8080,*",
          "HTTP\\Servers\\8080:127.0.0.1\\Enabled=0", "HTTP\\Servers\\80:0.0.0.0\\Paths\\docs\\CGIExt\\pl\\CommandLine=pl %s",
          "HTTP\\Servers\\80:0.0.0.0\\Groups\\staff\\bob=", "HTTP\\Servers\\80:0.0.0.0\\Strings\\srv-note=plain80",
          "HTTP\\Strings\\http-badurl=<p>global 404</p>", redirect.c_str(),
          "HTTP\\Paths\\shared\\ACL\\0=Reject-user: *,*,192.168.*", "HTTP\\InitMacro=%set(site,0)",
          "ChatRoom\\Rooms\\Lobby\\Name=Lobby", "ChatRoom\\Rooms\\Lobby\\Strings\\room-exit=<p>bye from the lobby</p>",
          "ChatRoom\\Guests\\regulars\\dave="})
        EXPECT_NE(std::find(expected.begin(), expected.end(), std::string(line)), expected.end()) << line;

    std::string dumped;
    ASSERT_EQ(RunProgram(BuildProgram("tests/config/config_peer"), {"dump"}, dumped), 0);
    ExpectSameLines(expected, Lines(dumped));

    std::string exported;
    ASSERT_EQ(RunProgram(BuildProgram("tools/velmora-reg"), {"export", "HKLM\\Software\\Tessaline\\Velmora", "-"}, exported), 0);
    std::vector<std::string> keys = ServerKeyPaths(http);
    ASSERT_GT(keys.size(), 30u);
    for (const char* key : {"HTTP\\Users\\Macro", "HTTP\\Guests\\editors", "HTTP\\Strings", "HTTP\\Paths\\shared\\CGIExt\\sh",
                            "HTTP\\Redirections", "HTTP\\Icons", "HTTP\\CGIExt\\wcg", "HTTP\\Mappings",
                            "ChatRoom\\Rooms\\Lobby\\ACL", "ChatRoom\\Guests\\regulars", "ChatRoom\\Strings"})
        keys.push_back(key);
    for (const std::string& key : keys)
        EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\" + key + "]\n"), std::string::npos)
            << key;
    EXPECT_NE(exported.find("\"RootDir\"=\"RootDir:local8080\""), std::string::npos);
    EXPECT_NE(exported.find("\"Enabled\"=dword:00000000"), std::string::npos);

    // Every name the configuration classes write is one velmora-reg knows
    // the servers read: it takes the tree back without a warning.
    std::ofstream(m_dir / "tree.reg") << exported;
    std::string warnings;
    ASSERT_EQ(RunProgram("/bin/sh", {"-c", "exec '" + BuildProgram("tools/velmora-reg") + "' --no-stamp import '" +
                                               (m_dir / "tree.reg") + "' 2>&1"},
                         warnings),
              0);
    EXPECT_EQ(warnings, "");
}

} // namespace
