#include "app/shared/extensions_page.h"

#include "ui_extensions_page.h"

#include "app/far_call.h"
#include "app/kit/file_chooser.h"
#include "app/kit/message_box.h"
#include "config/registry_helpers.h"
#include "macro/extension_libraries.h"
#include "macro/kav_extensions.h"
#include "platform/library.h"
#include "platform/remote_registry.h"

#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QRegularExpression>

namespace {

// The record as the server takes it: present and at least as large as the
// fields both sides know.
const KAVExtensions* FindRecord(const platform::Library& library)
{
    auto* record = static_cast<const KAVExtensions*>(library.Symbol("KAVExtensions"));
    if (record == nullptr || record->size < sizeof(KAVExtensions))
        return nullptr;
    return record;
}

} // namespace

std::string KAVLibraryDescription(const std::string& path)
{
    platform::Library library;
    if (!library.Open(path))
        return {};
    const KAVExtensions* record = FindRecord(library);
    if (record == nullptr || record->description == nullptr)
        return {};
    return record->description;
}

QString QtFileFilter(const QString& designed)
{
    static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)$"));
    QStringList parts = designed.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        QString name = parts[i];
        name.remove(trailingPatterns);
        filters << QStringLiteral("%1 (%2)").arg(name, QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')));
    }
    return filters.join(QStringLiteral(";;"));
}

CExtensionsPage::CExtensionsPage(const platform::RegistryKey& root)
    : CPropertyPage(QStringLiteral("KAV")), m_root(root)
{
}

CExtensionsPage::~CExtensionsPage() = default;

void CExtensionsPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ExtensionsPage>();
    m_ui->setupUi(this);
    // Said when the far machine's list could not be read: an empty list
    // alone reads as "no libraries installed".
    m_unread = new QLabel(this);
    m_unread->setObjectName(QStringLiteral("unreadNote"));
    m_unread->setWordWrap(true);
    m_unread->hide();
    m_ui->grid->addWidget(m_unread, 2, 0, 1, 2);
    m_listHeight = m_ui->extensionLibrariesList->minimumHeight();
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        FarEnd ended = FarEnd::Answered;
        // Nothing to set up or remove until the list is known: the lines
        // shown while a far machine is asked may be gone there.
        m_ui->setupLibraryButton->setEnabled(false);
        m_ui->removeLibraryButton->setEnabled(false);
        AtMachine(
            QStringLiteral("Reading the KAV extension libraries"),
            [&] {
                lines.clear();
                platform::RegistryKey key;
                if (m_root.Open(kExtensionsKeyPath, key) != platform::kErrorSuccess)
                    return 0;
                std::uint32_t count = 0;
                key.QueryInfo(nullptr, &count);
                for (std::uint32_t index = 0; index < count; ++index) {
                    std::string path;
                    std::string description;
                    if (RegEnumValueString(key, index, path, description) != platform::kErrorSuccess)
                        continue;
                    QString qpath = QString::fromStdString(path);
                    lines.push_back({QString::fromStdString(description) + QLatin1Char('\t') + qpath, qpath});
                }
                return 1;
            },
            &ended);
        m_readFailed = ended != FarEnd::Answered;
        if (ended == FarEnd::Answered) {
            m_unread->hide();
            m_ui->extensionLibrariesList->setMinimumHeight(m_listHeight);
        } else {
            lines.clear();
            m_unread->setText(
                QStringLiteral("The KAV extension libraries of %1 could not be read. %2 Showing this page again reads "
                               "them again.")
                    .arg(QString::fromStdString(m_root.Remote()->Host()),
                         FarEndReason(ended, m_root.Remote()->Host())));
            // The sheet took its size before the line appeared: the empty
            // list gives up the room the line needs.
            m_ui->extensionLibrariesList->setMinimumHeight(0);
            m_unread->show();
        }
        return lines;
    };
    connect(m_ui->addLibraryButton, &QPushButton::clicked, this, &CExtensionsPage::OnAdd);
    connect(m_ui->setupLibraryButton, &QPushButton::clicked, this, &CExtensionsPage::OnSetup);
    connect(m_ui->removeLibraryButton, &QPushButton::clicked, this, &CExtensionsPage::OnRemove);
}

bool CExtensionsPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_list.SetTabStops({kExtensionsListTabStop});
    // Setup and Remove are enabled by the pattern only while a line is
    // selected; their actions are this page's own.
    // Attaching fills the list: a second fill here read a far machine twice.
    m_list.Attach(m_ui->extensionLibrariesList, nullptr, m_ui->setupLibraryButton, m_ui->removeLibraryButton);
    ClearSelection();
    return result;
}

bool CExtensionsPage::OnSetActive()
{
    // A far machine that did not answer may answer now: without this the
    // empty list stayed until the sheet was closed.
    // (The first showing has just read.)
    if (m_readFailed && m_shown)
        FillList();
    m_shown = true;
    return CPropertyPage::OnSetActive();
}

void CExtensionsPage::FillList()
{
    m_list.Refill();
    ClearSelection();
}

void CExtensionsPage::ClearSelection()
{
    // A filled list has no selection, so Setup and Remove wait for one.
    m_ui->extensionLibrariesList->setCurrentRow(-1);
    m_ui->extensionLibrariesList->clearSelection();
}

int CExtensionsPage::AtMachine(const QString& what, const std::function<int()>& work, FarEnd* ended,
                               bool* unsure)
{
    platform::RemoteRegistry* far = m_root.Remote();
    if (!far)
        return work();
    // A channel given up on earlier is opened again for this action.
    return CallFarMachine(
        this, *far, what,
        [&] {
            far->Reconnect();
            return work();
        },
        ended, unsure);
}

void CExtensionsPage::ChangeList(const QString& what, const std::function<void()>& change, const QString& failed,
                                 QWidget* control)
{
    FarEnd ended = FarEnd::Answered;
    bool unsure = false;
    AtMachine(
        what,
        [&] {
            change();
            return 0;
        },
        &ended, &unsure);
    SetRestart();
    // Given up, the list stays as it was read: a refill would wait for the
    // far machine that just did not answer, and a library whose removal was
    // given up stays listed and selected, so Remove can be tried again.
    if (SayNotDone(failed, ended, unsure, control))
        return;
    FillList();
}

bool CExtensionsPage::SayNotDone(const QString& failed, FarEnd ended, bool unsure, QWidget* control)
{
    if (ended == FarEnd::Answered)
        return false;
    const std::string& host = m_root.Remote()->Host();
    QString text = failed.arg(QString::fromStdString(host)) + QStringLiteral("\n\n") + FarEndReason(ended, host);
    if (unsure)
        text += QLatin1Char(' ') + FarUnsureNote(host);
    VelmoraMessageBox(this, text, kMbOk | kMbIconExclamation);
    ReturnFocus(control);
    return true;
}

std::string CExtensionsPage::SelectedPath() const
{
    QListWidgetItem* item = m_ui->extensionLibrariesList->currentItem();
    if (!item || !item->isSelected())
        return {};
    return item->text().section(QLatin1Char('\t'), 1, 1).toStdString();
}

void CExtensionsPage::OnAdd()
{
    std::optional<QString> chosen =
        FileChooser().OpenFile(this, QString(), QString(),
                               // Libraries built here end in .so: offer them beside the designed filter.
                               QtFileFilter(LoadQString(kKAVFilterStringId)) + QStringLiteral(";;Shared libraries (*.so)"));
    if (!chosen) {
        FillList();
        return;
    }
    const std::string path = chosen->toStdString();
    const std::string description = KAVLibraryDescription(path);
    if (description.empty()) {
        VelmoraMessageBox(this, kKAVInvalidLibraryStringId, kMbOk | kMbIconExclamation);
        FillList();
        return;
    }
    ChangeList(
        QStringLiteral("Adding the KAV extension library"),
        [&] {
            platform::RegistryKey key;
            if (m_root.Create(kExtensionsKeyPath, key) == platform::kErrorSuccess)
                RegSetString(key, path, description);
        },
        QStringLiteral("The KAV extension library could not be added on %1."), m_ui->addLibraryButton);
}

void CExtensionsPage::OnSetup()
{
    const std::string path = SelectedPath();
    if (path.empty())
        return;
    platform::Library library;
    if (!library.Open(path))
        return;
    const KAVExtensions* record = FindRecord(library);
    // The library's own dialog gets this page as its parent window.
    if (record != nullptr && record->setup != nullptr && record->setup(static_cast<QWidget*>(this)) != 0)
        SetRestart();
}

void CExtensionsPage::OnRemove()
{
    const std::string path = SelectedPath();
    if (path.empty())
        return;
    if (VelmoraMessageBox(this, kKAVRemovePromptStringId, kMbYesNo | kMbDefButton2) != kIdYes)
        return;
    ChangeList(
        QStringLiteral("Removing the KAV extension library"),
        [&] {
            platform::RegistryKey key;
            if (m_root.Open(kExtensionsKeyPath, key) == platform::kErrorSuccess)
                key.DeleteValue(path);
        },
        QStringLiteral("The KAV extension library could not be removed from %1."), m_ui->removeLibraryButton);
}
