// Another hive through the remote channel, with the real velmora-reg serve
// on the far end (started directly instead of through ssh): keys of the far
// root behave as local ones, the far side's transaction is rolled back when
// the far side dies before a commit, and a far side that is not there,
// not ours or dies gives kErrorRemoteUnavailable promptly; a channel given
// up is opened again, without the keys of the far side it left.

#include "platform/clock.h"
#include "platform/remote_protocol.h"
#include "platform/remote_registry.h"
#include "registry_fixture.h"

#include <cstdint>
#include <memory>

namespace {

using platform::RegistryKey;
using platform::RemoteRegistry;

std::string Bin() { return std::getenv("VELMORA_TEST_BIN_DIR") ? std::getenv("VELMORA_TEST_BIN_DIR") : "."; }

class RemoteRegistryTest : public RegistryFixture {
protected:
    void SetUp() override
    {
        RegistryFixture::SetUp();
        UseShell("env VELMORA_REGISTRY=" + HivePath("far.db") + " " + Bin() + "/tools/velmora-reg serve");
    }
    void TearDown() override
    {
        ::unsetenv("VELMORA_REMOTE_SHELL");
        RegistryFixture::TearDown();
    }
    static void UseShell(const std::string& command) { ::setenv("VELMORA_REMOTE_SHELL", command.c_str(), 1); }
    std::unique_ptr<RemoteRegistry> Connect()
    {
        std::unique_ptr<RemoteRegistry> remote;
        EXPECT_EQ(RemoteRegistry::Connect("far.example", remote), platform::kErrorSuccess);
        return remote;
    }
};

// What a series of registry calls answers under root, as text.
std::vector<std::string> Transcript(const RegistryKey& root)
{
    std::vector<std::string> lines;
    auto note = [&lines](const std::string& what, int result) { lines.push_back(what + "=" + std::to_string(result)); };
    RegistryKey key;
    platform::RegistryDisposition disposition{};
    note("create", root.Create("Software\\T\\Remote", key, &disposition));
    note("disposition", static_cast<int>(disposition));
    note("again", root.Create("software\\t\\REMOTE", key, &disposition));
    note("disposition", static_cast<int>(disposition));
    note("sz", key.SetString("Name", "far value"));
    note("dword", key.SetDword("Port", 8080));
    const std::uint8_t odd[3] = {1, 2, 3};
    note("binary", key.SetValue("Odd", platform::kRegBinary, odd, sizeof odd));
    std::uint32_t number = 0;
    note("dword-of-3-bytes", key.QueryDword("Odd", number));
    note("port", key.QueryDword("Port", number));
    lines.push_back(std::to_string(number));
    std::uint32_t type = 0;
    std::size_t size = 0;
    note("size-first", key.QueryValue("name", &type, nullptr, &size));
    lines.push_back(std::to_string(type) + "/" + std::to_string(size));
    char small[4];
    size = sizeof small;
    note("small-buffer", key.QueryValue("Name", &type, small, &size));
    lines.push_back(std::to_string(size));
    RegistryKey child;
    note("child-b", key.Create("b", child));
    note("child-A", key.Create("A", child));
    std::string name;
    for (std::uint32_t i = 0; i < 3; ++i) {
        note("enum-key", key.EnumKey(i, name));
        lines.push_back(name);
    }
    platform::RegistryValue value;
    for (std::uint32_t i = 0; i < 4; ++i) {
        note("enum-value", key.EnumValue(i, name, value));
        lines.push_back(name + ":" + std::to_string(value.type) + ":" + std::to_string(value.data.size()));
    }
    std::uint32_t subkeys = 0, values = 0;
    note("info", key.QueryInfo(&subkeys, &values));
    lines.push_back(std::to_string(subkeys) + "/" + std::to_string(values));
    note("path", child.QueryPath(name));
    lines.push_back(name);
    note("missing", key.QueryString("Nothing", name));
    note("delete-parent", root.DeleteKey("Software\\T\\Remote"));
    note("delete-value", key.DeleteValue("Odd"));
    note("delete-value-again", key.DeleteValue("Odd"));
    note("delete-tree", root.DeleteTree("Software\\T"));
    note("deleted-handle", child.SetDword("X", 1));
    note("open-gone", root.Open("Software\\T", key));
    return lines;
}

TEST_F(RemoteRegistryTest, KeysOfTheFarRootAnswerAsLocalKeysDo)
{
    std::vector<std::string> local = Transcript(RegistryKey::LocalMachine());
    std::unique_ptr<RemoteRegistry> remote = Connect();
    ASSERT_TRUE(remote);
    std::vector<std::string> far = Transcript(remote->LocalMachine());
    ASSERT_EQ(far.size(), local.size());
    for (std::size_t i = 0; i < far.size(); ++i)
        EXPECT_EQ(far[i], local[i]) << "line " << i;
    // A path past the protocol's limit is refused on this side, and the
    // channel stays usable.
    RegistryKey key;
    EXPECT_EQ(remote->LocalMachine().Open(std::string(platform::kMaxRemoteText + 1, 'k'), key),
              platform::kErrorInvalidParameter);
    EXPECT_EQ(remote->LocalMachine().Create("Software\\Marker", key), platform::kErrorSuccess);
    key.Close();
    remote.reset();

    UseHive(HivePath("far.db"));
    EXPECT_EQ(RegistryKey::LocalMachine().Open("Software\\Marker", key), platform::kErrorSuccess)
        << "the far hive holds what was written through the channel";
}

TEST_F(RemoteRegistryTest, TheFarTransactionCommitsOrDiesWithTheFarSide)
{
    const std::string serve = "env VELMORA_REGISTRY=" + HivePath("far.db") + " " + Bin() + "/tools/velmora-reg serve";
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit);
        // Without a commit the far side is ended a second in, mid-transaction.
        UseShell(commit ? serve : "timeout 1 " + serve);
        std::unique_ptr<RemoteRegistry> remote = Connect();
        ASSERT_TRUE(remote);
        {
            platform::RegistryTransaction transaction(remote->LocalMachine());
            ASSERT_EQ(transaction.Status(), platform::kErrorSuccess);
            RegistryKey key;
            ASSERT_EQ(remote->LocalMachine().Create("Software\\Saved", key), platform::kErrorSuccess);
            ASSERT_EQ(key.SetDword("Commit", 1), platform::kErrorSuccess);
            if (!commit)
                platform::SleepMs(1500);
            EXPECT_EQ(transaction.Commit(), commit ? platform::kErrorSuccess : platform::kErrorRemoteUnavailable);
        }
        remote.reset();
        UseShell(serve);
        std::unique_ptr<RemoteRegistry> again = Connect();
        ASSERT_TRUE(again);
        RegistryKey key;
        EXPECT_EQ(again->LocalMachine().Open("Software\\Saved", key),
                  commit ? platform::kErrorSuccess : platform::kErrorFileNotFound);
    }
}

TEST_F(RemoteRegistryTest, AFarSideThatIsMissingForeignOrDyingFailsPromptly)
{
    const std::string serve = "env VELMORA_REGISTRY=" + HivePath("far.db") + " " + Bin() + "/tools/velmora-reg serve";
    struct Case {
        const char* what;
        std::string shell;
        const char* host;
        int connect;
    };
    const Case cases[] = {
        {"the shell ends at once", "true", "far", platform::kErrorRemoteUnavailable},
        {"no such program", "/no/such/remote-shell %h", "far", platform::kErrorRemoteUnavailable},
        {"an echo is no answer", "cat", "far", platform::kErrorRemoteUnavailable},
        {"a host that is an option", "echo %h", "-oProxyCommand=touch", platform::kErrorInvalidParameter},
        {"a host with a space", "echo %h", "far side", platform::kErrorInvalidParameter},
        {"dies after a second", "timeout 1 " + serve, "far", platform::kErrorSuccess},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UseShell(c.shell);
        std::unique_ptr<RemoteRegistry> remote;
        std::uint64_t start = platform::MonotonicMs();
        EXPECT_EQ(RemoteRegistry::Connect(c.host, remote), c.connect);
        EXPECT_LT(platform::MonotonicMs() - start, 5000u);
        if (!remote)
            continue;
        platform::SleepMs(1500);
        RegistryKey key;
        start = platform::MonotonicMs();
        EXPECT_EQ(remote->LocalMachine().Create("Software\\Late", key), platform::kErrorRemoteUnavailable);
        EXPECT_EQ(remote->LocalMachine().Open("Software", key), platform::kErrorRemoteUnavailable);
        EXPECT_LT(platform::MonotonicMs() - start, 5000u);
    }
}

// A handle opened before the channel broke was the old far side's: on the
// new one the same number could name another key, so it is refused.
TEST_F(RemoteRegistryTest, AChannelGivenUpIsOpenedAgainWithoutItsOldKeys)
{
    std::unique_ptr<RemoteRegistry> remote = Connect();
    ASSERT_TRUE(remote);
    RegistryKey old;
    ASSERT_EQ(remote->LocalMachine().Create("Software\\Old", old), platform::kErrorSuccess);
    remote->Abandon();
    EXPECT_TRUE(remote->Broken());
    EXPECT_EQ(old.SetDword("Kept", 1), platform::kErrorRemoteUnavailable);

    ASSERT_EQ(remote->Reconnect(), platform::kErrorSuccess);
    EXPECT_FALSE(remote->Broken());
    RegistryKey fresh;
    ASSERT_EQ(remote->LocalMachine().Create("Software\\New", fresh), platform::kErrorSuccess);
    EXPECT_EQ(old.SetDword("Kept", 1), platform::kErrorInvalidHandle);
    EXPECT_EQ(fresh.SetDword("Kept", 2), platform::kErrorSuccess);
    std::uint32_t kept = 0;
    EXPECT_EQ(fresh.QueryDword("Kept", kept), platform::kErrorSuccess);
    EXPECT_EQ(kept, 2u);
}

} // namespace
