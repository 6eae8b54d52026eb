#include "app/shared/edit_group_dialog.h"

#include "ui_edit_group_dialog.h"

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "app/shared/account_name.h"
#include "config/group_map.h"

#include <QLineEdit>

void InsertSorted(QListWidget* list, const QString& text)
{
    int row = 0;
    while (row < list->count() && !LessIgnoringCase(text, list->item(row)->text()))
        ++row;
    list->insertItem(row, text);
}

CEditGroupDialog::CEditGroupDialog(CUserMap& users, CGroupMap& groups, QWidget* parent)
    : CExchangeDialog(parent), m_users(users), m_groups(groups)
{
}

CEditGroupDialog::~CEditGroupDialog() = default;

void CEditGroupDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::EditGroupDialog>();
    m_ui->setupUi(this);
    m_ui->membersList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_ui->nonMembersCombo->SetSorted(true);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CEditGroupDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CEditGroupDialog::reject);
    connect(m_ui->groupNameEdit, &QLineEdit::textChanged, this, &CEditGroupDialog::UpdateButtons);
    connect(m_ui->addMemberButton, &QPushButton::clicked, this, &CEditGroupDialog::AddMember);
    connect(m_ui->removeMemberButton, &QPushButton::clicked, this, &CEditGroupDialog::RemoveMember);
    connect(m_ui->membersList, &QListWidget::itemDoubleClicked, this, &CEditGroupDialog::RemoveMember);
    connect(m_ui->membersList, &QListWidget::itemSelectionChanged, this, &CEditGroupDialog::OnMembersSelectionChanged);
    connect(m_ui->nonMembersCombo, &CSimpleCombo::textChanged, this, &CEditGroupDialog::OnComboChanged);
    connect(m_ui->nonMembersCombo, &CSimpleCombo::currentIndexChanged, this, &CEditGroupDialog::OnComboChanged);
    connect(m_ui->nonMembersCombo, &CSimpleCombo::activated, this, &CEditGroupDialog::AddMember);
}

bool CEditGroupDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    CUserMap::Entries members = Members.GetEntriesAsHeld();
    m_syncing = true;
    for (const auto& [user, password] : m_users.GetEntriesAsHeld()) {
        QString name = QString::fromStdString(user);
        if (members.count(user))
            InsertSorted(m_ui->membersList, name);
        else
            m_ui->nonMembersCombo->AddItem(name);
    }
    m_ui->nonMembersCombo->SetText(QString());
    m_syncing = false;
    UpdateButtons();
    return result;
}

void CEditGroupDialog::UpdateButtons()
{
    m_ui->okButton->setEnabled(!m_ui->groupNameEdit->text().isEmpty());
    QListWidgetItem* member = m_ui->membersList->currentItem();
    m_ui->removeMemberButton->setEnabled(member && member->isSelected());
    m_ui->addMemberButton->setEnabled(m_ui->nonMembersCombo->CurrentIndex() >= 0 ||
                                      !m_ui->nonMembersCombo->Text().isEmpty());
}

void CEditGroupDialog::OnComboChanged()
{
    if (!m_syncing) {
        m_syncing = true;
        m_ui->membersList->clearSelection();
        m_ui->membersList->setCurrentItem(nullptr);
        m_syncing = false;
    }
    UpdateButtons();
}

void CEditGroupDialog::OnMembersSelectionChanged()
{
    if (!m_syncing && !m_ui->membersList->selectedItems().isEmpty()) {
        m_syncing = true;
        m_ui->nonMembersCombo->SetText(QString());
        m_syncing = false;
    }
    UpdateButtons();
}

void CEditGroupDialog::AddMember()
{
    CSimpleCombo* combo = m_ui->nonMembersCombo;
    const QString name = combo->Text();
    if (name.isEmpty())
        return;
    m_syncing = true;
    // Exact names only: "bob" is not already a member because "bobby" is.
    if (m_ui->membersList->findItems(name, Qt::MatchFixedString).isEmpty())
        InsertSorted(m_ui->membersList, name);
    int offered = combo->FindExact(name);
    if (offered >= 0)
        combo->RemoveItem(offered);
    combo->SetText(QString());
    m_syncing = false;
    UpdateButtons();
}

void CEditGroupDialog::RemoveMember()
{
    QListWidgetItem* member = m_ui->membersList->currentItem();
    if (!member || !member->isSelected())
        return;
    const QString name = member->text();
    m_syncing = true;
    delete m_ui->membersList->takeItem(m_ui->membersList->row(member));
    if (m_ui->nonMembersCombo->FindExact(name) < 0)
        m_ui->nonMembersCombo->AddItem(name);
    m_ui->nonMembersCombo->SetText(QString());
    m_syncing = false;
    UpdateButtons();
}

void CEditGroupDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->groupNameEdit, Name);
    dx.MaxChars(Name, kMaxGroupNameChars);
    if (!dx.m_bSaveAndValidate)
        return;
    bool duplicate;
    {
        CUserMap existing;
        CEventLockHolder hold(m_groups.GetLock());
        duplicate = m_groups.Lookup(FoldKey(Name), existing);
    }
    if (duplicate || !IsValidAccountName(Name)) {
        VelmoraMessageBox(this, duplicate ? kGroupDuplicateId : kGroupInvalidId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
}

bool CEditGroupDialog::OnOK()
{
    // Only now: a refused OK must leave the members as the dialog got them.
    Members.RemoveAll();
    for (int row = 0; row < m_ui->membersList->count(); ++row)
        Members.SetAt(FoldKey(m_ui->membersList->item(row)->text().toStdString()), std::string());
    return true;
}
