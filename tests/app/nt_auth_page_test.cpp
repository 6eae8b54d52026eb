// The NT Authentication page over a server's configuration: the four
// values go both ways, the password stays masked, and no value asks for a
// restart (the servers take them at their next reload).

#include "app/http/nt_auth_page.h"
#include "app/kit/control_lookup.h"
#include "app/kit/property_sheet_plus.h"
#include "app_fixture.h"
#include "config/http_server_config.h"
#include "screenshot.h"

#include <QCheckBox>

namespace {

void SetNT(CHTTPServerConfig& config, std::uint32_t use, const char* domain, const char* user, const char* password)
{
    auto settings = std::make_shared<CServiceSettings>(*config.GetSettings());
    settings->useNTAuthentication = use;
    settings->ntDomain = domain;
    settings->ntAnonUser = user;
    settings->ntAnonPassword = password;
    config.SetSettings(settings);
}

TEST(NTAuthPage, TheFourValuesGoBothWaysAndNoneAsksForARestart)
{
    struct Case {
        bool use;
        const char* domain;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {true, "TESSALINE", "guest", "s3cret pass"},
        {true, "", "", ""}, // on with no account: accepted, no anonymous logon then
        {false, "other", "nobody", "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        CHTTPServerConfig config;
        SetNT(config, 0, "OLD", "olduser", "oldpass");
        CPropertySheetPlus sheet(QStringLiteral("HTTP Server"), nullptr);
        auto* page = sheet.AddPage(std::make_unique<CNTAuthPage>());
        page->SetConfig(&config);
        ScriptedRunner runner;
        runner.steps.push_back([&](QDialog& shown) {
            auto* domain = FindControl<QLineEdit>(&shown, 1120);
            auto* password = FindControl<QLineEdit>(&shown, 1032);
            auto* user = FindControl<QLineEdit>(&shown, 1121);
            auto* use = FindControl<QCheckBox>(&shown, 1119);
            EXPECT_EQ(domain->text(), "OLD");
            EXPECT_EQ(user->text(), "olduser");
            EXPECT_EQ(password->text(), "oldpass");
            EXPECT_EQ(password->echoMode(), QLineEdit::Password);
            EXPECT_FALSE(use->isChecked());
            Retype(domain, QString::fromLatin1(c.domain));
            Retype(user, QString::fromLatin1(c.user));
            Retype(password, QString::fromLatin1(c.password));
            if (use->isChecked() != c.use)
                QTest::mouseClick(use, Qt::LeftButton);
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        });
        ASSERT_EQ(sheet.DoModal(), kIdOk);
        auto settings = config.GetSettings();
        EXPECT_EQ(settings->useNTAuthentication, c.use ? 1u : 0u);
        EXPECT_EQ(settings->ntDomain, c.domain);
        EXPECT_EQ(settings->ntAnonUser, c.user);
        EXPECT_EQ(settings->ntAnonPassword, c.password);
        EXPECT_EQ(sheet.m_bRestart, 0);
    }
}

TEST(NTAuthPage, Screenshot)
{
    CHTTPServerConfig config;
    SetNT(config, 1, "TESSALINE", "guest", "secret");
    CPropertySheetPlus sheet(QStringLiteral("HTTP Server"), nullptr);
    sheet.AddPage(std::make_unique<CNTAuthPage>())->SetConfig(&config);
    sheet.show();
    SaveScreenshot(sheet, "nt_auth_page");
    sheet.hide();
}

} // namespace
