#include "controlpanel/import_odbc_dialog.h"

#include "ui_import_odbc_dialog.h"

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "controlpanel/odbc_page.h"
#include "controlpanel/odbc_sources.h"

CImportODBCDialog::CImportODBCDialog(QWidget* parent) : CExchangeDialog(parent) {}

CImportODBCDialog::~CImportODBCDialog() = default;

void CImportODBCDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::ImportODBCDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CImportODBCDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CImportODBCDialog::reject);
}

bool CImportODBCDialog::OnInitDialog()
{
    bool result = CExchangeDialog::OnInitDialog();
    auto* list = new CListPattern(this);
    list->entries = [] { return DataSourceLines(UserDataSourceFile()); };
    list->SetTabStops({kDataSourceTabStop});
    // The first line comes chosen (Attach selects it), so Return imports a
    // lone source without a click first.
    list->Attach(m_ui->dataSourcesList, nullptr, nullptr, nullptr, false);
    return result;
}

bool CImportODBCDialog::OnOK()
{
    QListWidgetItem* chosen = m_ui->dataSourcesList->currentItem();
    if (!chosen || !chosen->isSelected())
        return false;
    std::string name = chosen->data(Qt::UserRole).toString().toStdString();
    // Said, and the dialog stays: the person may choose another source.
    if (std::string fault = DataSourceNameFault(name); !fault.empty()) {
        VelmoraMessageBox(this, QString::fromStdString(fault), kMbOk | kMbIconExclamation);
        return false;
    }
    // A failed copy changes nothing; the list shows what the service has.
    CopyDataSource(name, UserDataSourceFile(), ServiceDataSourceFile());
    return true;
}
