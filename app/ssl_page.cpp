#include "app/ssl_page.h"

#include "app/cert_text_dialogs.h"
#include "app/data_exchange.h"
#include "app/message_box.h"
#include "app/http_general_page.h"
#include "app/nested_sheet.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

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

void CSSLPage::SetupUi()
{
    setObjectName(QStringLiteral("sslPage"));
    auto check = [this](const char* name, const char* text, int id) {
        auto* box = new QCheckBox(QString::fromLatin1(text), this);
        box->setObjectName(QString::fromLatin1(name));
        box->setProperty("controlId", id);
        return box;
    };
    auto button = [this](const char* name, const char* text, int id) {
        auto* made = new QPushButton(QString::fromLatin1(text), this);
        made->setObjectName(QString::fromLatin1(name));
        made->setProperty("controlId", id);
        return made;
    };
    m_useSSL = check("useSSLCheck", "Use &SSL", 1067);
    m_sslOnly = check("sslOnlyCheck", "&Allow only secure connections", 1072);
    m_port = new QLineEdit(this);
    m_port->setObjectName(QStringLiteral("sslPortEdit"));
    m_port->setProperty("controlId", 1000);
    m_port->setMaximumWidth(QFontMetrics(m_port->font()).horizontalAdvance(QLatin1Char('0')) * 10);
    auto* portLabel = new QLabel(QStringLiteral("SSL &Port:"), this);
    portLabel->setBuddy(m_port);
    auto* note = new QLabel(QStringLiteral("443 is the default port number for https"), this);
    auto* view = button("viewCertificatesButton", "&View certificate information...", 1069);
    auto* generate = button("generateRequestButton", "&Generate certificate request...", 1068);
    auto* setCert = button("setSignedCertificateButton", "&Set signed certificate...", 1070);
    auto* setKey = button("setPrivateKeyButton", "Set &private key...", 1071);

    auto* layout = new QGridLayout(this);
    layout->addWidget(m_useSSL, 0, 0, 1, 3);
    layout->addWidget(m_sslOnly, 1, 0, 1, 3);
    layout->addWidget(portLabel, 2, 0);
    layout->addWidget(m_port, 2, 1);
    layout->addWidget(note, 3, 0, 1, 3);
    int row = 4;
    for (QPushButton* b : {view, generate, setCert, setKey})
        layout->addWidget(b, row++, 0, 1, 2);
    layout->setColumnStretch(2, 1);
    layout->setRowStretch(row, 1);

    connect(generate, &QPushButton::clicked, this, &CSSLPage::OnGenerateRequest);
    connect(view, &QPushButton::clicked, this, &CSSLPage::OnViewCertificates);
    connect(setCert, &QPushButton::clicked, this, &CSSLPage::OnSetSignedCertificate);
    connect(setKey, &QPushButton::clicked, this, &CSSLPage::OnSetPrivateKey);
}

void CSSLPage::DoDataExchange(CDataExchange& dx)
{
    CServiceSettings settings = *m_config->GetSettings();
    auto port = static_cast<std::int32_t>(settings.sslPort);
    dx.Check(m_useSSL, settings.useSSL);
    dx.Text(m_port, port);
    dx.MinMaxInt(port, 0, kMaxSSLPort);
    dx.Check(m_sslOnly, settings.sslOnly);
    if (!dx.m_bSaveAndValidate) {
        m_original = *m_config;
        return;
    }
    settings.sslPort = static_cast<std::uint32_t>(port);
    m_publish(std::make_shared<const CServiceSettings>(std::move(settings)));
    if (m_sslPortTaken && m_sslPortTaken(*m_config)) {
        dx.PrepareControl(m_port);
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
