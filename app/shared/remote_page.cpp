#include "app/shared/remote_page.h"

#include "ui_remote_page.h"

#include "app/kit/message_box.h"
#include "app/restart_service.h"
#include "app/settings_sheet.h"
#include "platform/remote_registry.h"

#include <QCursor>
#include <QGuiApplication>

CRemotePage::CRemotePage(const CSettingsPageVariant* variant)
    : CPropertyPage(QStringLiteral("Remote")), m_variant(variant)
{
}

CRemotePage::~CRemotePage() = default;

void CRemotePage::SetupUi()
{
    m_ui = std::make_unique<Ui::RemotePage>();
    m_ui->setupUi(this);
    connect(m_ui->hostEdit, &QLineEdit::textChanged, this, [this] { UpdateConnect(); });
    connect(m_ui->connectButton, &QPushButton::clicked, this, [this] { OnConnect(); });
}

bool CRemotePage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    UpdateConnect();
    return result;
}

void CRemotePage::UpdateConnect() { m_ui->connectButton->setEnabled(!m_ui->hostEdit->text().isEmpty()); }

void CRemotePage::OnConnect()
{
    std::string host = m_ui->hostEdit->text().toStdString();
    std::unique_ptr<platform::RemoteRegistry> remote;
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    std::string why;
    int connected = platform::RemoteRegistry::Connect(host, remote, &why);
    QGuiApplication::restoreOverrideCursor();
    if (connected != platform::kErrorSuccess) {
        // The designed text alone hid what went wrong (a refused login, an
        // unknown host, no ssh); the shell's own words follow it.
        QString text = LoadQString(kRemoteConnectFailedStringId);
        if (!why.empty())
            text += QStringLiteral("\n\nReason: %1").arg(QString::fromStdString(why));
        VelmoraMessageBox(this, text, kMbOk, kRemoteConnectFailedStringId);
        return;
    }
    // The sheet and its keys end before the connection does.
    int restart = RunSettingsSheet(this, remote->LocalMachine(), remote->Host().c_str(), m_variant);
    if (restart && VelmoraMessageBox(this, kRemoteRestartPromptStringId, kMbYesNo) == kIdYes) {
        platform::RemoteServiceControl service(*remote, kRemoteServiceName);
        if (!RestartService(service))
            VelmoraMessageBox(this, kRestartFailedStringId, kMbOk);
    }
}

std::unique_ptr<CPropertyPage> MakeRemotePage(const CSettingsPageVariant* variant)
{
    return std::make_unique<CRemotePage>(variant);
}
