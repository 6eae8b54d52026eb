#pragma once
// CMacroDialog: edits one macro text (a user map's Authenticate macro, a
// group map's member macro). Enter starts a new line; the caller reads
// Macro after an OK.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class MacroDialog;
}

class CMacroDialog : public CExchangeDialog {
    Q_OBJECT
public:
    explicit CMacroDialog(QWidget* parent);
    ~CMacroDialog() override;

    std::string Macro;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::MacroDialog> m_ui;
};
