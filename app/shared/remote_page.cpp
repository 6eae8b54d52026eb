#include "app/shared/remote_page.h"

#include "ui_remote_page.h"

#include "app/far_call.h"
#include "app/kit/message_box.h"
#include "app/restart_service.h"
#include "app/settings_sheet.h"
#include "platform/remote_registry.h"


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
    std::string why;
    int connected = platform::RemoteRegistry::Make(host, remote, &why);
    FarEnd ended = FarEnd::Answered;
    if (connected == platform::kErrorSuccess)
        connected = CallFarMachine(this, *remote, QStringLiteral("Connecting"),
                                   [&] { return remote->Reconnect(&why); }, &ended);
    if (connected != platform::kErrorSuccess) {
        // The designed text alone hid what went wrong (a refused login, an
        // unknown host, no ssh); the shell's own words follow it, or that
        // the user gave up waiting (the ended shell said nothing of use).
        QString text = LoadQString(kRemoteConnectFailedStringId);
        if (ended == FarEnd::GaveUp)
            text += QStringLiteral("\n\n%1").arg(FarEndReason(ended, remote->Host()));
        else if (!why.empty())
            text += QStringLiteral("\n\nReason: %1").arg(QString::fromStdString(why));
        VelmoraMessageBox(this, text, kMbOk, kRemoteConnectFailedStringId);
        return;
    }
    // The sheet and its keys end before the connection does.
    int restart = RunSettingsSheet(this, remote->LocalMachine(), remote->Host().c_str(), m_variant);
    if (restart && VelmoraMessageBox(this, kRemoteRestartPromptStringId, kMbYesNo) == kIdYes) {
        platform::RemoteServiceControl service(*remote, kRemoteServiceName);
        FarEnd ended = FarEnd::Answered;
        bool unsure = false;
        if (!CallFarMachine(this, *remote, QStringLiteral("Restarting the Velmora service"),
                            [&] { return RestartService(service); }, &ended, &unsure)) {
            QString text = LoadQString(kRestartFailedStringId);
            if (ended != FarEnd::Answered)
                text += QStringLiteral("\n\n%1 The settings were saved there and take effect at the next restart.")
                            .arg(FarEndReason(ended, remote->Host()));
            // A stop sent and not answered may have stopped the far service.
            if (ended != FarEnd::Answered && unsure)
                text += QLatin1Char(' ') + FarUnsureNote(remote->Host());
            VelmoraMessageBox(this, text, kMbOk, kRestartFailedStringId);
        }
    }
}

std::unique_ptr<CPropertyPage> MakeRemotePage(const CSettingsPageVariant* variant)
{
    return std::make_unique<CRemotePage>(variant);
}
