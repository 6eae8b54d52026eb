#include "app/exchange_dialog.h"

#include "app/modal_runner.h"

CExchangeDialog::CExchangeDialog(QWidget* parent) : QDialog(parent) { setModal(true); }

CExchangeDialog::~CExchangeDialog() = default;

void CExchangeDialog::EnsureCreated()
{
    if (m_created)
        return;
    m_created = true;
    SetupUi();
    OnInitDialog();
}

int CExchangeDialog::DoModal()
{
    EnsureCreated();
    return RunModal(*this);
}

void CExchangeDialog::showEvent(QShowEvent* event)
{
    EnsureCreated();
    QDialog::showEvent(event);
}

bool CExchangeDialog::OnInitDialog()
{
    UpdateData(false);
    return true;
}

bool CExchangeDialog::UpdateData(bool saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    try {
        DoDataExchange(dx);
    } catch (const CDataExchangeFailure&) {
        return false;
    }
    return true;
}

void CExchangeDialog::accept()
{
    if (!UpdateData(true) || !OnOK())
        return;
    QDialog::accept();
}
