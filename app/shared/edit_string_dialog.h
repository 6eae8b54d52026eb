#pragma once
// CEditStringDialog: edits one named string: its name (typed, or chosen
// from the names the scope's default table knows) and its text, showing the
// chosen name's built-in default and description beside them. OK is
// enabled only while the name holds text, and refused for a name the scope
// already holds (any letter case).

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class EditStringDialog;
}

class CMacroContext;
struct DefaultStringRow;

inline constexpr int kMaxStringTextChars = 65536;
inline constexpr int kMaxStringNameChars = 64;
inline constexpr unsigned kStringDuplicateId = 2075;
// What the Default box shows for a name the table does not know.
inline constexpr const char* kNoDefaultText = "<none>";

class CEditStringDialog : public CExchangeDialog {
    Q_OBJECT
public:
    // table may be null: no names are offered then.
    CEditStringDialog(CMacroContext& scope, const DefaultStringRow* table, QWidget* parent);
    ~CEditStringDialog() override;

    std::string Text;
    std::string Name;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void UpdateDefault();

    std::unique_ptr<Ui::EditStringDialog> m_ui;
    CMacroContext& m_scope;
    const DefaultStringRow* m_table;
};

// True when the scope itself (not its parents) holds a string named name
// (already lower case).
bool ScopeHoldsString(const CMacroContext& scope, const std::string& name);
