// The SSL page end to end: a key pair and request generated through the
// page, signed by an openssl CA of the test's own, the certificate pasted
// through the page's dialog and the configuration saved by the settings
// sheet's OK; the real velmora program then serves its secure port to our
// SSL 2.0 client under that key, and the plain port goes on serving.

#include "acl_test_support.h"
#include "app/settings_sheet.h"
#include "app/ssl_page.h"
#include "config/http_server_config.h"
#include "app_hive.h"
#include "e2e/test_ca.h"
#include "security/byte_block.h"
#include "security/key_text.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QTabWidget>

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1, first octet lowest
constexpr std::uint64_t kServesWithinMs = 30000;
const char kOpenSSL[] = "/usr/bin/openssl";
const char kPython[] = "/usr/bin/python3";

class SSLPageLiveTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        if (!e2e::HaveTool(kOpenSSL))
            GTEST_SKIP() << "openssl is not installed";
        if (e2e::RunProgram({kPython, "-c", "import cryptography"}, m_dir / "probe.out").exitCode != 0)
            GTEST_SKIP() << "python3-cryptography is not installed";
        SeedForCurl();
    }
    void TearDown() override
    {
        if (m_server.IsRunning())
            m_server.KillAndReap();
        AppHiveTest::TearDown();
    }

    // The CA signs the stored request; answers the signed certificate (PEM).
    std::string SignRequest(const std::string& certReq)
    {
        CByteBlock request;
        DecodeKeyText(certReq.c_str(), &request);
        e2e::WriteFile(m_dir / "req.der", std::string(request.GetData(), request.GetLength()));
        for (const auto& step : e2e::SignRequestSteps(kOpenSSL, m_dir.Path())) {
            e2e::RunResult run = e2e::RunProgram(step, m_dir / "step.out");
            EXPECT_EQ(run.exitCode, 0) << step[1] << ": " << run.output;
        }
        return e2e::ReadFile(m_dir / "signed.pem");
    }

    platform::ChildProcess m_server;
};

QWidget* ShowTab(CPropertySheetPlus& sheet, const QString& title)
{
    for (int i = 0; i < sheet.Tabs()->count(); ++i)
        if (sheet.Tabs()->tabText(i) == title) {
            sheet.Tabs()->setCurrentIndex(i);
            QApplication::processEvents();
            return sheet.Tabs()->currentWidget();
        }
    ADD_FAILURE() << "no tab " << title.toStdString();
    return nullptr;
}

} // namespace

TEST_F(SSLPageLiveTest, AGeneratedRequestSignedByACAServesTheSecurePort)
{
    const std::uint16_t sslPort = e2e::FreePort();
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    {
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        CHTTPServerConfig* server = settings.Work().http.GetServers().FindByPortAddress(m_port, kLoopback);
        ASSERT_NE(server, nullptr);
        settings.Sheet().AddPage(MakeSSLPage(*server));
        runner.steps.push_back([&](QDialog& dialog) {
            auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
            QWidget* page = ShowTab(sheet, QStringLiteral("SSL"));
            ASSERT_NE(page, nullptr);
            Control<QCheckBox>(*page, 1067)->click();
            Retype(Control<QLineEdit>(*page, 1000), QString::number(sslPort));
            runner.steps.push_back([](QDialog& generate) {
                Retype(Control<QLineEdit>(generate, 1071), QStringLiteral("US"));
                Retype(Control<QLineEdit>(generate, 1072), QStringLiteral("Velmora & Co"));
                Retype(Control<QLineEdit>(generate, 1074), QStringLiteral("127.0.0.1"));
                ClickControl(generate, 1);
            });
            ClickControl(*page, 1068);
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text.rfind("Your certificate request and key pair has been generated.", 0), 0u);
            const std::string signedCert = SignRequest(server->GetSettings()->certReq);
            ASSERT_FALSE(signedCert.empty());
            QGuiApplication::clipboard()->setText(QString::fromStdString(signedCert));
            runner.steps.push_back([](QDialog& set) {
                ClickControl(set, 1174);
                ClickControl(set, 1);
            });
            ClickControl(*page, 1070);
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        });
        settings.Run();
        EXPECT_EQ(runner.unscripted, 0);
    }
    ASSERT_FALSE(HasFailure());

    StartApplication(m_server);
    ASSERT_TRUE(Serving(m_server)) << "the server never served its plain port";
    const std::string client = std::string(VELMORA_SOURCE_DIR) + "/tests/e2e/sslv2_client.py";
    std::string out;
    const std::uint64_t end = platform::MonotonicMs() + kServesWithinMs;
    while (platform::MonotonicMs() < end) {
        out = e2e::RunProgram({"timeout", "20", kPython, client, std::to_string(sslPort), "fetch", "/"},
                              m_dir / "client.out")
                  .output;
        if (out.find("\"status\": \"HTTP/1.0 200 OK\"") != std::string::npos)
            break;
        platform::SleepMs(300);
    }
    EXPECT_NE(out.find("\"status\": \"HTTP/1.0 200 OK\""), std::string::npos) << out;
    EXPECT_EQ(Curl(), 0) << "the plain port still serves";
    EXPECT_TRUE(m_server.IsRunning() && !m_server.TryReap());
}
