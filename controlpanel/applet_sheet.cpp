#include "controlpanel/applet_sheet.h"

#include "app/message_box.h"
#include "app/settings_pages.h"
#include "app/settings_sheet.h"
#include "controlpanel/odbc_page.h"
#include "controlpanel/service_manager.h"
#include "controlpanel/service_page.h"

void AddAppletPages(CSettingsSheet& settings)
{
    CSettingsPageVariant variant;
    variant.servicePage = [](CSettingsWork& work) { return std::make_unique<CServicePage>(work.machine); };
    variant.addLocalPages = [](CPropertySheetPlus& sheet, CSettingsWork&) {
        sheet.AddPage(std::make_unique<CODBCSourcesPage>());
    };
    AddSettingsPages(settings.Sheet(), settings.Work(), &variant);
}

int RunAppletSettingsSheet(QWidget* parent, const platform::RegistryKey& root, const char* machine)
{
    CSettingsSheet settings(parent, root, machine ? machine : "");
    settings.Load();
    AddAppletPages(settings);
    return settings.Run();
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
