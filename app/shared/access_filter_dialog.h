#pragma once
// CAccessFilterDialog: edits one access line field by field: permission,
// kind, the user or group name (the names of the map the kind chooses,
// "*" first), the access type and the client address. The caller sets the
// five strings before running it and composes the line from them after OK
// (ComposeAccessLine); ParseAccessLine goes the other way.
//
// A name holding a separator of the line (',', a blank, a tab, CR, LF or
// ':') would cut the line into other fields than were typed, and an empty
// name before an address would shift the address into the name: both are
// refused with the user or group name message, and the dialog stays open.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>
#include <string_view>

namespace Ui {
class AccessFilterDialog;
}

class CGroupMap;
class CUserMap;

inline constexpr unsigned kInvalidUserNameStringId = 2067;
inline constexpr unsigned kInvalidGroupNameStringId = 2069;

struct CAccessFilter {
    std::string permission = "Reject";
    std::string kind = "user";
    std::string accessType = "*";
    std::string name = "*";
    std::string address = "*";
};

// "<permission>-<kind>: <access>,<name>,<address>", no blanks around the commas.
std::string ComposeAccessLine(const CAccessFilter& filter);
// The five fields of a stored line; a missing one is empty.
CAccessFilter ParseAccessLine(std::string_view line);
// True when name can stand as the name field of a line followed by address.
bool IsAcceptableFilterName(std::string_view name, std::string_view address);

class CAccessFilterDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CAccessFilterDialog(CUserMap* users, CGroupMap* groups, QWidget* parent);
    ~CAccessFilterDialog() override;

    CAccessFilter filter;

    // The name combo refilled with the names of the kind shown, "*" first and selected.
    void FillLists();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::AccessFilterDialog> m_ui;
    CUserMap* m_users;
    CGroupMap* m_groups;
};
