// NT authentication against the real PAM stack: the request runs as the
// account whose credentials it brought, an anonymous request as the
// anonymous account, and a failed logon never as the server itself. Needs
// root to make the two test accounts.

#include "basic_credentials.h"
#include "e2e_server.h"
#include "eventually.h"
#include "raw_client.h"
#include "test_account.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace e2e;

namespace {

class NTAuthTest : public E2ETest {
protected:
    void SetUp() override
    {
        E2ETest::SetUp();
        if (IsSkipped())
            return;
        const std::string suffix = std::to_string(::getpid());
        m_owner = "velmora-no-" + suffix;
        m_anonymous = "velmora-na-" + suffix;
        CreateTestAccounts({m_owner, m_anonymous}, Password, m_created);
    }
    void TearDown() override
    {
        E2ETest::TearDown();
        RemoveTestAccounts(m_created);
    }
    static std::string Password(const std::string& name) { return "Pw-" + name.substr(8, 2) + ":9"; }
    void WriteOwnedFile(const std::string& path, const std::string& text, const std::string& owner)
    {
        WriteFile(path, text);
        passwd* entry = ::getpwnam(owner.c_str());
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(::chown(path.c_str(), entry->pw_uid, entry->pw_gid), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    }
    std::string Status(const std::vector<std::string>& extra, const std::string& path)
    {
        std::vector<std::string> args = {"-o", "/dev/null", "-w", "%{http_code}"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(URL(m_port, path));
        return Curl(args).output;
    }

    std::string m_owner;
    std::string m_anonymous;
    std::vector<std::string> m_created;
    std::uint16_t m_port = 0;
};

TEST_F(NTAuthTest, RequestsRunAsTheirAccountAndNeverAsTheServer)
{
    // The accounts must be able to reach the files at all.
    ::chmod(m_dir.Path().c_str(), 0755);
    ::chmod(m_root.c_str(), 0755);
    WriteFile(m_root + "/public.txt", "for everyone");
    ::chmod((m_root + "/public.txt").c_str(), 0644);
    WriteOwnedFile(m_root + "/owner.txt", "for the owner", m_owner);
    WriteOwnedFile(m_root + "/server.txt", "for the server only", "root");

    m_port = FreePort();
    platform::RegistryKey server = Key(AddServer(m_port));
    server.SetDword("UseNTAuthentication", 1);
    server.SetString("NTAnonUser", m_anonymous);
    server.SetString("NTAnonPassword", Password(m_anonymous));
    StartServers();

    const std::vector<std::string> owner = {"-u", m_owner + ":" + Password(m_owner)};
    const std::vector<std::string> wrong = {"-u", m_owner + ":not-the-password"};

    EXPECT_EQ(Curl({URL(m_port, "/public.txt")}).output, "for everyone") << "anonymous as the anonymous account";
    EXPECT_EQ(Curl({owner[0], owner[1], URL(m_port, "/owner.txt")}).output, "for the owner");
    EXPECT_EQ(Status({}, "/owner.txt"), "401") << "the anonymous account may not read it";
    EXPECT_EQ(Status(wrong, "/owner.txt"), "401") << "a failed logon must not run as the server";
    EXPECT_EQ(Status(wrong, "/server.txt"), "401");
    EXPECT_EQ(Status(owner, "/server.txt"), "401") << "the owner is not the server either";
    // After the owner's request, the same document is not handed to anyone else.
    EXPECT_EQ(Status({}, "/owner.txt"), "401");
}

TEST_F(NTAuthTest, WrongPasswordsNeverStallRequestsThatNeedNoLogon)
{
    ::chmod(m_dir.Path().c_str(), 0755);
    ::chmod(m_root.c_str(), 0755);
    WriteFile(m_root + "/public.txt", "for everyone");
    ::chmod((m_root + "/public.txt").c_str(), 0644);
    m_port = FreePort();
    platform::RegistryKey server = Key(AddServer(m_port));
    server.SetDword("UseNTAuthentication", 1);
    server.SetDword("ConnTimeout", 120);
    StartServers();

    // What one failed logon costs here, alone.
    const std::vector<std::string> wrong = {"-u", m_owner + ":not-the-password"};
    std::uint64_t start = NowMs();
    ASSERT_EQ(Status(wrong, "/public.txt"), "200");
    const std::uint64_t oneLogon = NowMs() - start;

    // Many clients with a wrong password at once: their logons run one at a
    // time, and must hold nobody who brought no credentials. A worker that
    // waited in PAM itself would keep its plain GETs until about the end of
    // the burst; so each must be answered well before the burst ends,
    // which holds however slow the machine is.
    constexpr int kWrong = 60;
    constexpr int kPlain = 3;
    const std::string request = "GET /public.txt HTTP/1.0\r\nAuthorization: Basic " +
                                BasicCredentials(m_owner + ":not-the-password") + "\r\n\r\n";
    std::vector<std::unique_ptr<RawClient>> clients;
    start = NowMs();
    for (int i = 0; i < kWrong; ++i) {
        clients.push_back(std::make_unique<RawClient>(m_port));
        ASSERT_TRUE(clients.back()->Send(request)) << "client " << i;
    }
    std::uint64_t plain = 0;
    for (int i = 0; i < kPlain; ++i) {
        const std::uint64_t sent = NowMs();
        RawClient get(m_port);
        ASSERT_TRUE(get.Send("GET /public.txt HTTP/1.0\r\n\r\n"));
        ParsedReply reply;
        EXPECT_EQ(get.Read(120000, reply), RawClient::kReply);
        EXPECT_EQ(reply.body, "for everyone");
        plain = std::max(plain, NowMs() - sent);
    }
    for (auto& client : clients) {
        ParsedReply reply;
        EXPECT_EQ(client->Read(120000, reply), RawClient::kReply);
        EXPECT_EQ(reply.status, 200);
    }
    const std::uint64_t burst = NowMs() - start;
    std::printf("[ logons ] one failed logon %llu ms; %d at once %llu ms; the slowest plain GET meanwhile %llu ms\n",
                static_cast<unsigned long long>(oneLogon), kWrong, static_cast<unsigned long long>(burst),
                static_cast<unsigned long long>(plain));
    EXPECT_LT(plain * 4, burst) << "a plain GET waited behind the logons";
}

} // namespace
