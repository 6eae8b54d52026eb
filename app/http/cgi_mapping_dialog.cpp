#include "app/http/cgi_mapping_dialog.h"

#include "ui_cgi_mapping_dialog.h"

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"

#include <algorithm>

bool HasInvalidCGIExtensionChar(const std::string& name)
{
    // The dot belongs to the file name, not the extension: "pl", not ".pl".
    return name.find_first_of(" .\\/:\t\r\n") != std::string::npos;
}

CCGIMappingDialog::CCGIMappingDialog(const CCGIMappingMap& mappings, QWidget* parent)
    : CExchangeDialog(parent), m_mappings(mappings)
{
}

CCGIMappingDialog::~CCGIMappingDialog() = default;

void CCGIMappingDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::CgiMappingDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CCGIMappingDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CCGIMappingDialog::reject);
    connect(m_ui->extensionEdit, &QLineEdit::textChanged, this, &CCGIMappingDialog::UpdateOkButton);
    connect(m_ui->commandLineEdit, &QLineEdit::textChanged, this, &CCGIMappingDialog::UpdateOkButton);
    connect(m_ui->protocolCombo, &QComboBox::currentIndexChanged, this, &CCGIMappingDialog::UpdateOkButton);
}

bool CCGIMappingDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    UpdateOkButton();
    return result;
}

void CCGIMappingDialog::UpdateOkButton()
{
    const int protocol = m_ui->protocolCombo->currentIndex();
    const bool command = !m_ui->commandLineEdit->text().isEmpty() || protocol == int(kCGIProtocolISAPI);
    m_ui->okButton->setEnabled(protocol >= 0 && !m_ui->extensionEdit->text().isEmpty() && command);
}

void CCGIMappingDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->extensionEdit, Extension);
    dx.MaxChars(Extension, kMaxCGIFieldChars);
    dx.Text(m_ui->commandLineEdit, CommandLine);
    dx.MaxChars(CommandLine, kMaxCGIFieldChars);
    dx.Text(m_ui->workingDirEdit, WorkingDir);
    dx.MaxChars(WorkingDir, kMaxCGIFieldChars);
    dx.Check(m_ui->runOnGetCheck, RunOnGet);
    if (!dx.m_bSaveAndValidate) {
        // A value without an item selects none.
        const bool listed = Protocol < std::uint32_t(m_ui->protocolCombo->count());
        m_ui->protocolCombo->setCurrentIndex(listed ? int(Protocol) : -1);
        return;
    }
    unsigned refusal = 0;
    {
        CCGIMapping existing;
        CEventLockHolder hold(m_mappings.GetLock());
        if (m_mappings.Lookup(FoldKey(Extension), existing))
            refusal = kCGIDuplicateId;
    }
    if (!refusal && HasInvalidCGIExtensionChar(Extension))
        refusal = kCGIInvalidId;
    if (refusal) {
        VelmoraMessageBox(this, refusal, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    Protocol = std::uint32_t(std::max(0, m_ui->protocolCombo->currentIndex()));
}
