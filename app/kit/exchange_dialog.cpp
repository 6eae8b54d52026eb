#include "app/kit/exchange_dialog.h"

#include "app/kit/modal_runner.h"

CExchangeDialog::CExchangeDialog(QWidget* parent) : QDialog(parent), CExchangeHost(this) { setModal(true); }

CExchangeDialog::~CExchangeDialog() = default;

int CExchangeDialog::DoModal()
{
    EnsureCreated();
    return RunModal(*this);
}

void CExchangeDialog::setVisible(bool visible)
{
    if (visible)
        EnsureCreated();
    QDialog::setVisible(visible);
}

void CExchangeDialog::accept()
{
    if (!UpdateData(true) || !OnOK())
        return;
    QDialog::accept();
}
