// Every page that takes a listening port refuses port 0 with the kit's range
// message, keeps the focus on the port and the stored port as it was, and
// takes port 1.

#include "app/chat/chat_room_general_page.h"
#include "app/http/http_general_page.h"
#include "app/proxy/proxy_pages.h"
#include "app/shared/ssl_page.h"
#include "app/shared/web_remote_page.h"
#include "config/chat_config.h"
#include "config/http_server_config.h"
#include "proxy/proxy_settings.h"
#include "page_harness.h"

#include <functional>

namespace {

TEST(ListeningPort, EveryPageRefusesPortZeroAndTakesPortOne)
{
    struct Page {
        const char* name;
        std::function<std::unique_ptr<CPropertyPage>()> make;
        std::function<std::uint32_t()> stored;
    };
    CHTTPServerConfig http;
    CHTTPServerConfig remote;
    CChatRoomConfig room;
    CHTTPProxySettings proxy;
    CHTTPServerConfig ssl;
    const Page pages[] = {
        {"HTTP General", [&] { return std::make_unique<CHTTPGeneralPage>(http, nullptr); },
         [&] { return http.GetSettings()->port; }},
        {"Web Remote", [&] { return MakeWebRemotePage(remote); }, [&] { return remote.GetSettings()->port; }},
        {"ChatRoom General", [&] { return std::make_unique<CChatRoomGeneralPage>(room, nullptr); },
         [&] { return room.GetSettings()->port; }},
        {"Proxy General", [&] { return std::make_unique<CProxyGeneralPage>(proxy); },
         [&] { return proxy.GetSettings()->port; }},
        {"SSL", [&] { return MakeSSLPage(ssl); }, [&] { return ssl.GetSettings()->sslPort; }},
    };
    for (const Page& p : pages) {
        SCOPED_TRACE(p.name);
        const std::uint32_t before = p.stored();
        ASSERT_NE(before, 0u);
        {
            PageHarness<CPropertyPage> h(p.make());
            auto* port = Control<QLineEdit>(*h.page, 1000);
            Retype(port, QStringLiteral("0"));
            EXPECT_FALSE(h.page->UpdateData(true));
            ASSERT_EQ(h.boxes.shown.size(), 1u);
            EXPECT_EQ(h.boxes.shown[0].text, "Please enter an integer between 1 and 65535.");
            EXPECT_EQ(h.sheet.focusWidget(), port);
            EXPECT_EQ(p.stored(), before) << "the stored port stays";
        }
        PageHarness<CPropertyPage> h(p.make());
        Retype(Control<QLineEdit>(*h.page, 1000), QStringLiteral("1"));
        EXPECT_TRUE(h.page->UpdateData(true));
        EXPECT_TRUE(h.boxes.shown.empty());
        EXPECT_EQ(p.stored(), 1u);
    }
}

} // namespace
