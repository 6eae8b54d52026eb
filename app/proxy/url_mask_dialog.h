#pragma once
// CURLMaskDialog: one URL mask of the proxy's URL lists, a wildcard text of
// at most a path's length. Empty masks are accepted.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class URLMaskDialog;
}

inline constexpr int kMaxURLMaskChars = 260;
inline constexpr const char* kMsgEmptyURLMask = "Please enter a URL mask.";

class CURLMaskDialog : public CExchangeDialog {
    Q_OBJECT
public:
    explicit CURLMaskDialog(QWidget* parent);
    ~CURLMaskDialog() override;

    std::string Mask;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::URLMaskDialog> m_ui;
};
