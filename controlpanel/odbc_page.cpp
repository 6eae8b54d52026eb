#include "controlpanel/odbc_page.h"

#include "ui_odbc_page.h"

#include "app/kit/message_box.h"
#include "controlpanel/import_odbc_dialog.h"
#include "controlpanel/odbc_sources.h"

std::vector<CListPattern::Entry> DataSourceLines(const std::string& file)
{
    std::vector<CListPattern::Entry> lines;
    for (const CDataSourceEntry& source : ListDataSources(file)) {
        QString name = QString::fromStdString(source.name);
        lines.push_back({name + QLatin1Char('\t') + QString::fromStdString(source.driver), name});
    }
    return lines;
}

CODBCSourcesPage::CODBCSourcesPage() : CPropertyPage(QStringLiteral("ODBC")) {}

CODBCSourcesPage::~CODBCSourcesPage() = default;

void CODBCSourcesPage::SetupUi()
{
    m_ui = std::make_unique<Ui::ODBCSourcesPage>();
    m_ui->setupUi(this);
    connect(m_ui->importButton, &QPushButton::clicked, this, &CODBCSourcesPage::OnImport);
}

bool CODBCSourcesPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_list.entries = [] { return DataSourceLines(ServiceDataSourceFile()); };
    m_list.onDelete = [this](const QString& name) { OnDelete(name); };
    m_list.SetTabStops({kDataSourceTabStop});
    m_list.Attach(m_ui->dataSourcesList, nullptr, nullptr, m_ui->deleteButton, false);
    return result;
}

void CODBCSourcesPage::OnDelete(const QString& name)
{
    if (std::string fault = DataSourceNameFault(name.toStdString()); !fault.empty()) {
        VelmoraMessageBox(this, QString::fromStdString(fault), kMbOk | kMbIconExclamation);
        return;
    }
    if (VelmoraMessageBox(this, kDeleteDataSourcePromptId, kMbYesNo | kMbDefButton2) != kIdYes)
        return;
    DeleteDataSource(name.toStdString(), ServiceDataSourceFile());
}

void CODBCSourcesPage::OnImport()
{
    CImportODBCDialog dialog(this);
    dialog.DoModal();
    m_list.Refill();
}
