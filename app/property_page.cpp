#include "app/property_page.h"

#include "app/property_sheet_plus.h"

CPropertyPage::CPropertyPage(const QString& title, QWidget* parent) : QWidget(parent), m_title(title) {}

CPropertyPage::~CPropertyPage() = default;

void CPropertyPage::SetRestart()
{
    if (m_sheet)
        m_sheet->m_bRestart = 1;
}

void CPropertyPage::EnsureCreated()
{
    if (m_created)
        return;
    m_created = true;
    SetupUi();
    OnInitDialog();
}

bool CPropertyPage::OnInitDialog()
{
    UpdateData(false);
    return true;
}

bool CPropertyPage::UpdateData(bool saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    try {
        DoDataExchange(dx);
    } catch (const CDataExchangeFailure&) {
        return false;
    }
    return true;
}
