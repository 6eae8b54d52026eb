#include "app/settings_pages.h"

#include "app/property_sheet_plus.h"
#include "app/settings_sheet.h"

// The designed order: Servers, Performance, Users, Groups, QNS, KAV
// extension libraries, Strings, Macros, Service Control; then, on the local
// machine only, Remote and (when work.haveHttpConf) Web Remote; About last.
// Each page gets the part of work it edits, e.g.
//     sheet.AddPage(std::make_unique<CPerformancePage>(work.workers, work.concurrency));
void AddSettingsPages(CPropertySheetPlus& sheet, CSettingsWork& work)
{
    (void)sheet;
    (void)work;
}
