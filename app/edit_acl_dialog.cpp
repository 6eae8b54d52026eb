#include "app/edit_acl_dialog.h"

#include "ui_edit_acl_dialog.h"

#include "app/access_filter_dialog.h"
#include "app/message_box.h"
#include "config/access_list.h"

CEditACLDialog::CEditACLDialog(CAccessList& list, CUserMap* users, CGroupMap* groups, QWidget* parent)
    : CExchangeDialog(parent), m_list(list), m_users(users), m_groups(groups)
{
}

CEditACLDialog::~CEditACLDialog() = default;

void CEditACLDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::EditACLDialog>();
    m_ui->setupUi(this);
    m_ui->aclList->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CEditACLDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CEditACLDialog::reject);
    connect(m_ui->upButton, &QPushButton::clicked, this, [this] { Move(-1); });
    connect(m_ui->downButton, &QPushButton::clicked, this, [this] { Move(+1); });
    connect(m_ui->newButton, &QPushButton::clicked, this, &CEditACLDialog::OnNew);
    connect(m_ui->editButton, &QPushButton::clicked, this, &CEditACLDialog::OnEdit);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &CEditACLDialog::OnDelete);
    connect(m_ui->aclList, &QListWidget::itemDoubleClicked, this, &CEditACLDialog::OnEdit);
    connect(m_ui->aclList, &QListWidget::itemSelectionChanged, this, &CEditACLDialog::UpdateButtons);
}

bool CEditACLDialog::OnInitDialog()
{
    CExchangeDialog::OnInitDialog();
    for (const std::string& line : m_list.GetLines())
        m_ui->aclList->addItem(QString::fromStdString(line));
    UpdateButtons();
    return true;
}

int CEditACLDialog::Selected() const
{
    QListWidgetItem* item = m_ui->aclList->currentItem();
    return item && item->isSelected() ? m_ui->aclList->row(item) : -1;
}

void CEditACLDialog::Select(int row)
{
    m_ui->aclList->setCurrentRow(row);
    UpdateButtons();
}

void CEditACLDialog::UpdateButtons()
{
    const int selected = Selected();
    const int count = m_ui->aclList->count();
    m_ui->newButton->setEnabled(true);
    m_ui->okButton->setEnabled(true);
    m_ui->editButton->setEnabled(selected >= 0);
    m_ui->deleteButton->setEnabled(selected >= 0);
    m_ui->upButton->setEnabled(selected >= 0 && count >= 2 && selected > 0);
    m_ui->downButton->setEnabled(selected >= 0 && count >= 2 && selected < count - 1);
}

void CEditACLDialog::OnNew()
{
    CAccessFilterDialog filter(m_users, m_groups, this);
    if (filter.DoModal() == kIdOk) {
        const int selected = Selected();
        const int row = selected >= 0 ? selected : m_ui->aclList->count();
        m_ui->aclList->insertItem(row, QString::fromStdString(ComposeAccessLine(filter.filter)));
        Select(row);
    }
    UpdateButtons();
}

void CEditACLDialog::OnEdit()
{
    const int selected = Selected();
    if (selected < 0)
        return;
    CAccessFilterDialog filter(m_users, m_groups, this);
    filter.filter = ParseAccessLine(m_ui->aclList->item(selected)->text().toStdString());
    if (filter.DoModal() == kIdOk)
        m_ui->aclList->item(selected)->setText(QString::fromStdString(ComposeAccessLine(filter.filter)));
    Select(selected);
}

void CEditACLDialog::OnDelete()
{
    const int selected = Selected();
    if (selected < 0)
        return;
    delete m_ui->aclList->takeItem(selected);
    if (m_ui->aclList->count() == 0) {
        m_ui->aclList->setCurrentRow(-1);
        UpdateButtons();
        return;
    }
    Select(selected > 0 ? selected - 1 : 0);
}

void CEditACLDialog::Move(int delta)
{
    const int selected = Selected();
    const int target = selected + delta;
    if (selected < 0 || target < 0 || target >= m_ui->aclList->count())
        return;
    QListWidgetItem* item = m_ui->aclList->takeItem(selected);
    m_ui->aclList->insertItem(target, item);
    Select(target);
}

bool CEditACLDialog::OnOK()
{
    m_list.RemoveAll();
    for (int row = 0; row < m_ui->aclList->count(); ++row)
        m_list.AddLine(m_ui->aclList->item(row)->text().toStdString());
    return true;
}
