#pragma once
// CFileACLDialog: browses an HTTP server's document tree and edits the
// access-list file of one file or directory. The files list holds every
// file and directory below the directory shown, as paths beginning with
// "/", directories ending in "/"; access-list files are left out. An edited
// list is written at once (an emptied one deletes its file) and the change
// stamp touched, so running servers drop their cached copies; the sheet's
// OK or Cancel has no part in it.
//
// The walk stays inside the tree: a symbolic link is followed only to a
// directory inside it that is not one the walk is already in, and the
// depth and the number of entries are bounded.

#include "app/kit/exchange_dialog.h"

#include <cstddef>
#include <memory>
#include <string>

namespace Ui {
class FileACLDialog;
}

class CGroupMap;
class CHTTPServerConfig;
class CUserMap;

// Deeper trees are not browsed by hand, and a link that re-enters the tree
// lower down could otherwise nest the walk until the stack runs out.
inline constexpr int kMaxFileACLDepth = 32;
// The list is for a person to pick from; a tree larger than this (or links
// that make one look larger) would keep the dialog busy for minutes.
inline constexpr std::size_t kMaxFileACLEntries = 50000;

class CFileACLDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CFileACLDialog(CHTTPServerConfig& config, CUserMap* users, CGroupMap* groups, QWidget* parent);
    ~CFileACLDialog() override;

    void OnDirectory();
    void OnEditACL();
    const std::string& Directory() const { return m_directory; }

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    // Empties the files list and fills it from the directory, with the wait cursor.
    void Refill();

    std::unique_ptr<Ui::FileACLDialog> m_ui;
    std::string m_directory;
    CHTTPServerConfig& m_config;
    CUserMap* m_users;
    CGroupMap* m_groups;
};
