#pragma once
// CHTTPPerformancePage: one HTTP server's pooled threads, URL cache,
// Accept check and keep-alive time-out. The owning sheet sets the
// configuration being edited before the page is shown. Filling the fields
// keeps a copy of the whole configuration; reading them back asks the
// configuration whether it now needs a restart against that copy (the
// HTTP server's own answer, so a changed URL cache counts too, as the
// cache is sized when the server starts).

#include "app/kit/property_page.h"
#include "config/http_server_config.h"

#include <cstdint>
#include <memory>

namespace Ui {
class HTTPPerformancePage;
}

inline constexpr std::int32_t kMaxKeepAliveTimeout = 32000;
inline constexpr std::int32_t kMaxURLCacheFlushInterval = 65000;
inline constexpr int kHTTPPerformanceSpinLower = 8;
inline constexpr int kHTTPPerformanceSpinUpper = 32767;

class CHTTPPerformancePage : public CPropertyPage {
    Q_OBJECT
public:
    CHTTPPerformancePage();
    ~CHTTPPerformancePage() override;

    void SetConfig(CHTTPServerConfig* config) { m_config = config; }

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::HTTPPerformancePage> m_ui;
    CHTTPServerConfig* m_config = nullptr;
    CHTTPServerConfig m_original;
};
