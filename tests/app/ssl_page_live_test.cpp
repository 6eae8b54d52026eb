// The SSL page end to end, reached as a user reaches it (settings sheet,
// HTTP servers, the server's own sheet): a key pair and request generated
// through the page, the request copied from the viewer and signed by an
// openssl CA of the test's own, the certificate pasted through the page's
// dialog and the configuration saved by the three sheets' OK; the real velmora program then serves its secure port to our
// SSL 2.0 client under that key, and the plain port goes on serving.

#include "acl_test_support.h"
#include "app/settings_sheet.h"
#include "app_hive.h"
#include "e2e/test_ca.h"
#include "page_harness.h"
#include "security/byte_block.h"
#include "security/key_text.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>

namespace {

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

} // namespace

TEST_F(SSLPageLiveTest, AGeneratedRequestSignedByACAServesTheSecurePort)
{
    const std::uint16_t sslPort = e2e::FreePort();
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    {
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        settings.AddStandardPages();
        // Settings sheet, Global HTTP Settings, the server's own sheet: as a
        // user reaches a server's SSL page.
        runner.steps.push_back([&](QDialog& sheet) {
            Click(sheet, 1062);
            QTest::mouseClick(settings.Sheet().OkButton(), Qt::LeftButton);
        });
        runner.steps.push_back(
            [&](QDialog& dialog) { EditLoopbackServer(static_cast<CPropertySheetPlus&>(dialog), m_port); });
        runner.steps.push_back([&](QDialog& dialog) {
            auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
            ASSERT_EQ(sheet.windowTitle(), "HTTP Settings");
            ClickTab(sheet, "SSL");
            QWidget* page = sheet.GetActivePage();
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
            // The request as the viewer's Copy puts it on the clipboard.
            runner.steps.push_back([](QDialog& viewer) {
                auto& certificates = static_cast<CPropertySheetPlus&>(viewer);
                ClickControl(*certificates.GetActivePage(), 1180);
                QTest::mouseClick(certificates.OkButton(), Qt::LeftButton);
            });
            ClickControl(*page, 1069);
            const std::string signedCert = SignRequest(QGuiApplication::clipboard()->text().toStdString());
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
        EXPECT_EQ(runner.runs, 6);
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
