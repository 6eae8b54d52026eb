#pragma once
// Which pages the settings sheet holds, every one added here in the designed
// order; the Remote and Web Remote pages only on the local machine's sheet.

#include <functional>
#include <memory>

class CPropertyPage;
class CPropertySheetPlus;
struct CSettingsWork;

// The control-panel applet's variant of the list: its own Service page in
// place of the in-process one (on every machine), and pages of its own
// right after it on the local machine only. The Remote page opens the far
// machine's sheet in the variant its own sheet has, so the applet's far
// sheet is the applet's too; nested sheets are the same in every variant.
struct CSettingsPageVariant {
    std::function<std::unique_ptr<CPropertyPage>(CSettingsWork&)> servicePage;
    std::function<void(CPropertySheetPlus&, CSettingsWork&)> addLocalPages;
};

void AddSettingsPages(CPropertySheetPlus& sheet, CSettingsWork& work, const CSettingsPageVariant* variant = nullptr);
