#include "app/settings_pages.h"

#include "app/kit/property_sheet_plus.h"
#include "app/settings_sheet.h"
#include "app/shared/about_page.h"
#include "app/shared/extensions_page.h"
#include "app/shared/groups_page.h"
#include "app/shared/macros_page.h"
#include "app/shared/performance_page.h"
#include "app/shared/qns_page.h"
#include "app/shared/remote_page.h"
#include "app/shared/server_control_page.h"
#include "app/shared/servers_page.h"
#include "app/shared/strings_page.h"
#include "app/shared/users_page.h"
#include "app/shared/web_remote_page.h"
#include "resources/string_table.h"

// The designed order: Servers, Performance, Users, Groups, QNS, KAV
// extension libraries, Strings, Macros, Service Control (absent from a
// sheet named for another machine that has no channel to it); then, on the
// local machine only, Remote and (when work.haveHttpConf) Web Remote; About
// last.
// Each page gets the part of work it edits.
void AddSettingsPages(CPropertySheetPlus& sheet, CSettingsWork& work, const CSettingsPageVariant* variant)
{
    sheet.AddPage(std::make_unique<CServersPage>(work.http, work.chat, work.proxy));
    sheet.AddPage(std::make_unique<CPerformancePage>(work.workers, work.concurrency));
    sheet.AddPage(std::make_unique<CUsersPage>(work.users));
    sheet.AddPage(std::make_unique<CGroupsPage>(work.users, work.groups));
    sheet.AddPage(std::make_unique<CQNSPage>(work.qns));
    sheet.AddPage(std::make_unique<CExtensionsPage>(work.root));
    sheet.AddPage(std::make_unique<CStringsPage>(work.strings, kGlobalDefaultStrings));
    sheet.AddPage(std::make_unique<CMacrosPage>(&work.initMacro));
    if (variant)
        sheet.AddPage(variant->servicePage(work));
    else if (work.local)
        sheet.AddPage(std::make_unique<CServerControlPage>());
    else if (work.root.Remote())
        // The servers of this process are not the far machine's: there the
        // page drives its service, since acting here from a far machine's
        // sheet stopped the wrong servers.
        sheet.AddPage(std::make_unique<CServerControlPage>(work.machine, work.root.Remote()));
    if (work.local) {
        // The applet's own local pages (ODBC) stand before Remote.
        if (variant && variant->addLocalPages)
            variant->addLocalPages(sheet, work);
        sheet.AddPage(MakeRemotePage(variant));
        if (work.haveHttpConf)
            sheet.AddPage(MakeWebRemotePage(work.webRemote));
    }
    sheet.AddPage(std::make_unique<CAboutPage>());
}
