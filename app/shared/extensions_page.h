#pragma once
// CExtensionsPage: the KAV extension libraries registered on the machine
// being configured, one REG_SZ value per library under
// Software\Tessaline\KAVExtensions (name: the library's path; data: the
// description its KAVExtensions record gives). Add, Setup and Remove act on
// the registry at once, not at the sheet's OK, and mark a restart, since
// the servers load the libraries when they start.
//
// A line is the description, a tab, the path; the one tab stop lies so far
// right that only the description shows, and Setup and Remove read the path
// back from the line. Every value is read whole: a long path or description
// hides neither its library nor the ones after it.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"
#include "platform/registry.h"

#include <functional>
#include <memory>
#include <string>

namespace Ui {
class ExtensionsPage;
}
class QLabel;
enum class FarEnd;

// The designed tab stop of the list, in dialog units.
inline constexpr int kExtensionsListTabStop = 1024;

inline constexpr unsigned kKAVRemovePromptStringId = 2093;
inline constexpr unsigned kKAVFilterStringId = 2094;
inline constexpr unsigned kKAVInvalidLibraryStringId = 2095;

// The description a library's KAVExtensions record gives, loaded and freed
// at once; empty when path is no library, has no record, a record too
// short, or an empty description.
std::string KAVLibraryDescription(const std::string& path);

// "Name (*.a)|*.a||" (the class library's filter form) in Qt's form.
QString QtFileFilter(const QString& designed);

class CExtensionsPage : public CPropertyPage {
    Q_OBJECT
public:
    // root: the machine's HKEY_LOCAL_MACHINE; it outlives the page.
    explicit CExtensionsPage(const platform::RegistryKey& root);
    ~CExtensionsPage() override;

    void FillList();
    void OnAdd();
    void OnSetup();
    void OnRemove();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    bool OnSetActive() override;

private:
    void ClearSelection();
    // The path field of the selected line; empty without a selection.
    std::string SelectedPath() const;
    // Runs work on the machine's registry: on a far one through the far
    // call's path (ended: how it ended), here directly.
    // what names the work in the far call's box; unsure: a change sent may
    // have been carried out though no answer came.
    int AtMachine(const QString& what, const std::function<int()>& work, FarEnd* ended = nullptr,
                  bool* unsure = nullptr);
    // Changes the machine's list of libraries (what names it in the far
    // call's box) and asks for a restart; then refills the list, or, given
    // up, says why as SayNotDone does.
    void ChangeList(const QString& what, const std::function<void()>& change, const QString& failed,
                    QWidget* control);
    // After a far call that did not end with an answer: says so with its
    // reason (failed holds %1 for the host) and gives the focus back to
    // control; false when it was answered.
    bool SayNotDone(const QString& failed, FarEnd ended, bool unsure, QWidget* control);

    std::unique_ptr<Ui::ExtensionsPage> m_ui;
    const platform::RegistryKey& m_root;
    CListPattern m_list;
    QLabel* m_unread = nullptr;
    int m_listHeight = 0;
    // The last read of a far machine's list got no answer.
    bool m_readFailed = false;
    bool m_shown = false;
};
