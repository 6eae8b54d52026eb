#pragma once
// Which pages the settings sheet holds. Every page is added here, in the
// designed order; a page that is not built yet is simply absent.

class CPropertySheetPlus;
struct CSettingsWork;

void AddSettingsPages(CPropertySheetPlus& sheet, CSettingsWork& work);
