// curl -T: an upload where a line grants PUT, and one where none does; the
// configured body limits of PUT and forms.

#include "e2e_server.h"

using namespace e2e;

namespace {

class UploadTest : public E2ETest {};

TEST_F(UploadTest, PutIsStoredOnlyWhereGranted)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/granted.txt", "before");
    WriteFile(m_root + "/granted.txt.~ACL~", "Allow-user: PUT,*,127.0.0.1\r\nAllow-user: GET,*,*\r\n");
    WriteFile(m_root + "/refused.txt", "before");
    std::string upload = m_dir / "upload.txt";
    std::string content;
    for (int i = 0; i < 5000; ++i)
        content += "line " + std::to_string(i) + "\n";
    WriteFile(upload, content);
    StartServers();

    RunResult granted = Curl({"-T", upload, "-w", "%{http_code}", "-o", "/dev/null", URL(port, "/granted.txt")});
    EXPECT_EQ(granted.output, "201");
    EXPECT_EQ(Sha256(m_root + "/granted.txt"), Sha256(upload));
    RunResult back = Curl({"-o", m_dir / "back.txt", "-w", "%{http_code}", URL(port, "/granted.txt")});
    EXPECT_EQ(back.output, "200");
    EXPECT_EQ(Sha256(m_dir / "back.txt"), Sha256(upload)) << "the cache serves the new document";

    RunResult refused = Curl({"-T", upload, "-w", "%{http_code}", "-o", "/dev/null", URL(port, "/refused.txt")});
    EXPECT_EQ(refused.output, "401");
    EXPECT_EQ(ReadFile(m_root + "/refused.txt"), "before");
}

TEST_F(UploadTest, TheConfiguredBodyLimitsAnswer413AndKeepTheDocument)
{
    std::uint16_t port = FreePort();
    platform::RegistryKey server = Key(AddServer(port));
    server.SetDword("MaxPutSize", 100);
    server.SetDword("MaxFormSize", 100);
    WriteFile(m_root + "/doc.txt", "before");
    WriteFile(m_root + "/doc.txt.~ACL~", "Allow-user: *,*,*\r\n");
    WriteFile(m_root + "/form.htm", "%expand%[%form(a)]");
    StartServers();

    auto status = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"-w", "%{http_code}", "-o", "/dev/null"});
        return Curl(args).output;
    };
    WriteFile(m_dir / "small.txt", std::string(100, 's'));
    WriteFile(m_dir / "large.txt", std::string(101, 'l'));
    EXPECT_EQ(status({"-T", m_dir / "large.txt", URL(port, "/doc.txt")}), "413");
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), "before");
    EXPECT_EQ(status({"-T", m_dir / "small.txt", URL(port, "/doc.txt")}), "201");
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), std::string(100, 's'));

    EXPECT_EQ(status({"-d", "a=" + std::string(98, 'x'), URL(port, "/form.htm")}), "200");
    EXPECT_EQ(status({"-d", "a=" + std::string(99, 'x'), URL(port, "/form.htm")}), "413");
}

} // namespace
