#include "app/kit/nested_sheet.h"

#include "app/kit/message_box.h"

CNestedSheet::CNestedSheet(CPropertyPage& owner, unsigned captionId)
    : CNestedSheet(owner, LoadQString(captionId))
{
}

CNestedSheet::CNestedSheet(CPropertyPage& owner, const QString& caption)
    : m_owner(owner), m_sheet(caption, &owner)
{
}

bool CNestedSheet::Run()
{
    if (m_sheet.DoModal() != kIdOk)
        return false;
    if (m_sheet.m_bRestart)
        m_owner.SetRestart();
    return true;
}
