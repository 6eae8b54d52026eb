#include "app/http/change_dir_dialog.h"

#include "ui_change_dir_dialog.h"

CChangeDirDialog::CChangeDirDialog(QWidget* parent) : CExchangeDialog(parent) {}

CChangeDirDialog::~CChangeDirDialog() = default;

void CChangeDirDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::ChangeDirDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CChangeDirDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CChangeDirDialog::reject);
}

void CChangeDirDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->directoryEdit, Directory);
    dx.MaxChars(Directory, kMaxDirectoryChars);
}
