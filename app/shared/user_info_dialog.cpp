#include "app/shared/user_info_dialog.h"

#include "ui_user_info_dialog.h"

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "app/shared/account_name.h"
#include "config/user_map.h"

CUserInfoDialog::CUserInfoDialog(CUserMap& users, QWidget* parent) : CExchangeDialog(parent), m_users(users) {}

CUserInfoDialog::~CUserInfoDialog() = default;

void CUserInfoDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::UserInfoDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CUserInfoDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CUserInfoDialog::reject);
    connect(m_ui->userNameEdit, &QLineEdit::textChanged, this, &CUserInfoDialog::UpdateOkButton);
}

bool CUserInfoDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    UpdateOkButton();
    return result;
}

void CUserInfoDialog::UpdateOkButton() { m_ui->okButton->setEnabled(!m_ui->userNameEdit->text().isEmpty()); }

void CUserInfoDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->userNameEdit, Name);
    dx.MaxChars(Name, kMaxUserNameChars);
    dx.Text(m_ui->passwordEdit, Password);
    dx.MaxChars(Password, kMaxPasswordChars);
    dx.Text(m_ui->confirmPasswordEdit, Confirm);
    dx.MaxChars(Confirm, kMaxPasswordChars);
    if (!dx.m_bSaveAndValidate)
        return;
    bool duplicate;
    {
        std::string existing;
        CEventLockHolder hold(m_users.GetLock());
        duplicate = m_users.Lookup(FoldKey(Name), existing);
    }
    unsigned refusal = 0;
    if (duplicate)
        refusal = kUserDuplicateId;
    else if (!IsValidAccountName(Name))
        refusal = kUserInvalidId;
    if (refusal) {
        dx.PrepareControl(m_ui->userNameEdit);
        VelmoraMessageBox(this, refusal, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    if (Password != Confirm) {
        dx.PrepareControl(m_ui->passwordEdit);
        VelmoraMessageBox(this, kPasswordMismatchId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
}
