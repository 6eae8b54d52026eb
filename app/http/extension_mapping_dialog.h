#pragma once
// CExtensionMappingDialog: asks for one filename extension and its MIME
// type, refusing an extension the map already holds (in any letter case,
// as the map keeps its keys folded). OK is enabled only while both fields
// hold text. The caller reads Extension and MIMEType after an OK; they are
// kept as typed.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class ExtensionMappingDialog;
}

class CRegStringMap;

// The longest extension and MIME type the fields take.
inline constexpr int kMaxExtensionMappingChars = 64;

class CExtensionMappingDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CExtensionMappingDialog(CRegStringMap& mappings, QWidget* parent);
    ~CExtensionMappingDialog() override;

    std::string Extension;
    std::string MIMEType;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void UpdateOkButton();

    std::unique_ptr<Ui::ExtensionMappingDialog> m_ui;
    CRegStringMap& m_mappings;
};
