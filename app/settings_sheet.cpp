#include "app/settings_sheet.h"
#include "app/shared/folder_check.h"

#include "app/kit/message_box.h"
#include "app/settings_pages.h"
#include "app/shared/qns_page.h"
#include "app/far_call.h"
#include "app/shared/remote_page.h"
#include "config/last_mod_stamp.h"
#include "config/registry_helpers.h"
#include "macro/named_strings.h"
#include "platform/remote_registry.h"

#include <string_view>

namespace {

constexpr const char* kBackup1 = "Software\\Tessaline\\Velmora001";
constexpr const char* kBackup2 = "Software\\Tessaline\\Velmora002";

std::string Area(std::string_view name) { return std::string(kProductKeyPath) + "\\" + std::string(name); }

QString SaveFailureText(const QString& why, bool unsure)
{
    // A commit sent and not answered may have been carried out.
    if (unsure)
        return QStringLiteral("The settings could not be saved: %1.  "
                              "Correct the problem and press OK again, or Cancel to discard the changes.")
            .arg(why);
    return QStringLiteral("The settings could not be saved: %1.  Nothing was changed; "
                          "correct the problem and press OK again, or Cancel to discard the changes.")
        .arg(why);
}

// A delete of a key that is not there is no failure.
bool DeleteTree(const platform::RegistryKey& root, const char* path)
{
    int result = root.DeleteTree(path);
    return result == platform::kErrorSuccess || result == platform::kErrorFileNotFound;
}

} // namespace

CSettingsSheet::CSettingsSheet(QWidget* parent, const platform::RegistryKey& root, const std::string& machine)
    : m_work(root),
      m_sheet(machine.empty() ? LoadQString(kSettingsCaptionId)
                              : LoadQString(kSettingsRemoteCaptionId).replace(QLatin1String("%s"),
                                                                                QString::fromStdString(machine)),
              parent, 0)
{
    m_work.machine = machine;
    m_work.local = machine.empty() && &root == &platform::RegistryKey::LocalMachine();
    m_sheet.setObjectName(QStringLiteral("settingsSheet"));
    // Folders typed on its pages are another machine's: not looked for here.
    m_sheet.setProperty(kFarMachineProperty, !m_work.local);
    m_sheet.SetAcceptHandler([this] {
        QString why;
        FarEnd ended = FarEnd::Answered;
        bool unsure = false;
        if (SaveWaiting(why, ended, unsure))
            return true;
        QString text = SaveFailureText(why, unsure && ended != FarEnd::Answered);
        // A bare error number did not say the far machine was waited for.
        if (ended != FarEnd::Answered)
            text += QStringLiteral("\n\n%1 The edits are kept: OK tries again.")
                        .arg(FarEndReason(ended, m_work.machine));
        if (ended != FarEnd::Answered && unsure)
            text += QLatin1Char(' ') + FarUnsureNote(m_work.machine);
        VelmoraMessageBox(&m_sheet, text, kMbOk | kMbIconExclamation);
        return false;
    });
}

CSettingsSheet::~CSettingsSheet() = default;

void CSettingsSheet::Load()
{
    const platform::RegistryKey& root = m_work.root;
    // Without the default strings: the pages show those from the string
    // table, and a save writes back only what the registry held or a page
    // changed, not a copy of every default.
    m_work.http.Load(root, Area("HTTP"), 0);
    m_work.chat.Load(root, Area("ChatRoom"), 0);
    m_work.proxy.Open(root, Area("HTTPProxy"), 0);
    m_work.strings.LoadFromRegistry(root, Area("Strings"), 0);

    platform::RegistryKey product;
    if (root.Open(kProductKeyPath, product) == platform::kErrorSuccess) {
        RegQueryString(product, "InitMacro", m_work.initMacro);
        product.QueryDword("Workers", m_work.workers);
        product.QueryDword("Concurrency", m_work.concurrency);
        product.Close();
    }
    m_work.users.LoadFromKey(root, Area("Users"));
    m_work.groups.LoadFromKey(root, Area("Groups"));
    LoadQNSTableForEditing(m_work.qns, root, Area("QNS"));

    platform::RegistryKey probe;
    if (root.Open(Area("HTTPConf"), probe) == platform::kErrorSuccess) {
        m_work.webRemote.Open(root, Area("HTTPConf"), 1);
        probe.Close();
        m_work.haveHttpConf = true;
    }
}

void CSettingsSheet::AddStandardPages(const CSettingsPageVariant* variant)
{
    AddSettingsPages(m_sheet, m_work, variant);
}

int CSettingsSheet::Run()
{
    if (m_sheet.DoModal() != kIdOk)
        return 0;
    return m_sheet.m_bRestart;
}

bool CSettingsSheet::LoadWaiting(QWidget* parent, FarEnd& ended)
{
    ended = FarEnd::Answered;
    platform::RemoteRegistry* far = m_work.root.Remote();
    if (!far) {
        Load();
        return true;
    }
    // An area a far machine did not send would show empty, and OK would
    // write that back over what it holds: no sheet without every area.
    return CallFarMachine(
               parent, *far, QStringLiteral("Reading the settings"),
               [&] {
                   Load();
                   return far->Broken() ? 0 : 1;
               },
               &ended) != 0;
}

bool CSettingsSheet::SaveWaiting(QString& why, FarEnd& ended, bool& unsure)
{
    platform::RemoteRegistry* far = m_work.root.Remote();
    if (!far)
        return Save(why);
    // A far machine may stop answering: the next OK opens a broken channel
    // again, so the edits kept in the sheet reach the far machine once it
    // answers instead of being lost to Cancel.
    return CallFarMachine(
               &m_sheet, *far, QStringLiteral("Saving the settings"),
               [&] {
                   // A failed reopening leaves the channel broken: the save
                   // then reports the far machine's error.
                   far->Reconnect();
                   return Save(why) ? 1 : 0;
               },
               &ended, &unsure) != 0;
}

bool CSettingsSheet::Save(QString& why)
{
    const platform::RegistryKey& root = m_work.root;
    // On another machine's root this is the far side's transaction.
    platform::RegistryTransaction transaction(root);
    if (int status = transaction.Status()) {
        why = QString::fromStdString(platform::RegistryErrorText(status));
        return false;
    }
    auto failed = [&why](const char* what) {
        why = QString::fromLatin1(what);
        return false;
    };
    // An area written by SaveToKey answers the registry's reason too.
    auto refused = [&why](const char* what, int status) {
        why = QStringLiteral("%1 (%2)").arg(QString::fromLatin1(what),
                                            QString::fromStdString(platform::RegistryErrorText(status)));
        return false;
    };

    // Velmora001 holds the configuration before this save, Velmora002 the one before that.
    if (!DeleteTree(root, kBackup2))
        return failed("the backup Velmora002 cannot be deleted");
    RegCopyKeyTree(root, kBackup1, root, kBackup2);
    if (!DeleteTree(root, kBackup1))
        return failed("the backup Velmora001 cannot be deleted");
    RegCopyKeyTree(root, kProductKeyPath, root, kBackup1);

    if (!m_work.http.Save(root, Area("HTTP")))
        return failed("the HTTP settings cannot be written");
    if (!m_work.chat.Save(root, Area("ChatRoom"))) {
        why = QStringLiteral("the chat-room settings cannot be written");
        if (!m_work.chat.GetSaveError().empty())
            why += QStringLiteral(" (%1)").arg(QString::fromStdString(m_work.chat.GetSaveError()));
        return false;
    }
    if (int status = m_work.proxy.SaveToKey(root, Area("HTTPProxy")))
        return refused("the proxy settings cannot be written", status);
    if (!m_work.users.Save(root, Area("Users")))
        return failed("the users cannot be written");
    if (!m_work.groups.Save(root, Area("Groups")))
        return failed("the groups cannot be written");
    if (!m_work.strings.SaveToRegistry(root, Area("Strings")))
        return failed("the strings cannot be written");
    if (m_work.haveHttpConf)
        if (int status = m_work.webRemote.SaveToKey(root, Area("HTTPConf")))
            return refused("the Web Remote settings cannot be written", status);
    platform::RegistryKey product;
    if (root.Open(kProductKeyPath, product) == platform::kErrorSuccess) {
        if (product.SetString("InitMacro", m_work.initMacro) != platform::kErrorSuccess ||
            product.SetDword("Workers", m_work.workers) != platform::kErrorSuccess ||
            product.SetDword("Concurrency", m_work.concurrency) != platform::kErrorSuccess)
            return failed("the engine settings cannot be written");
        product.Close();
    }
    if (!m_work.qns.Save(root, Area("QNS")))
        return failed("the QNS table cannot be written");

    // The stamp writes max(now, stored + 1), so a clock behind the stored
    // value still makes a change every reader sees.
    if (m_work.local && GlobalLastModStamp().IsOpen()) {
        GlobalLastModStamp().Touch();
    } else {
        CLastModStamp stamp;
        stamp.Open(root, kProductKeyPath, kLastModValueName);
    }

    if (int result = transaction.Commit()) {
        why = QString::fromStdString(platform::RegistryErrorText(result));
        return false;
    }
    return true;
}

int RunSettingsSheet(QWidget* parent, const platform::RegistryKey& root, const char* machine,
                     const CSettingsPageVariant* variant)
{
    // The strings scopes the Strings pages edit come from the macro
    // library's factory, which a host that starts no servers (the applet)
    // has not set: without it every nested sheet lacked its Strings page.
    InitMacroLibrary();
    CSettingsSheet settings(parent, root, machine ? machine : "");
    FarEnd ended = FarEnd::Answered;
    if (!settings.LoadWaiting(parent, ended)) {
        VelmoraMessageBox(parent,
                          LoadQString(kRemoteConnectFailedStringId) +
                              QStringLiteral("\n\n%1").arg(FarEndReason(ended, settings.Work().machine)),
                          kMbOk, kRemoteConnectFailedStringId);
        return 0;
    }
    settings.AddStandardPages(variant);
    return settings.Run();
}
