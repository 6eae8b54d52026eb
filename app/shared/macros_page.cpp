#include "app/shared/macros_page.h"

#include "ui_macros_page.h"

CMacrosPage::CMacrosPage(Getter get, Setter set)
    : CPropertyPage(QStringLiteral("Macros")), m_get(std::move(get)), m_set(std::move(set))
{
}

CMacrosPage::CMacrosPage(std::string* text) : CPropertyPage(QStringLiteral("Macros"))
{
    if (!text)
        return;
    m_get = [text] { return *text; };
    m_set = [text](const std::string& edited) { *text = edited; };
}

CMacrosPage::~CMacrosPage() = default;

void CMacrosPage::SetupUi()
{
    m_ui = std::make_unique<Ui::MacrosPage>();
    m_ui->setupUi(this);
}

void CMacrosPage::DoDataExchange(CDataExchange& dx)
{
    if (!m_get || !m_set)
        return;
    if (!dx.m_bSaveAndValidate) {
        m_snapshot = m_get();
        std::string shown = m_snapshot;
        dx.Text(m_ui->initMacroEdit, shown);
        return;
    }
    std::string edited;
    dx.Text(m_ui->initMacroEdit, edited);
    m_set(edited);
    if (edited != m_snapshot)
        SetRestart();
}
