#include "app/shared/edit_acl_dialog.h"

#include "ui_edit_acl_dialog.h"

#include "app/kit/message_box.h"
#include "app/shared/access_filter_dialog.h"
#include "config/access_list.h"

#include <algorithm>

CEditACLDialog::CEditACLDialog(CAccessList& list, CUserMap* users, CGroupMap* groups, QWidget* parent)
    : CExchangeDialog(parent), m_list(list), m_users(users), m_groups(groups)
{
}

CEditACLDialog::~CEditACLDialog() = default;

void CEditACLDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::EditACLDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CEditACLDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CEditACLDialog::reject);
    m_pattern.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (std::size_t row = 0; row < m_lines.size(); ++row)
            lines.push_back({QString::fromStdString(m_lines[row]), QString::number(row)});
        return lines;
    };
    m_pattern.onNew = [this] { return OnNew(); };
    m_pattern.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_pattern.onMove = [this](int from, int to) {
        std::swap(m_lines[static_cast<std::size_t>(from)], m_lines[static_cast<std::size_t>(to)]);
    };
    // Delete selects the line before the removed one, not the first line,
    // so it is handled here rather than by the list's own Delete.
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &CEditACLDialog::OnDelete);
    connect(m_ui->aclList, &QListWidget::itemSelectionChanged, this, &CEditACLDialog::UpdateDeleteButton);
    // The lines keep their evaluation order: the list is not sorted.
    m_pattern.Attach(m_ui->aclList, m_ui->newButton, m_ui->editButton, nullptr, false);
    m_pattern.AttachOrderButtons(m_ui->upButton, m_ui->downButton);
}

bool CEditACLDialog::OnInitDialog()
{
    CExchangeDialog::OnInitDialog();
    m_lines = m_list.GetLines();
    // Opens with no line selected.
    m_pattern.RefillAt(-1);
    UpdateDeleteButton();
    return true;
}

void CEditACLDialog::UpdateDeleteButton()
{
    m_ui->deleteButton->setEnabled(m_pattern.SelectedRow() >= 0);
}

std::optional<QString> CEditACLDialog::OnNew()
{
    CAccessFilterDialog filter(m_users, m_groups, this);
    if (filter.DoModal() != kIdOk)
        return std::nullopt;
    // A new line goes before the selected one, or at the end.
    const int selected = m_pattern.SelectedRow();
    const std::size_t row = selected >= 0 ? static_cast<std::size_t>(selected) : m_lines.size();
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(row), ComposeAccessLine(filter.filter));
    return QString::number(row);
}

std::optional<QString> CEditACLDialog::OnEdit(const QString& key)
{
    const std::size_t row = key.toULong();
    CAccessFilterDialog filter(m_users, m_groups, this);
    filter.filter = ParseAccessLine(m_lines[row]);
    if (filter.DoModal() == kIdOk)
        m_lines[row] = ComposeAccessLine(filter.filter);
    return key;
}

void CEditACLDialog::OnDelete()
{
    const int selected = m_pattern.SelectedRow();
    if (selected < 0)
        return;
    m_lines.erase(m_lines.begin() + selected);
    m_pattern.RefillAt(m_lines.empty() ? -1 : std::max(selected - 1, 0));
    UpdateDeleteButton();
}

bool CEditACLDialog::OnOK()
{
    m_list.RemoveAll();
    for (const std::string& line : m_lines)
        m_list.AddLine(line);
    return true;
}
