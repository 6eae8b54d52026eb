#include "controlpanel/applet_sheet.h"

#include "app/kit/message_box.h"
#include "app/settings_pages.h"
#include "app/settings_sheet.h"
#include "controlpanel/odbc_page.h"
#include "app/shared/service_manager.h"
#include "controlpanel/service_page.h"

const CSettingsPageVariant& AppletPageVariant()
{
    static const CSettingsPageVariant variant{
        // On a far root the page asks that machine, by the name the sheet has.
        [](CSettingsWork& work) { return std::make_unique<CServicePage>(work.machine, work.root.Remote()); },
        [](CPropertySheetPlus& sheet, CSettingsWork&) { sheet.AddPage(std::make_unique<CODBCSourcesPage>()); }};
    return variant;
}

void AddAppletPages(CSettingsSheet& settings) { settings.AddStandardPages(&AppletPageVariant()); }

int RunAppletSettingsSheet(QWidget* parent, const platform::RegistryKey& root, const char* machine)
{
    return RunSettingsSheet(parent, root, machine, &AppletPageVariant());
}

void RunAppletSettings(QWidget* parent)
{
    if (!RunAppletSettingsSheet(parent, platform::RegistryKey::LocalMachine(), nullptr))
        return;
    if (VelmoraMessageBox(parent, kRestartPromptId, kMbYesNo) != kIdYes)
        return;
    if (!OpenServiceManager({})->Restart(kVelmoraServiceName))
        VelmoraMessageBox(parent, kRestartFailedId, kMbOk);
}
