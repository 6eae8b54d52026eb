#include "app/shared/edit_string_dialog.h"

#include "ui_edit_string_dialog.h"

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "macro/macro_context.h"
#include "platform/ascii.h"
#include "resources/string_table.h"

#include <QLineEdit>

#include <set>

namespace {

void InsertSorted(QComboBox* combo, const QString& text)
{
    int row = 0;
    while (row < combo->count() && !LessIgnoringCase(text, combo->itemText(row)))
        ++row;
    combo->insertItem(row, text);
}

} // namespace

bool ScopeHoldsString(const CMacroContext& scope, const std::string& name)
{
    std::string held;
    std::string text;
    for (CMacroContext::Position at = scope.GetStartPosition(); at != CMacroContext::kNoPosition;) {
        scope.GetNextMacro(at, held, text);
        if (held == name)
            return true;
    }
    return false;
}

CEditStringDialog::CEditStringDialog(CMacroContext& scope, const DefaultStringRow* table, QWidget* parent)
    : CExchangeDialog(parent), m_scope(scope), m_table(table)
{
}

CEditStringDialog::~CEditStringDialog() = default;

void CEditStringDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::EditStringDialog>();
    m_ui->setupUi(this);
    m_ui->stringNameCombo->lineEdit()->setMaxLength(kMaxStringNameChars);
    // A typed name stays as typed: no completion from the list.
    m_ui->stringNameCombo->setCompleter(nullptr);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CEditStringDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CEditStringDialog::reject);
    connect(m_ui->stringNameCombo, &QComboBox::editTextChanged, this, &CEditStringDialog::UpdateDefault);
    connect(m_ui->stringNameCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0)
            m_ui->stringNameCombo->setEditText(m_ui->stringNameCombo->itemText(index));
        UpdateDefault();
    });
}

bool CEditStringDialog::OnInitDialog()
{
    const std::string kept = Name;
    bool result = CExchangeDialog::OnInitDialog();
    QComboBox* combo = m_ui->stringNameCombo;
    {
        QSignalBlocker quiet(combo);
        std::set<std::string> offered;
        for (const DefaultStringRow* row = m_table; row && row->name; ++row)
            if (offered.insert(row->name).second)
                InsertSorted(combo, QString::fromLatin1(row->name));
        combo->setCurrentIndex(-1);
        combo->setEditText(QString::fromStdString(kept));
    }
    UpdateDefault();
    return result;
}

void CEditStringDialog::UpdateDefault()
{
    const QString name = m_ui->stringNameCombo->currentText();
    m_ui->okButton->setEnabled(!name.isEmpty());
    const std::string wanted = name.toStdString();
    for (const DefaultStringRow* row = m_table; row && row->name; ++row) {
        if (platform::EqualsIgnoringCase(row->name, wanted)) {
            m_ui->defaultTextEdit->setPlainText(QString::fromLatin1(LoadDefaultText(*row).c_str()));
            m_ui->descriptionLabel->setText(LoadQString(row->descriptionId));
            return;
        }
    }
    m_ui->defaultTextEdit->setPlainText(QString::fromLatin1(kNoDefaultText));
    m_ui->descriptionLabel->clear();
}

void CEditStringDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->stringTextEdit, Text);
    dx.MaxChars(Text, kMaxStringTextChars);
    dx.ComboString(m_ui->stringNameCombo, Name);
    dx.MaxChars(Name, kMaxStringNameChars);
    if (dx.m_bSaveAndValidate && ScopeHoldsString(m_scope, FoldKey(Name))) {
        VelmoraMessageBox(this, kStringDuplicateId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
}
