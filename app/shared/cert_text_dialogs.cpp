#include "app/shared/cert_text_dialogs.h"

#include "ui_cert_text_dialog.h"
#include "ui_cert_text_page.h"
#include "ui_generate_cert_req_dialog.h"

#include "app/kit/data_exchange.h"
#include "app/kit/message_box.h"

#include <QFontDatabase>

namespace {

// Room for one 64-character line of a text beside its scroll bar.
constexpr int kTextColumns = 68;
constexpr int kTextRows = 16;

// Every certificate page and dialog shows its text fixed-width and wide
// enough for a whole line, so each stored line reads as one.
void FitTextEdit(QPlainTextEdit* edit)
{
    QFont font(QStringLiteral("Courier"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setWeight(QFont::Normal);
    if (!QFontInfo(font).fixedPitch())
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    edit->setFont(font);
    QFontMetrics metrics(font);
    edit->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('M')) * kTextColumns,
                         metrics.lineSpacing() * kTextRows);
}

// Selects the whole text and keeps the caret in view, as Copy and Paste
// both begin.
void SelectAll(QPlainTextEdit* edit)
{
    edit->selectAll();
    edit->ensureCursorVisible();
}

// The stored texts end their lines with CR LF; the edit shows lines.
std::string WithoutCarriageReturns(const std::string& text)
{
    std::string shown;
    for (char c : text)
        if (c != '\r')
            shown += c;
    return shown;
}

} // namespace

CCertTextPage::CCertTextPage(const CertTextTemplate& form, std::string text)
    : CPropertyPage(QString::fromLatin1(form.caption)), m_form(form), m_text(std::move(text))
{
}

CCertTextPage::~CCertTextPage() = default;

void CCertTextPage::SetupUi()
{
    m_ui = std::make_unique<Ui::CertTextPage>();
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("certTextPage%1").arg(m_form.id));
    m_ui->textLabel->setText(QString::fromLatin1(m_form.label));
    FitTextEdit(m_ui->certTextEdit);
    connect(m_ui->copyButton, &QPushButton::clicked, this, &CCertTextPage::OnCopy);
}

void CCertTextPage::DoDataExchange(CDataExchange& dx)
{
    // Shown only: nothing goes back.
    if (!dx.m_bSaveAndValidate) {
        std::string shown = WithoutCarriageReturns(m_text);
        dx.Text(m_ui->certTextEdit, shown);
    }
}

void CCertTextPage::OnCopy()
{
    SelectAll(m_ui->certTextEdit);
    m_ui->certTextEdit->copy();
}

CCertTextDialog::CCertTextDialog(const CertTextTemplate& form, QWidget* parent)
    : CExchangeDialog(parent), m_form(form)
{
}

CCertTextDialog::~CCertTextDialog() = default;

void CCertTextDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::CertTextDialog>();
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("certTextDialog%1").arg(m_form.id));
    setWindowTitle(QString::fromLatin1(m_form.caption));
    m_ui->textLabel->setText(QString::fromLatin1(m_form.label));
    m_ui->pasteButton->setProperty("controlId", m_form.pasteId);
    FitTextEdit(m_ui->certTextEdit);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CCertTextDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CCertTextDialog::reject);
    connect(m_ui->pasteButton, &QPushButton::clicked, this, &CCertTextDialog::OnPaste);
}

void CCertTextDialog::DoDataExchange(CDataExchange& dx)
{
    std::string text = WithoutCarriageReturns(m_text);
    dx.Text(m_ui->certTextEdit, text);
    if (dx.m_bSaveAndValidate) {
        // Lines are kept as the stored texts end them.
        std::string stored;
        for (char c : text) {
            if (c == '\n')
                stored += '\r';
            stored += c;
        }
        m_text = std::move(stored);
    }
}

void CCertTextDialog::OnPaste()
{
    SelectAll(m_ui->certTextEdit);
    m_ui->certTextEdit->paste();
}

CGenerateCertReqDialog::CGenerateCertReqDialog(QWidget* parent) : CExchangeDialog(parent) {}

CGenerateCertReqDialog::~CGenerateCertReqDialog() = default;

void CGenerateCertReqDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::GenerateCertReqDialog>();
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("generateCertReqDialog"));
    connect(m_ui->generateButton, &QPushButton::clicked, this, &CGenerateCertReqDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CGenerateCertReqDialog::reject);
}

void CGenerateCertReqDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->organizationEdit, m_fields.organization);
    dx.Text(m_ui->organizationalUnitEdit, m_fields.unit);
    dx.Text(m_ui->commonNameEdit, m_fields.commonName);
    dx.Text(m_ui->localityEdit, m_fields.locality);
    dx.Text(m_ui->stateEdit, m_fields.state);
    dx.Text(m_ui->countryEdit, m_fields.country);
    dx.MaxChars(m_fields.country, kMaxCountryChars);
}
