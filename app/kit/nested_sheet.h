#pragma once
// The step every page takes that opens a sheet of its own (the Servers
// page's family sheets, a room's sheet, a server's sheet, the Web Remote
// Advanced sheet, the certificate viewer): the nested sheet edits a working
// copy; OK copies the copy back and passes the nested restart mark up to
// the sheet that holds the page; Cancel drops the copy, so the page's own
// configuration is touched only by an OK.
//
//     EditInNestedSheet(*this, kCaptionId, m_config, [](CPropertySheetPlus& sheet, CFooConfig& copy) {
//         sheet.AddPage(std::make_unique<CFooPage>(copy));
//     });
//
// A type whose assignment is not a deep copy passes its copy routine,
// to(from), before the page maker. A sheet that writes nothing back (the
// certificate viewer) uses CNestedSheet alone.

#include "app/kit/property_sheet_plus.h"

#include <QString>

class CNestedSheet {
public:
    CNestedSheet(CPropertyPage& owner, unsigned captionId);
    CNestedSheet(CPropertyPage& owner, const QString& caption);
    CNestedSheet(const CNestedSheet&) = delete;
    CNestedSheet& operator=(const CNestedSheet&) = delete;

    CPropertySheetPlus& Sheet() { return m_sheet; }
    // Runs the sheet; true after OK, when its restart mark has been passed up.
    bool Run();

private:
    CPropertyPage& m_owner;
    CPropertySheetPlus m_sheet;
};

// True when the sheet ended with OK and the copy was copied back.
template <class Config, class Caption, class Copy, class AddPages>
bool EditInNestedSheet(CPropertyPage& owner, const Caption& caption, Config& original, Copy copy,
                       AddPages addPages)
{
    // Declared before the sheet, so it outlives the pages that edit it.
    Config working{};
    copy(working, original);
    CNestedSheet nested(owner, caption);
    addPages(nested.Sheet(), working);
    if (!nested.Run())
        return false;
    copy(original, working);
    return true;
}

template <class Config, class Caption, class AddPages>
bool EditInNestedSheet(CPropertyPage& owner, const Caption& caption, Config& original, AddPages addPages)
{
    return EditInNestedSheet(
        owner, caption, original, [](Config& to, const Config& from) { to = from; }, addPages);
}
