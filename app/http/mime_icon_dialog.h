#pragma once
// CMimeIconDialog: asks for a MIME type (typed, or chosen among the MIME
// types of a type map) and the URL of its icon, refusing a MIME type the
// icon map already holds (in any letter case, as the map keeps its keys
// folded). OK is enabled only while both fields hold text. The caller
// reads MIMEType and IconURL after an OK; they are kept as typed.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class MimeIconDialog;
}

class CRegStringMap;

// The longest MIME type and icon URL the fields take.
inline constexpr int kMaxMimeIconChars = 260;

class CMimeIconDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CMimeIconDialog(CRegStringMap& icons, CRegStringMap& types, QWidget* parent);
    ~CMimeIconDialog() override;

    std::string MIMEType;
    std::string IconURL;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void UpdateOkButton();

    std::unique_ptr<Ui::MimeIconDialog> m_ui;
    CRegStringMap& m_icons;
    CRegStringMap& m_types;
};
