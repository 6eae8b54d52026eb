#include "app/kit/property_page.h"

#include "app/kit/property_sheet_plus.h"

CPropertyPage::CPropertyPage(const QString& title, QWidget* parent)
    : QWidget(parent), CExchangeHost(this), m_title(title)
{
}

CPropertyPage::~CPropertyPage() = default;

void CPropertyPage::SetRestart()
{
    if (m_sheet)
        m_sheet->m_bRestart = 1;
}
