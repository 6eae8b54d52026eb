#pragma once
// CSSLPage: a server's SSL switches and its four SSL texts (private key,
// public key, certificate request, signed certificate). The texts are
// viewed in a sheet of read-only pages, the signed certificate and the
// private key are set by typing or pasting, and a new key pair is made
// with its certificate request. Everything is edited on the sheet's
// configuration; the sheet's owner saves it.

#include "app/property_page.h"
#include "config/http_server_config.h"

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
    explicit CSSLPage(CHTTPServerConfig& config);
    ~CSSLPage() override;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void OnGenerateRequest();
    void OnViewCertificates();
    void OnSetSignedCertificate();
    void OnSetPrivateKey();
    // Publishes a changed copy of the configuration's settings.
    template <class Change>
    void ChangeSettings(Change change);

    std::unique_ptr<Ui::SSLPage> m_ui;
    CHTTPServerConfig* m_config;
    CHTTPServerConfig m_original;
};

// The SSL page of one server's sheet.
std::unique_ptr<CPropertyPage> MakeSSLPage(CHTTPServerConfig& config);
