#pragma once
// The SSL texts shown and edited one at a time, in a fixed-width font:
// CCertTextPage, a read-only page of the certificate viewer with Copy;
// CCertTextDialog, a modal dialog editing a text with Paste, which replaces
// the whole text by what the clipboard holds; and CGenerateCertReqDialog,
// the names a new certificate request is made for.

#include "app/kit/exchange_dialog.h"
#include "app/kit/property_page.h"
#include "app/shared/key_pair_request.h"

#include <memory>
#include <string>

namespace Ui {
class CertTextPage;
class CertTextDialog;
class GenerateCertReqDialog;
}

inline constexpr int kCertTextEditId = 1053;
inline constexpr int kCertCopyButtonId = 1180;
inline constexpr int kMaxCountryChars = 2;

// Which text a page or dialog shows: its caption, its label and, for a
// dialog, its Paste button's number.
struct CertTextTemplate {
    int id;
    const char* caption;
    const char* label;
    int pasteId;
};

inline constexpr CertTextTemplate kCertRequestTemplate{177, "Certificate Request", "&Certificate Request:", 0};
inline constexpr CertTextTemplate kSignedCertTemplate{178, "Signed Certificate", "&Signed certificate:", 0};
inline constexpr CertTextTemplate kPrivateKeyTemplate{179, "Private Key", "&Private Key:", 0};
inline constexpr CertTextTemplate kPublicKeyTemplate{180, "Public Key", "&Public Key:", 0};
inline constexpr CertTextTemplate kSetSignedCertTemplate{174, "Set SSL Signed Certificate", "&Signed certificate:",
                                                         1174};
inline constexpr CertTextTemplate kSetPrivateKeyTemplate{181, "Set Private Key", "&RSA Private Key:", 1077};

class CCertTextPage : public CPropertyPage {
    Q_OBJECT
public:
    CCertTextPage(const CertTextTemplate& form, std::string text);
    ~CCertTextPage() override;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void OnCopy();

    std::unique_ptr<Ui::CertTextPage> m_ui;
    const CertTextTemplate& m_form;
    std::string m_text;
};

class CCertTextDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CCertTextDialog(const CertTextTemplate& form, QWidget* parent);
    ~CCertTextDialog() override;

    std::string m_text;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void OnPaste();

    std::unique_ptr<Ui::CertTextDialog> m_ui;
    const CertTextTemplate& m_form;
};

class CGenerateCertReqDialog : public CExchangeDialog {
    Q_OBJECT
public:
    explicit CGenerateCertReqDialog(QWidget* parent);
    ~CGenerateCertReqDialog() override;

    CertRequestFields m_fields;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::GenerateCertReqDialog> m_ui;
};
