#include "app/http/virtual_path_dialog.h"

#include "ui_virtual_path_dialog.h"

#include "app/http/cgi_extensions_page.h"
#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "app/kit/property_sheet_plus.h"
#include "app/shared/edit_acl_dialog.h"
#include "app/shared/folder_check.h"
#include "config/virtual_path.h"

bool HasInvalidVirtualPathChar(const std::string& name)
{
    // The name is one segment of a URL and one registry subkey.
    return name.find_first_of(" \\/:\t\r\n") != std::string::npos;
}

CVirtualPathDialog::CVirtualPathDialog(const CVirtualPathMap& paths, CUserMap* users, CGroupMap* groups,
                                       QWidget* parent)
    : CExchangeDialog(parent), m_paths(paths), m_users(users), m_groups(groups)
{
}

CVirtualPathDialog::~CVirtualPathDialog() = default;

void CVirtualPathDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::VirtualPathDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CVirtualPathDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CVirtualPathDialog::reject);
    connect(m_ui->aclButton, &QPushButton::clicked, this, &CVirtualPathDialog::OnACL);
    connect(m_ui->cgiButton, &QPushButton::clicked, this, &CVirtualPathDialog::OnCGI);
    connect(m_ui->pathNameEdit, &QLineEdit::textChanged, this, &CVirtualPathDialog::UpdateOkButton);
    connect(m_ui->locationEdit, &QLineEdit::textChanged, this, &CVirtualPathDialog::UpdateOkButton);
}

bool CVirtualPathDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    UpdateOkButton();
    return result;
}

void CVirtualPathDialog::UpdateOkButton()
{
    m_ui->okButton->setEnabled(!m_ui->pathNameEdit->text().isEmpty() && !m_ui->locationEdit->text().isEmpty());
}

void CVirtualPathDialog::DoDataExchange(CDataExchange& dx)
{
    dx.Text(m_ui->pathNameEdit, Name);
    dx.MaxChars(Name, kMaxVirtualPathChars);
    dx.Text(m_ui->locationEdit, Location);
    dx.MaxChars(Location, kMaxVirtualPathChars);
    if (!dx.m_bSaveAndValidate) {
        m_storedLocation = Location;
        return;
    }
    unsigned refusal = 0;
    {
        CVirtualPath existing;
        CEventLockHolder hold(m_paths.GetLock());
        if (m_paths.Lookup(FoldKey(Name), existing))
            refusal = kPathDuplicateId;
    }
    if (!refusal && HasInvalidVirtualPathChar(Name))
        refusal = kPathInvalidId;
    if (refusal) {
        dx.PrepareControl(m_ui->pathNameEdit);
        VelmoraMessageBox(this, refusal, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
    dx.PrepareControl(m_ui->locationEdit);
    CheckFolderExists(dx, this, QStringLiteral("location"), Location, m_storedLocation);
}

void CVirtualPathDialog::OnACL()
{
    CEditACLDialog editor(ACL, m_users, m_groups, this);
    editor.DoModal();
}

void CVirtualPathDialog::OnCGI()
{
    // The sheet works on a copy, so Cancel leaves the path's mappings as
    // they were; what it marks for a restart does not concern the path.
    CCGIMappingMap working(CGIExt);
    CPropertySheetPlus sheet(kPathCGICaptionId, this);
    sheet.AddPage(std::make_unique<CCGIExtensionsPage>(working));
    if (sheet.DoModal() == kIdOk)
        CGIExt.Assign(working);
}
