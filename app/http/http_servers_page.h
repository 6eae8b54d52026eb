#pragma once
// CHTTPServersPage: the HTTP servers of the configuration being edited, one
// line per server ("port<tab>address<tab>description"), with New, Edit and
// Delete as every list page has them. Each server is edited in a sheet of
// its own (RunServerSheet) on a working copy that only the sheet's OK
// copies back. Edit takes the server out of the list while its sheet runs,
// so the pages' uniqueness tests (port and address, log file) never meet
// the server itself; whatever the result it goes back at the end of the
// list. New (after OK) and Delete mark the holding sheet for a restart;
// Edit passes on its sheet's own mark.
//
// The sheet's pages come from ServerSheetPages, in their designed order;
// a page built later joins the sheet by being listed there.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <functional>
#include <memory>
#include <vector>

namespace Ui {
class HTTPServersPage;
}

class CHTTPServerConfig;
class CHTTPServerConfigList;

inline constexpr unsigned kServerSheetCaptionId = 2063;
// Where the address and the description columns start, in dialog units.
inline constexpr int kServersListPortWidth = 20;
inline constexpr int kServersListAddressWidth = 60;

// One page of a server's sheet, made on the working copy; others is the
// list of the other servers (null when there is none).
using ServerPageMaker =
    std::function<std::unique_ptr<CPropertyPage>(CHTTPServerConfig& workingCopy, CHTTPServerConfigList* others)>;

// The pages of a server's sheet that exist in this build, in order.
std::vector<ServerPageMaker> ServerSheetPages();

// The list line of one server.
QString ServerLine(const CHTTPServerConfig& config);

class CHTTPServersPage : public CPropertyPage {
    Q_OBJECT
public:
    // servers outlives the page.
    explicit CHTTPServersPage(CHTTPServerConfigList& servers, std::vector<ServerPageMaker> pages = ServerSheetPages());
    ~CHTTPServersPage() override;

    CListPattern& List() { return m_list; }
    // Runs the server's sheet on a working copy of config; after OK the copy
    // is assigned to config. kIdOk or kIdCancel. isNew: config was never
    // stored, so its folders are checked even when left as given.
    int RunServerSheet(CHTTPServerConfig& config, bool isNew);

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    void OnDelete(const QString& key);

    std::unique_ptr<Ui::HTTPServersPage> m_ui;
    CHTTPServerConfigList& m_servers;
    std::vector<ServerPageMaker> m_pages;
    CListPattern m_list;
};
