// The Servers page as a person sees it, saved as a test artefact. What its
// nested sheets do is tested against a real hive in settings_pages_test.

#include "app/kit/property_sheet_plus.h"
#include "app/shared/servers_page.h"
#include "app_fixture.h"
#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "proxy/proxy_settings.h"

#include <QPushButton>

#include <filesystem>

namespace {

TEST(ServersPage, Screenshot)
{
    CHTTPGlobalConfig http;
    CChatGlobalConfig chat;
    CHTTPProxySettings proxy;
    CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
    auto* page = sheet.AddPage(std::make_unique<CServersPage>(http, chat, proxy));
    sheet.show();
    QApplication::processEvents();
    ASSERT_TRUE(page->IsCreated());
    EXPECT_EQ(Control<QPushButton>(sheet, 1062)->text(), "&HTTP Servers...");
    EXPECT_EQ(Control<QPushButton>(sheet, 1063)->text(), "&ChatRooms...");
    EXPECT_EQ(Control<QPushButton>(sheet, 1064)->text(), "HTTP &Proxy...");
    std::filesystem::path file = ArtefactPath("servers_page.png");
    ASSERT_TRUE(sheet.grab().save(QString::fromStdString(file.string())));
    EXPECT_GT(std::filesystem::file_size(file), 1000u);
    sheet.hide();
}

} // namespace
