#pragma once
// CImportODBCDialog: lists the person's own ODBC data sources; OK copies the
// chosen one whole into the service's odbc.ini (replacing one of that name)
// and closes. The first line comes chosen, so Return imports it; OK with
// nothing chosen (an empty list) does nothing and keeps the dialog open.

#include "app/kit/exchange_dialog.h"

#include <memory>

namespace Ui {
class ImportODBCDialog;
}

class CImportODBCDialog : public CExchangeDialog {
    Q_OBJECT
public:
    explicit CImportODBCDialog(QWidget* parent = nullptr);
    ~CImportODBCDialog() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    bool OnOK() override;

private:
    std::unique_ptr<Ui::ImportODBCDialog> m_ui;
};
