#include "app/http/nt_auth_page.h"

#include "ui_nt_auth_page.h"

CNTAuthPage::CNTAuthPage() : CPropertyPage(QStringLiteral("NT Authentication")) {}

CNTAuthPage::~CNTAuthPage() = default;

void CNTAuthPage::SetupUi()
{
    m_ui = std::make_unique<Ui::NTAuthPage>();
    m_ui->setupUi(this);
}

void CNTAuthPage::DoDataExchange(CDataExchange& dx)
{
    if (!m_config)
        return;
    CServiceSettings service = *m_config->GetSettings();
    dx.Text(m_ui->ntDomainEdit, service.ntDomain);
    dx.Text(m_ui->ntAnonPasswordEdit, service.ntAnonPassword);
    dx.Text(m_ui->ntAnonUserEdit, service.ntAnonUser);
    dx.Check(m_ui->useNTAuthenticationCheck, service.useNTAuthentication);
    if (!dx.m_bSaveAndValidate) {
        m_original = *m_config;
        return;
    }
    m_config->SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    if (m_config->NeedsRestart(m_original))
        SetRestart();
}
