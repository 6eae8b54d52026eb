#include "app/shared/macro_dialog.h"

#include "ui_macro_dialog.h"

CMacroDialog::CMacroDialog(QWidget* parent) : CExchangeDialog(parent) {}

CMacroDialog::~CMacroDialog() = default;

void CMacroDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::MacroDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CMacroDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CMacroDialog::reject);
}

void CMacroDialog::DoDataExchange(CDataExchange& dx) { dx.Text(m_ui->macroEdit, Macro); }
