#pragma once
// CSSLPage: a server's SSL switches and its four SSL texts (private key,
// public key, certificate request, signed certificate). The texts are
// viewed in a sheet of read-only pages, the signed certificate and the
// private key are set by typing or pasting, and a new key pair is made
// with its certificate request. Everything is edited on the sheet's
// configuration (an HTTP server's or a chat room's); the sheet's owner
// saves it. A sheet that knows the other servers' sockets passes a test
// that refuses an SSL port one of them holds.

#include "app/kit/property_page.h"
#include "config/service_config.h"

#include <functional>
#include <memory>

namespace Ui {
class SSLPage;
}

inline constexpr unsigned kSSLOverwriteKeyId = 2080;
inline constexpr unsigned kSSLViewerCaptionId = 2081;
inline constexpr unsigned kSSLGenerateFailedId = 2082;
inline constexpr unsigned kSSLGeneratedId = 2083;
inline constexpr std::int32_t kMaxSSLPort = 65535;

class CSSLPage : public CPropertyPage {
    Q_OBJECT
public:
    // True when the configuration's SSL port (as exchanged) cannot be had.
    using PortTest = std::function<bool(const CServiceConfig& config)>;

    // Config is a server's or a room's configuration (which publish their
    // service values).
    template <class Config>
    explicit CSSLPage(Config& config, PortTest sslPortTaken = {})
        : CSSLPage(config, [&config](std::shared_ptr<const CServiceSettings> s) { config.SetSettings(std::move(s)); },
                   std::move(sslPortTaken))
    {
    }
    ~CSSLPage() override;
    void SetPortTest(PortTest sslPortTaken) { m_sslPortTaken = std::move(sslPortTaken); }

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    using Publish = std::function<void(std::shared_ptr<const CServiceSettings>)>;
    CSSLPage(CServiceConfig& config, Publish publish, PortTest sslPortTaken);

    void OnGenerateRequest();
    void OnViewCertificates();
    void OnSetSignedCertificate();
    void OnSetPrivateKey();
    // Publishes a changed copy of the configuration's settings.
    template <class Change>
    void ChangeSettings(Change change);

    std::unique_ptr<Ui::SSLPage> m_ui;
    CServiceConfig* m_config;
    Publish m_publish;
    // The service part as filled: the page changes nothing else.
    CServiceConfig m_original;
    PortTest m_sslPortTaken;
};

// The SSL page of one server's sheet.
template <class Config>
std::unique_ptr<CPropertyPage> MakeSSLPage(Config& config, CSSLPage::PortTest sslPortTaken = {})
{
    return std::make_unique<CSSLPage>(config, std::move(sslPortTaken));
}
