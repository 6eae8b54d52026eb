#pragma once
// CAccessControlPage: a server's global access list and its bind address,
// on the sheet of any server that holds them. An HTTP server's sheet (and
// the web-remote sheet) gets the layout with File ACLs and the traversal
// check; a chat room's or the proxy's sheet gets the plain one:
//
//     sheet.AddPage(MakeAccessControlPage(room));      // CChatRoomConfig
//     sheet.AddPage(MakeAccessControlPage(httpServer)); // CHTTPServerConfig
//
// The global list is edited in place in the configuration copy and saved
// with the sheet. A changed address marks the sheet for a restart (the
// configuration's own NeedsRestart against the values it had when the page
// was filled).

#include "app/kit/property_page.h"
#include "config/service_config.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

class CHTTPServerConfig;
class QCheckBox;
class QLineEdit;
class QPushButton;

inline constexpr unsigned kInvalidAddressStringId = 2074;
// The address field holds a dotted address and no more.
inline constexpr int kMaxBindAddressChars = 16;

// The address as "%d.%d.%d.%d", first octet from the lowest byte.
std::string FormatBindAddress(std::uint32_t address);

class CAccessControlPage : public CPropertyPage {
    Q_OBJECT
public:
    // Publishes the service values of the configuration edited (each kind of
    // configuration offers its own SetSettings).
    using PublishSettings = std::function<void(std::shared_ptr<const CServiceSettings>)>;

    // Without HTTP: the plain layout.
    CAccessControlPage(CServiceConfig& config, PublishSettings publish);
    // An HTTP server: File ACLs and the traversal check.
    explicit CAccessControlPage(CHTTPServerConfig& config);
    ~CAccessControlPage() override;

    void OnGlobalACL();
    void OnFileACLs();

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    CServiceConfig& m_config;
    CHTTPServerConfig* m_http;
    PublishSettings m_publish;
    std::unique_ptr<CServiceConfig> m_snapshot;
    std::string m_ipText;
    QPushButton* m_globalACL = nullptr;
    QPushButton* m_fileACLs = nullptr;
    QLineEdit* m_ipAddress = nullptr;
    QCheckBox* m_traverseChecking = nullptr;
    std::shared_ptr<void> m_form; // the Ui object of the layout in use
};

template <class Config>
std::unique_ptr<CAccessControlPage> MakeAccessControlPage(Config& config)
{
    if constexpr (std::is_base_of_v<CHTTPServerConfig, Config>)
        return std::make_unique<CAccessControlPage>(config);
    else
        return std::make_unique<CAccessControlPage>(
            config, [&config](std::shared_ptr<const CServiceSettings> settings) { config.SetSettings(std::move(settings)); });
}
