#include "app/http/redirected_url_dialog.h"

#include "ui_redirected_url_dialog.h"

CRedirectedURLDialog::CRedirectedURLDialog(QWidget* parent) : CExchangeDialog(parent) {}

CRedirectedURLDialog::~CRedirectedURLDialog() = default;

void CRedirectedURLDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::RedirectedUrlDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CRedirectedURLDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CRedirectedURLDialog::reject);
    connect(m_ui->originalUrlEdit, &QLineEdit::textChanged, this, &CRedirectedURLDialog::UpdateOkButton);
    connect(m_ui->redirectToEdit, &QLineEdit::textChanged, this, &CRedirectedURLDialog::UpdateOkButton);
}

bool CRedirectedURLDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    UpdateOkButton();
    return result;
}

void CRedirectedURLDialog::UpdateOkButton()
{
    m_ui->okButton->setEnabled(!m_ui->originalUrlEdit->text().isEmpty() && !m_ui->redirectToEdit->text().isEmpty());
}

void CRedirectedURLDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->redirectToEdit, Target);
    dx.Text(m_ui->originalUrlEdit, URL);
}
