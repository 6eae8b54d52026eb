#include "app/exchange_host.h"

void CExchangeHost::EnsureCreated()
{
    if (m_created)
        return;
    m_created = true;
    SetupUi();
    OnInitDialog();
}

bool CExchangeHost::OnInitDialog()
{
    UpdateData(false);
    return true;
}

bool CExchangeHost::UpdateData(bool saveAndValidate)
{
    CDataExchange dx(m_window, saveAndValidate);
    try {
        DoDataExchange(dx);
    } catch (const CDataExchangeFailure&) {
        return false;
    }
    return true;
}
