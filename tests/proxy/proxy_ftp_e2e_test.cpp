// ftp URLs through the proxy: vsftpd from Debian for files, listings,
// folders and uploads, and a pyftpdlib server scripted to misbehave; curl
// and wget as clients, and the cache answering with the server stopped.

#include "proxy_e2e.h"

#include "basic_credentials.h"
#include "test_account.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace proxy_e2e {
namespace {

namespace fs = std::filesystem;

std::string PeerScript() { return std::string(VELMORA_SOURCE_DIR) + "/tests/proxy/ftp_peer.py"; }

// The Authorization header of a user and password: curl would put them
// into the URL it gives the proxy.
std::string BasicAuthorization(const std::string& credentials)
{
    return "Authorization: Basic " + BasicCredentials(credentials);
}

class ProxyFTPTest : public ProxyE2ETest {
protected:
    void SetUp() override
    {
        ProxyE2ETest::SetUp();
        if (IsSkipped())
            return;
        m_key.SetDword("ConnTimeout", 2);
        platform::RegistryKey types;
        ASSERT_EQ(m_key.Create("FTPExtMappings", types), platform::kErrorSuccess);
        types.SetString("bin", "application/octet-stream");
        types.SetString("txt", "text/plain");
        platform::RegistryKey icons;
        ASSERT_EQ(m_key.Create("FTPIcons", icons), platform::kErrorSuccess);
        icons.SetString("**", "/icons/dir.gif");
        icons.SetString("*", "/icons/file.gif");
        m_anon = m_dir / "anon";
        fs::create_directories(m_anon + "/pub/sub");
        m_blob = RandomBytes(300000, 21);
        bench::WriteFile(m_anon + "/blob.bin", m_blob);
        bench::WriteFile(m_anon + "/pub/readme.txt", "read me\n");
        bench::WriteFile(m_anon + "/pub/sub/deep.txt", "deep\n");
        bench::WriteFile(m_anon + "/<script>alert(1)<.txt", "x");
    }
    void TearDown() override
    {
        ProxyE2ETest::TearDown();
        for (const std::string& name : m_accounts)
            std::system(("/bin/sh '" + TestAccountScript() + "' remove " + name + " >/dev/null 2>&1").c_str());
    }

    // vsftpd on a free port: the anonymous area, and with a user the local
    // logins of that user into home.
    void StartVsftpd(Peer& peer, std::uint16_t& port, const std::string& user = {}, const std::string& home = {})
    {
        const std::string vsftpd = "/usr/sbin/vsftpd";
        if (!bench::IsExecutable(vsftpd))
            GTEST_SKIP() << "vsftpd is not installed (make deps)";
        if (::geteuid() != 0)
            GTEST_SKIP() << "vsftpd's anonymous sessions need root to change into the anonymous area";
        // The anonymous area belongs to root and is not writable by the
        // anonymous account, as vsftpd demands.
        for (const auto& entry : fs::recursive_directory_iterator(m_anon))
            ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
        ::chmod(m_anon.c_str(), 0755);
        ::chmod(m_dir.Path().c_str(), 0755);
        std::string empty = m_dir / "empty";
        fs::create_directories(empty);
        ::chmod(empty.c_str(), 0755);
        port = FreePort();
        std::ostringstream conf;
        conf << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port << "\n"
             << "background=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root=" << m_anon << "\n"
             << "secure_chroot_dir=" << empty << "\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
             << "connect_from_port_20=NO\nxferlog_enable=NO\nvsftpd_log_file=" << (m_dir / "vsftpd.log") << "\n"
             << "pam_service_name=velmora\nuse_localtime=NO\n";
        if (!user.empty())
            conf << "local_enable=YES\nwrite_enable=YES\nlocal_umask=022\nlocal_root=" << home << "\n";
        else
            conf << "local_enable=NO\n";
        std::string confPath = m_dir / "vsftpd.conf";
        bench::WriteFile(confPath, conf.str());
        std::string error = peer.Start({vsftpd, confPath}, m_dir / "vsftpd.out", port);
        ASSERT_TRUE(error.empty()) << error;
    }

    void StartMisbehaving(Peer& peer, std::uint16_t& port, const std::string& modes)
    {
        if (std::system("/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null") != 0)
            GTEST_SKIP() << "python3-pyftpdlib is not installed (make deps)";
        port = FreePort();
        std::string error = peer.Start({kPython, "-u", PeerScript(), modes, std::to_string(port), m_anon},
                                       m_dir / ("ftp-" + modes + ".log"), port);
        ASSERT_TRUE(error.empty()) << error;
    }

    static std::string FTP(std::uint16_t port, const std::string& path)
    {
        return Origin(port, path, "ftp");
    }
    // curl through the proxy: the status, with the body in m_dir/body.out.
    std::string Fetch(const std::string& url, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = StatusArgs(extra);
        args.push_back(url);
        return Curl(args).output;
    }
    std::string Sha256(const std::string& path)
    {
        RunResult run = RunTool({"/usr/bin/sha256sum", path}, m_dir / "sha.out");
        return run.output.substr(0, 64);
    }

    std::string m_anon;
    std::string m_blob;
    std::vector<std::string> m_accounts;
};

TEST_F(ProxyFTPTest, VsftpdFilesListingsAndTheCache)
{
    m_key.SetDword("MaxCacheSize", 1);
    Peer server;
    std::uint16_t port = 0;
    StartVsftpd(server, port);
    if (IsSkipped())
        return;
    StartProxy();

    // A binary file, byte for byte, with the type of its extension.
    EXPECT_EQ(Fetch(FTP(port, "/blob.bin"), {"-D", m_dir / "head.out"}), "200");
    EXPECT_EQ(Sha256(m_dir / "body.out"), Sha256(m_anon + "/blob.bin"));
    std::string head = bench::ReadFile(m_dir / "head.out");
    EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Content-type: application/octet-stream\r\n"), std::string::npos) << head;

    // wget through ftp_proxy.
    RunResult wget = RunTool({"/usr/bin/env", "ftp_proxy=" + ProxyURL() + "/", "/usr/bin/wget", "-q", "-t", "1",
                              "-T", "10", "-O", m_dir / "wget.out", FTP(port, "/pub/readme.txt")},
                             m_dir / "wget.log");
    EXPECT_EQ(wget.exitCode, 0) << wget.output;
    EXPECT_EQ(bench::ReadFile(m_dir / "wget.out"), "read me\n");

    // A Unix listing as a page, and a file in a subfolder.
    EXPECT_EQ(Fetch(FTP(port, "/pub/")), "200");
    std::string listing = Body();
    EXPECT_NE(listing.find("<H1>Directory of /pub</H1>"), std::string::npos) << listing;
    EXPECT_NE(listing.find("<IMG BORDER=0 ALIGN=absbottom SRC=\"/icons/dir.gif\"><A HREF=\"sub/\">sub/ "),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("<A HREF=\"readme.txt\">readme.txt "), std::string::npos) << listing;
    EXPECT_NE(listing.find(" text/plain\r\n"), std::string::npos) << listing;
    EXPECT_EQ(Fetch(FTP(port, "/pub/sub/deep.txt")), "200");
    EXPECT_EQ(Body(), "deep\n");

    // A hostile name is text.
    EXPECT_EQ(Fetch(FTP(port, "/")), "200");
    std::string root = Body();
    EXPECT_NE(root.find("&lt;script&gt;alert(1)&lt;.txt"), std::string::npos) << root;
    EXPECT_NE(root.find("HREF=\"%3Cscript%3Ealert%281%29%3C.txt\""), std::string::npos) << root;
    EXPECT_EQ(root.find("<script"), std::string::npos) << root;

    // HEAD: the header only, and a missing file is not found.
    EXPECT_EQ(Fetch(FTP(port, "/pub/readme.txt"), {"-I", "-H", "Pragma: no-cache"}), "200");
    std::string missing = RawRequest(m_port, "HEAD " + FTP(port, "/pub/missing.txt") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(missing.rfind("HTTP/1.0 404 ", 0), 0u) << missing;
    EXPECT_EQ(missing.substr(missing.size() - std::min<std::size_t>(missing.size(), 4)), "\r\n\r\n") << missing;
    EXPECT_EQ(Fetch(FTP(port, "/pub/missing.txt")), "404");
    // An encoded line break never reaches the server as a command.
    EXPECT_EQ(Fetch(FTP(port, "/pub/x%0D%0ADELE%20readme.txt")), "404");
    EXPECT_TRUE(fs::exists(m_anon + "/pub/readme.txt"));

    // With the server gone, the second fetches come from the cache.
    server.Stop();
    EXPECT_EQ(Fetch(FTP(port, "/blob.bin")), "200");
    EXPECT_TRUE(Body() == m_blob);
    EXPECT_EQ(Fetch(FTP(port, "/pub/sub/deep.txt")), "200");
    EXPECT_EQ(Body(), "deep\n");
    EXPECT_EQ(Fetch(FTP(port, "/pub/")), "200");
    EXPECT_EQ(Body(), listing);
    wget = RunTool({"/usr/bin/env", "ftp_proxy=" + ProxyURL() + "/", "/usr/bin/wget", "-q", "-t", "1", "-T", "10",
                    "-O", m_dir / "wget.out", FTP(port, "/pub/readme.txt")},
                   m_dir / "wget.log");
    EXPECT_EQ(wget.exitCode, 0) << wget.output;
    EXPECT_EQ(bench::ReadFile(m_dir / "wget.out"), "read me\n");
}

TEST_F(ProxyFTPTest, VsftpdUploadWithTheLocalUsersCredentials)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to create the local FTP account";
    const std::string user = "velmora-ftp-" + std::to_string(::getpid() % 100000);
    const std::string password = "Up-Load:7x";
    int status = std::system(("/bin/sh '" + TestAccountScript() + "' create " + user + " '" + password + "' >/dev/null 2>&1").c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        GTEST_SKIP() << "the local account could not be made (see tools/test-account.sh)";
    m_accounts.push_back(user);
    std::string home = m_dir / "home";
    fs::create_directories(home);
    // vsftpd changes into the account's home before anything else.
    ASSERT_EQ(std::system(("/usr/sbin/usermod -d '" + home + "' " + user + " >/dev/null 2>&1").c_str()), 0);
    passwd* entry = ::getpwnam(user.c_str());
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(::chown(home.c_str(), entry->pw_uid, entry->pw_gid), 0);
    Peer server;
    std::uint16_t port = 0;
    StartVsftpd(server, port, user, home);
    if (IsSkipped())
        return;
    // PAM takes its time over a wrong password.
    m_key.SetDword("ConnTimeout", 8);
    StartProxy();

    std::string upload = RandomBytes(70000, 5);
    bench::WriteFile(m_dir / "upload.bin", upload);
    // The URL's folder is taken from the server's root, so the user's own
    // folder is named in full.
    EXPECT_EQ(Fetch(FTP(port, home + "/up.bin"),
                    {"-T", m_dir / "upload.bin", "-H", BasicAuthorization(user + ":" + password), "-H", "Expect:"}),
              "201");
    EXPECT_NE(Body().find("201 Created"), std::string::npos) << Body();
    EXPECT_TRUE(bench::ReadFile(home + "/up.bin") == upload);
    // Anonymous may not write, and a wrong password is refused.
    EXPECT_EQ(Fetch(FTP(port, "/anon.bin"), {"-T", m_dir / "upload.bin", "-H", "Expect:"}), "404");
    EXPECT_EQ(Fetch(FTP(port, home + "/up2.bin"),
                    {"-T", m_dir / "upload.bin", "-H", BasicAuthorization(user + ":wrong"), "-H", "Expect:"}),
              "401");
    EXPECT_FALSE(fs::exists(home + "/up2.bin"));
}

// An HTTP/1.0 client may end its side after its request: it still gets its
// file or listing, through the cache and past it.
TEST_F(ProxyFTPTest, AnHTTP10ClientThatHalfClosesGetsItsDocument)
{
    m_key.SetDword("MaxCacheSize", 1);
    StartProxy();
    Peer server;
    std::uint16_t port = 0;
    StartMisbehaving(server, port, "plain");
    if (IsSkipped())
        return;
    struct Case {
        const char* path;
        const char* extra;
        const char* bodyHas;
    } cases[] = {
        {"/pub/readme.txt", "", "read me\n"},
        {"/pub/", "", "<A HREF=\"readme.txt\">readme.txt"},
        {"/pub/readme.txt", "Pragma: no-cache\r\n", "read me\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.extra);
        WSocket client;
        client.SetTimeout(20000);
        ASSERT_EQ(client.Connect("127.0.0.1", m_port), 0);
        ASSERT_GT(client.SendText("GET " + FTP(port, c.path) + " HTTP/1.0\r\n" + c.extra + "\r\n", false), 0);
        ASSERT_EQ(::shutdown(client.GetHandle(), SHUT_WR), 0);
        std::string reply = ReadAll(client);
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.0 200") << reply;
        EXPECT_NE(reply.find(c.bodyHas), std::string::npos) << reply;
    }
}

TEST_F(ProxyFTPTest, MisbehavingServers)
{
    m_key.SetDword("MaxCacheSize", 1);
    StartProxy();
    const std::string upload = m_dir / "upload.bin";
    bench::WriteFile(upload, RandomBytes(5000, 9));
    struct Case {
        const char* modes;
        const char* path;
        std::vector<std::string> extra;
        const char* status;
        const char* bodyHas;
    } cases[] = {
        {"dos", "/", {}, "200", "<A HREF=\"docs/\">docs/ "},
        {"dos", "/", {}, "200", "<A HREF=\"Read%20Me.TXT\">Read Me.TXT "},
        {"dos", "/", {}, "200", "&lt;img src=x onerror=alert(1)&gt;.txt"},
        {"onefolder", "/pub/sub/deep.txt", {}, "200", "deep\n"},
        // Part of a file and then 426: the client, who had the header and
        // the part as they came, sees the reply cut; nothing is kept.
        {"abort", "/blob.bin", {}, "200", ""},
        // Refused after the data was taken.
        {"full", "/new.bin", {"-T", upload, "-H", "Expect:"}, "500", "552 Requested file action aborted"},
        {"silent", "/pub/readme.txt", {}, "504", "Timeout waiting for ftp server"},
        {"foreign", "/blob.bin", {}, "504", "Timeout waiting for ftp server"},
    };
    std::unique_ptr<Peer> server;
    std::string running;
    std::uint16_t port = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.modes);
        if (running != c.modes) {
            server = std::make_unique<Peer>();
            StartMisbehaving(*server, port, c.modes);
            if (IsSkipped())
                return;
            running = c.modes;
        }
        std::uint64_t start = platform::MonotonicMs();
        EXPECT_EQ(Fetch(FTP(port, c.path), c.extra), c.status);
        // Every wait has its deadline: ConnTimeout is 2 (2048 ms), and a
        // failed cache fill is tried once more for the client.
        EXPECT_LT(platform::MonotonicMs() - start, 8000u);
        std::string body = Body();
        EXPECT_NE(body.find(c.bodyHas), std::string::npos) << body;
        EXPECT_EQ(body.find("<script"), std::string::npos) << body;
        EXPECT_EQ(body.find("<img"), std::string::npos) << body;
        EXPECT_EQ(body.find("FOREIGN"), std::string::npos) << body;
    }
    server.reset();
    EXPECT_EQ(m_proxy->GetCache().GetCount(), 2u) << "only the good listing and file are kept";

    // Past the cache the cut file reaches the client cut, and curl sees it.
    Peer aborting;
    StartMisbehaving(aborting, port, "abort");
    RunResult cut = Curl({"-o", m_dir / "body.out", "-H", "Pragma: no-cache", FTP(port, "/blob.bin")});
    EXPECT_NE(cut.exitCode, 0);
    EXPECT_LT(bench::ReadFile(m_dir / "body.out").size(), m_blob.size());
}

} // namespace
} // namespace proxy_e2e
