#include "app/http/logging_page.h"

#include "ui_logging_page.h"

#include "app/http/http_general_page.h"
#include "app/kit/message_box.h"
#include "config/config_lists.h"
#include "config/http_server_config.h"

CLoggingPage::CLoggingPage(CHTTPServerConfig& config, CHTTPServerConfigList* servers)
    : CPropertyPage(QStringLiteral("Logging")), m_config(config), m_servers(servers)
{
}

CLoggingPage::~CLoggingPage() = default;

void CLoggingPage::SetupUi()
{
    m_ui = std::make_unique<Ui::LoggingPage>();
    m_ui->setupUi(this);
}

void CLoggingPage::DoDataExchange(CDataExchange& dx)
{
    CServiceSettings service = *m_config.GetSettings();
    CHTTPSettings http = *m_config.GetHTTPSettings();

    dx.Text(m_ui->logFileEdit, service.logFile);
    dx.MaxChars(service.logFile, kMaxServerPathChars);
    dx.Text(m_ui->logMacroEdit, http.logMacro);
    dx.Check(m_ui->cclfCheck, http.cclf);
    if (!dx.m_bSaveAndValidate)
        return;

    const std::string logFile = service.logFile;
    m_config.SetSettings(std::make_shared<const CServiceSettings>(std::move(service)));
    m_config.SetHTTPSettings(std::make_shared<const CHTTPSettings>(std::move(http)));
    if (!logFile.empty() && m_servers && m_servers->FindByLogFile(logFile)) {
        VelmoraMessageBox(this, kLogFileTakenStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
}
