#include "app/shared/groups_page.h"

#include "ui_groups_page.h"

#include "app/kit/message_box.h"
#include "app/shared/edit_group_dialog.h"
#include "app/shared/macro_dialog.h"
#include "config/group_map.h"

CGroupsPage::CGroupsPage(CUserMap& users, CGroupMap& groups)
    : CPropertyPage(QStringLiteral("Groups")), m_users(users), m_groups(groups)
{
}

CGroupsPage::~CGroupsPage() = default;

void CGroupsPage::SetupUi()
{
    m_ui = std::make_unique<Ui::GroupsPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const auto& entry : m_groups.GetEntriesAsHeld())
            lines.push_back({QString::fromStdString(entry.first), QString::fromStdString(entry.first)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { m_groups.RemoveKey(key.toStdString()); };
    m_list.Attach(m_ui->groupsList, m_ui->newGroupButton, m_ui->editGroupButton, m_ui->deleteGroupButton);
    connect(m_ui->macroButton, &QPushButton::clicked, this, &CGroupsPage::OnMacro);
}

std::optional<QString> CGroupsPage::OnNew()
{
    CEditGroupDialog dialog(m_users, m_groups, this);
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    m_groups.SetAt(FoldKey(dialog.Name), dialog.Members);
    return QString();
}

std::optional<QString> CGroupsPage::OnEdit(const QString& key)
{
    CEditGroupDialog dialog(m_users, m_groups, this);
    const std::string name = key.toStdString();
    {
        CEventLockHolder hold(m_groups.GetLock());
        if (!m_groups.Lookup(name, dialog.Members))
            return std::nullopt;
    }
    const CUserMap given(dialog.Members);
    dialog.Name = name;
    // Out of the map while the dialog runs: renaming never meets the old name.
    m_groups.RemoveKey(name);
    if (dialog.DoModal() != kIdOk) {
        // A refused OK has already read the name: Cancel restores the group as given.
        dialog.Name = name;
        dialog.Members = given;
    }
    std::string stored = FoldKey(dialog.Name);
    m_groups.SetAt(stored, dialog.Members);
    return QString::fromStdString(stored);
}

void CGroupsPage::OnMacro()
{
    CMacroDialog dialog(this);
    dialog.Macro = m_groups.GetMemberMacro();
    if (dialog.DoModal() == kIdOk)
        m_groups.SetMemberMacro(dialog.Macro);
}
