#pragma once
// CChangeDirDialog: asks for one directory. The caller sets Directory
// before running it and reads it after OK.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class ChangeDirDialog;
}

// The longest directory the field takes.
inline constexpr int kMaxDirectoryChars = 260;

class CChangeDirDialog : public CExchangeDialog {
    Q_OBJECT
public:
    explicit CChangeDirDialog(QWidget* parent);
    ~CChangeDirDialog() override;

    std::string Directory;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::ChangeDirDialog> m_ui;
};
