#include "app/http/extension_mapping_dialog.h"

#include "ui_extension_mapping_dialog.h"

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "config/string_maps.h"

namespace {

constexpr unsigned kDuplicateMappingStringId = 2052;

} // namespace

CExtensionMappingDialog::CExtensionMappingDialog(CRegStringMap& mappings, QWidget* parent)
    : CExchangeDialog(parent), m_mappings(mappings)
{
}

CExtensionMappingDialog::~CExtensionMappingDialog() = default;

void CExtensionMappingDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::ExtensionMappingDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CExtensionMappingDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CExtensionMappingDialog::reject);
    connect(m_ui->extensionEdit, &QLineEdit::textChanged, this, &CExtensionMappingDialog::UpdateOkButton);
    connect(m_ui->mimeTypeEdit, &QLineEdit::textChanged, this, &CExtensionMappingDialog::UpdateOkButton);
}

bool CExtensionMappingDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    UpdateOkButton();
    return result;
}

void CExtensionMappingDialog::UpdateOkButton()
{
    m_ui->okButton->setEnabled(!m_ui->extensionEdit->text().isEmpty() && !m_ui->mimeTypeEdit->text().isEmpty());
}

void CExtensionMappingDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->extensionEdit, Extension);
    dx.MaxChars(Extension, kMaxExtensionMappingChars);
    dx.Text(m_ui->mimeTypeEdit, MIMEType);
    dx.MaxChars(MIMEType, kMaxExtensionMappingChars);
    if (!dx.m_bSaveAndValidate)
        return;
    std::string existing;
    bool found;
    {
        CEventLockHolder hold(m_mappings.GetLock());
        found = m_mappings.Lookup(FoldKey(Extension), existing);
    }
    if (found) {
        // The failure focuses the field exchanged last, the MIME type.
        VelmoraMessageBox(this, kDuplicateMappingStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
}
