#include "app/kit/exchange_host.h"

void CExchangeHost::EnsureBuilt()
{
    if (m_built)
        return;
    m_built = true;
    SetupUi();
}

void CExchangeHost::EnsureCreated()
{
    if (m_created)
        return;
    EnsureBuilt();
    m_created = true;
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
