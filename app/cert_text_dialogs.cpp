#include "app/cert_text_dialogs.h"

#include "app/data_exchange.h"
#include "app/message_box.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Room for one 64-character line of a text beside its scroll bar.
constexpr int kTextColumns = 68;
constexpr int kTextRows = 16;

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int id)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setProperty("controlId", id);
    return button;
}

// The text edit every certificate page and dialog shows: fixed-width, wide
// enough for a whole line, not wrapped, so each stored line reads as one.
QPlainTextEdit* MakeTextEdit(QWidget* parent, const char* name, bool readOnly)
{
    auto* edit = new QPlainTextEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setProperty("controlId", kCertTextEditId);
    edit->setReadOnly(readOnly);
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
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
    return edit;
}

QLabel* MakeLabel(QWidget* parent, const char* text, QWidget* buddy)
{
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setBuddy(buddy);
    return label;
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

void CCertTextPage::SetupUi()
{
    setObjectName(QStringLiteral("certTextPage%1").arg(m_form.id));
    m_edit = MakeTextEdit(this, "certTextEdit", true);
    auto* copy = MakeButton(this, "copyButton", QStringLiteral("&Copy"), kCertCopyButtonId);
    auto* layout = new QGridLayout(this);
    layout->addWidget(MakeLabel(this, m_form.label, m_edit), 0, 0);
    layout->addWidget(m_edit, 1, 0);
    layout->addWidget(copy, 1, 1, Qt::AlignTop);
    connect(copy, &QPushButton::clicked, this, &CCertTextPage::OnCopy);
}

void CCertTextPage::DoDataExchange(CDataExchange& dx)
{
    // Shown only: nothing goes back.
    if (!dx.m_bSaveAndValidate) {
        std::string shown = WithoutCarriageReturns(m_text);
        dx.Text(m_edit, shown);
    }
}

void CCertTextPage::OnCopy()
{
    SelectAll(m_edit);
    m_edit->copy();
}

CCertTextDialog::CCertTextDialog(const CertTextTemplate& form, QWidget* parent)
    : CExchangeDialog(parent), m_form(form)
{
}

void CCertTextDialog::SetupUi()
{
    setObjectName(QStringLiteral("certTextDialog%1").arg(m_form.id));
    setWindowTitle(QString::fromLatin1(m_form.caption));
    m_edit = MakeTextEdit(this, "certTextEdit", false);
    auto* ok = MakeButton(this, "okButton", QStringLiteral("OK"), kIdOk);
    ok->setAutoDefault(false);
    auto* cancel = MakeButton(this, "cancelButton", QStringLiteral("Cancel"), kIdCancel);
    cancel->setAutoDefault(false);
    auto* paste = MakeButton(this, "pasteButton", QStringLiteral("&Paste"), m_form.pasteId);
    paste->setAutoDefault(false);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addWidget(paste);
    buttons->addStretch();
    auto* layout = new QGridLayout(this);
    layout->addWidget(MakeLabel(this, m_form.label, m_edit), 0, 0);
    layout->addWidget(m_edit, 1, 0);
    layout->addLayout(buttons, 1, 1);
    connect(ok, &QPushButton::clicked, this, &CCertTextDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &CCertTextDialog::reject);
    connect(paste, &QPushButton::clicked, this, &CCertTextDialog::OnPaste);
}

void CCertTextDialog::DoDataExchange(CDataExchange& dx)
{
    std::string text = WithoutCarriageReturns(m_text);
    dx.Text(m_edit, text);
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
    SelectAll(m_edit);
    m_edit->paste();
}

CGenerateCertReqDialog::CGenerateCertReqDialog(QWidget* parent) : CExchangeDialog(parent) {}

void CGenerateCertReqDialog::SetupUi()
{
    setObjectName(QStringLiteral("generateCertReqDialog"));
    setWindowTitle(QStringLiteral("Generate Certificate Request"));
    auto* form = new QFormLayout;
    auto field = [&](QLineEdit*& edit, const char* name, const char* label, int id) {
        edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setProperty("controlId", id);
        form->addRow(MakeLabel(this, label, edit), edit);
    };
    field(m_organization, "organizationEdit", "&Organization:", 1072);
    field(m_unit, "organizationalUnitEdit", "Organizational &unit:", 1073);
    field(m_commonName, "commonNameEdit", "Co&mmon name (typically the server name):", 1074);
    field(m_locality, "localityEdit", "&Locality:", 1075);
    field(m_state, "stateEdit", "&State:", 1070);
    field(m_country, "countryEdit", "&Country:", 1071);
    m_commonName->setMinimumWidth(QFontMetrics(m_commonName->font()).horizontalAdvance(QLatin1Char('M')) * 24);
    auto* generate = MakeButton(this, "generateButton", QStringLiteral("Generate"), kIdOk);
    generate->setDefault(true);
    auto* cancel = MakeButton(this, "cancelButton", QStringLiteral("Cancel"), kIdCancel);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(generate);
    buttons->addWidget(cancel);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(form, 1);
    layout->addLayout(buttons);
    connect(generate, &QPushButton::clicked, this, &CGenerateCertReqDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &CGenerateCertReqDialog::reject);
}

void CGenerateCertReqDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_organization, m_fields.organization);
    dx.Text(m_unit, m_fields.unit);
    dx.Text(m_commonName, m_fields.commonName);
    dx.Text(m_locality, m_fields.locality);
    dx.Text(m_state, m_fields.state);
    dx.Text(m_country, m_fields.country);
    dx.MaxChars(m_fields.country, kMaxCountryChars);
}
