#pragma once
// CHTTPGeneralPage: one HTTP server's basic values: enabled, port,
// description, document root, browsing, reverse lookups, default file,
// client limit and the two time-outs. It refuses a port and address pair
// another server of the list already uses, and marks the sheet for a
// restart when the configuration's own restart test says so against the
// values it had when the page was filled (a new description does not; a
// new port does).

#include "app/kit/property_page.h"
#include "config/http_server_config.h"

#include <cstdint>
#include <memory>

namespace Ui {
class HTTPGeneralPage;
}

class CHTTPServerConfigList;

inline constexpr unsigned kPortTakenStringId = 2051;
// Ports, client limits and time-outs are 16-bit values in the registry's
// editors; a typed value up to this is taken.
inline constexpr std::uint32_t kMaxGeneralValue = 65535;
// The arrows step only through the positive range of a short.
inline constexpr int kGeneralSpinUpper = 32767;
// Paths the file system takes.
inline constexpr int kMaxServerPathChars = 260;

class CHTTPGeneralPage : public CPropertyPage {
    Q_OBJECT
public:
    // servers holds the other servers (this one is out of it while its
    // sheet runs); it may be null.
    CHTTPGeneralPage(CHTTPServerConfig& config, CHTTPServerConfigList* servers);
    ~CHTTPGeneralPage() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::HTTPGeneralPage> m_ui;
    CHTTPServerConfig& m_config;
    CHTTPServerConfigList* m_servers;
    CHTTPServerConfig m_snapshot;
};
