#include "app/shared/ssl_page.h"

#include "ui_ssl_page.h"

#include "app/shared/cert_text_dialogs.h"
#include "app/kit/data_exchange.h"
#include "app/kit/message_box.h"
#include "app/http/http_general_page.h"
#include "app/shared/listening_ports.h"
#include "app/kit/nested_sheet.h"

#include <QApplication>

namespace {

// The wait cursor for as long as the generation blocks the window.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace

CSSLPage::CSSLPage(CServiceConfig& config, Publish publish, PortTest sslPortTaken)
    : CPropertyPage(QStringLiteral("SSL")), m_config(&config), m_publish(std::move(publish)),
      m_sslPortTaken(std::move(sslPortTaken))
{
}

CSSLPage::~CSSLPage() = default;

void CSSLPage::SetupUi()
{
    m_ui = std::make_unique<Ui::SSLPage>();
    m_ui->setupUi(this);
    connect(m_ui->generateRequestButton, &QPushButton::clicked, this, &CSSLPage::OnGenerateRequest);
    connect(m_ui->viewCertificatesButton, &QPushButton::clicked, this, &CSSLPage::OnViewCertificates);
    connect(m_ui->setSignedCertificateButton, &QPushButton::clicked, this, &CSSLPage::OnSetSignedCertificate);
    connect(m_ui->setPrivateKeyButton, &QPushButton::clicked, this, &CSSLPage::OnSetPrivateKey);
}

void CSSLPage::DoDataExchange(CDataExchange& dx)
{
    CServiceSettings settings = *m_config->GetSettings();
    auto port = static_cast<std::int32_t>(settings.sslPort);
    dx.Check(m_ui->useSSLCheck, settings.useSSL);
    dx.Text(m_ui->sslPortEdit, port);
    dx.MinMaxInt(port, kMinListeningPort, kMaxSSLPort);
    dx.Check(m_ui->sslOnlyCheck, settings.sslOnly);
    if (!dx.m_bSaveAndValidate) {
        m_original = *m_config;
        return;
    }
    settings.sslPort = static_cast<std::uint32_t>(port);
    m_publish(std::make_shared<const CServiceSettings>(std::move(settings)));
    if (m_sslPortTaken && m_sslPortTaken(*m_config)) {
        dx.PrepareControl(m_ui->sslPortEdit);
        VelmoraMessageBox(this, kPortTakenStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    if (m_config->NeedsRestart(m_original))
        SetRestart();
}

template <class Change>
void CSSLPage::ChangeSettings(Change change)
{
    CServiceSettings settings = *m_config->GetSettings();
    change(settings);
    m_publish(std::make_shared<const CServiceSettings>(std::move(settings)));
}

void CSSLPage::OnGenerateRequest()
{
    if (!m_config->GetSettings()->privKey.empty() &&
        VelmoraMessageBox(this, kSSLOverwriteKeyId, kMbYesNo | kMbDefButton2) != kIdYes)
        return;
    // The dialog keeps what was typed, so a failed attempt is offered again
    // with its values.
    CGenerateCertReqDialog dialog(this);
    for (;;) {
        if (dialog.DoModal() != kIdOk)
            return;
        GeneratedKeyTexts texts;
        int status;
        {
            WaitCursor wait;
            status = GenerateKeyTexts(dialog.m_fields, texts);
        }
        if (status == 0) {
            // The key, its public half and its request are replaced together;
            // the signed certificate stays as it was.
            ChangeSettings([&](CServiceSettings& s) {
                s.privKey = std::move(texts.privKey);
                s.pubKey = std::move(texts.pubKey);
                s.certReq = std::move(texts.certReq);
            });
            VelmoraMessageBox(this, kSSLGeneratedId);
            return;
        }
        VelmoraMessageBox(this, kSSLGenerateFailedId);
    }
}

void CSSLPage::OnViewCertificates()
{
    std::shared_ptr<const CServiceSettings> settings = m_config->GetSettings();
    CNestedSheet viewer(*this, kSSLViewerCaptionId);
    viewer.Sheet().AddPage(std::make_unique<CCertTextPage>(kCertRequestTemplate, settings->certReq));
    viewer.Sheet().AddPage(std::make_unique<CCertTextPage>(kSignedCertTemplate, settings->signedCert));
    viewer.Sheet().AddPage(std::make_unique<CCertTextPage>(kPublicKeyTemplate, settings->pubKey));
    viewer.Sheet().AddPage(std::make_unique<CCertTextPage>(kPrivateKeyTemplate, settings->privKey));
    viewer.Run();
}

void CSSLPage::OnSetSignedCertificate()
{
    CCertTextDialog dialog(kSetSignedCertTemplate, this);
    dialog.m_text = m_config->GetSettings()->signedCert;
    if (dialog.DoModal() == kIdOk)
        ChangeSettings([&](CServiceSettings& s) { s.signedCert = dialog.m_text; });
}

void CSSLPage::OnSetPrivateKey()
{
    CCertTextDialog dialog(kSetPrivateKeyTemplate, this);
    dialog.m_text = m_config->GetSettings()->privKey;
    if (dialog.DoModal() == kIdOk)
        ChangeSettings([&](CServiceSettings& s) { s.privKey = dialog.m_text; });
}
