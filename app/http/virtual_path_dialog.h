#pragma once
// CVirtualPathDialog: one virtual path: its name, its location, and through
// ACL and CGI its own access list and CGI mappings. OK is enabled only
// while name and location hold text, and refused for a name the map
// already holds (any letter case) or one with a reserved character. The
// access list and mappings change through their own editors; the caller
// reads all four after an OK.

#include "app/kit/exchange_dialog.h"
#include "config/cgi_mapping.h"
#include "config/reg_access_list.h"

#include <memory>
#include <string>

namespace Ui {
class VirtualPathDialog;
}

class CGroupMap;
class CUserMap;
class CVirtualPathMap;

// Names and locations are held to a file path's length.
inline constexpr int kMaxVirtualPathChars = 260;
inline constexpr unsigned kPathDuplicateId = 2058;
inline constexpr unsigned kPathInvalidId = 2060;
inline constexpr unsigned kPathCGICaptionId = 2097;

class CVirtualPathDialog : public CExchangeDialog {
    Q_OBJECT
public:
    // The maps outlive the dialog; users and groups are the access-list
    // editor's choices (either may be null).
    CVirtualPathDialog(const CVirtualPathMap& paths, CUserMap* users, CGroupMap* groups, QWidget* parent);
    ~CVirtualPathDialog() override;

    void OnACL();
    void OnCGI();

    std::string Name;
    std::string Location;
    CRegAccessList ACL;
    CCGIMappingMap CGIExt;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void UpdateOkButton();

    std::unique_ptr<Ui::VirtualPathDialog> m_ui;
    const CVirtualPathMap& m_paths;
    CUserMap* m_users;
    CGroupMap* m_groups;
    // The location as the dialog opened with it: only a changed one is checked.
    std::string m_storedLocation;
};

// True when name holds a character no virtual path name may hold.
bool HasInvalidVirtualPathChar(const std::string& name);
