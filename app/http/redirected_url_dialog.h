#pragma once
// CRedirectedURLDialog: one redirection, the URL asked for and the URL the
// client is sent on to. Both are plain text; OK is enabled only while both
// hold text, and nothing else is refused.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class RedirectedUrlDialog;
}

class CRedirectedURLDialog : public CExchangeDialog {
    Q_OBJECT
public:
    explicit CRedirectedURLDialog(QWidget* parent);
    ~CRedirectedURLDialog() override;

    std::string URL;
    std::string Target;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void UpdateOkButton();

    std::unique_ptr<Ui::RedirectedUrlDialog> m_ui;
};
