#pragma once
// CODBCSourcesPage: the ODBC data sources the service can use (the odbc.ini
// it reads), with Import to copy one of the person's own sources there and
// Delete, which asks first with No as the default, to remove one. Neither
// touches the server configuration or LastMod.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class ODBCSourcesPage;
}

// The lists' one tab stop, between a source's name and its driver.
inline constexpr int kDataSourceTabStop = 60;
inline constexpr unsigned kDeleteDataSourcePromptId = 2090;

// A list line per source: "name", a tab, the driver's description.
std::vector<CListPattern::Entry> DataSourceLines(const std::string& file);

class CODBCSourcesPage : public CPropertyPage {
    Q_OBJECT
public:
    CODBCSourcesPage();
    ~CODBCSourcesPage() override;

    void OnImport();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    void OnDelete(const QString& name);

    std::unique_ptr<Ui::ODBCSourcesPage> m_ui;
    CListPattern m_list;
};
