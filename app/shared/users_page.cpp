#include "app/shared/users_page.h"

#include "ui_users_page.h"

#include "app/kit/message_box.h"
#include "app/shared/macro_dialog.h"
#include "app/shared/user_info_dialog.h"
#include "config/user_map.h"

CUsersPage::CUsersPage(CUserMap& users) : CPropertyPage(QStringLiteral("Users")), m_users(users) {}

CUsersPage::~CUsersPage() = default;

void CUsersPage::SetupUi()
{
    m_ui = std::make_unique<Ui::UsersPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const auto& [name, password] : m_users.GetEntriesAsHeld())
            lines.push_back({QString::fromStdString(name), QString::fromStdString(name)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { OnDelete(key); };
    m_list.Attach(m_ui->usersList, m_ui->newUserButton, m_ui->editUserButton, m_ui->deleteUserButton);
    connect(m_ui->macroButton, &QPushButton::clicked, this, &CUsersPage::OnMacro);
}

std::optional<QString> CUsersPage::OnNew()
{
    CUserInfoDialog dialog(m_users, this);
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    std::string name = FoldKey(dialog.Name);
    m_users.SetAt(name, dialog.Password);
    // The first line is selected afterwards, as after every New.
    return QString();
}

std::optional<QString> CUsersPage::OnEdit(const QString& key)
{
    CUserInfoDialog dialog(m_users, this);
    std::string name = key.toStdString();
    {
        CEventLockHolder hold(m_users.GetLock());
        if (!m_users.Lookup(name, dialog.Password))
            return std::nullopt;
    }
    dialog.Name = name;
    dialog.Confirm = dialog.Password;
    // Out of the map while the dialog runs, so its duplicate test never
    // meets the user itself; after Cancel the values given come back.
    // A refused OK has already read the fields, so Cancel puts back what
    // the dialog was given, not what it last read.
    const std::string password = dialog.Password;
    m_users.RemoveKey(name);
    if (dialog.DoModal() != kIdOk) {
        dialog.Name = name;
        dialog.Password = password;
    }
    std::string stored = FoldKey(dialog.Name);
    m_users.SetAt(stored, dialog.Password);
    return QString::fromStdString(stored);
}

void CUsersPage::OnDelete(const QString& key) { m_users.RemoveKey(key.toStdString()); }

void CUsersPage::OnMacro()
{
    CMacroDialog dialog(this);
    dialog.Macro = m_users.GetAuthenticateMacro();
    if (dialog.DoModal() == kIdOk)
        m_users.SetAuthenticateMacro(dialog.Macro);
}
