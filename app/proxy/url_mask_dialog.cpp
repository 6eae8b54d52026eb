#include "app/proxy/url_mask_dialog.h"

#include "ui_url_mask_dialog.h"

#include "app/kit/data_exchange.h"

CURLMaskDialog::CURLMaskDialog(QWidget* parent) : CExchangeDialog(parent) {}

CURLMaskDialog::~CURLMaskDialog() = default;

void CURLMaskDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::URLMaskDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CURLMaskDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CURLMaskDialog::reject);
}

void CURLMaskDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->maskEdit, Mask);
    dx.MaxChars(Mask, kMaxURLMaskChars);
    // An empty mask would be stored as a blank line that matches nothing.
    if (dx.m_bSaveAndValidate && Mask.empty())
        dx.Fail(QString::fromLatin1(kMsgEmptyURLMask));
}
