#pragma once
// CCGIMappingDialog: edits one CGI extension mapping: the extension, the
// command line, the working directory, the protocol and whether a GET
// runs the script too. OK is enabled only with a protocol chosen, an
// extension, and a command line unless the protocol is the Internet Server
// API (which loads the script itself). OK is refused for an extension the
// map already holds (any letter case) or one with a reserved character.

#include "app/kit/exchange_dialog.h"
#include "config/cgi_mapping.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Ui {
class CgiMappingDialog;
}

// Texts that become registry values and paths are held to a file path's length.
inline constexpr int kMaxCGIFieldChars = 260;
inline constexpr unsigned kCGIInvalidId = 2088;
inline constexpr unsigned kCGIDuplicateId = 2089;

class CCGIMappingDialog : public CExchangeDialog {
    Q_OBJECT
public:
    // mappings (for the duplicate test) outlives the dialog.
    CCGIMappingDialog(const CCGIMappingMap& mappings, QWidget* parent);
    ~CCGIMappingDialog() override;

    std::string Extension;
    std::string CommandLine;
    std::string WorkingDir;
    // A new mapping opens as the registry reads one without these values:
    // CGI, run on GET.
    std::uint32_t Protocol = kCGIProtocolCGI;
    std::uint32_t RunOnGet = 1;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void UpdateOkButton();

    std::unique_ptr<Ui::CgiMappingDialog> m_ui;
    const CCGIMappingMap& m_mappings;
};

// True when name holds a character no CGI extension may hold.
bool HasInvalidCGIExtensionChar(const std::string& name);
