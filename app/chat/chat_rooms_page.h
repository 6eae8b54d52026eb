#pragma once
// CChatRoomsPage: the chat rooms of the configuration being edited, one
// line per room (its name), with New, Edit and Delete as every list page
// has them. Each room is edited in a sheet of its own (RunRoomSheet) on a
// working copy that only the sheet's OK copies back. Edit takes the room
// out of the list while its sheet runs, so the General page's uniqueness
// tests never meet the room itself; after OK the room goes to the end of
// the list, after Cancel back to its place. New (after OK) and Delete mark
// the holding sheet for a restart; Edit passes on its sheet's own mark.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Ui {
class ChatRoomsPage;
}

class CChatRoomConfig;
class CChatRoomConfigList;

inline constexpr unsigned kRoomSheetCaptionId = 2076;
// A new room's SSL port lies this far above its port.
inline constexpr std::uint32_t kNewRoomSSLPortOffset = 500;

// One page of a room's sheet, made on the working copy; others is the list
// of the other rooms (null when there is none).
using RoomPageMaker =
    std::function<std::unique_ptr<CPropertyPage>(CChatRoomConfig& workingCopy, CChatRoomConfigList* others)>;

// The pages of a room's sheet, in order: General, SSL, Users, Groups,
// Strings, Macros, Access Control.
std::vector<RoomPageMaker> RoomSheetPages();

class CChatRoomsPage : public CPropertyPage {
    Q_OBJECT
public:
    // rooms outlives the page.
    explicit CChatRoomsPage(CChatRoomConfigList& rooms, std::vector<RoomPageMaker> pages = RoomSheetPages());
    ~CChatRoomsPage() override;

    CListPattern& List() { return m_list; }
    // Runs the room's sheet on a working copy of config; after OK the copy
    // is assigned to config. kIdOk or kIdCancel.
    int RunRoomSheet(CChatRoomConfig& config);

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    void OnDelete(const QString& key);

    std::unique_ptr<Ui::ChatRoomsPage> m_ui;
    CChatRoomConfigList& m_rooms;
    std::vector<RoomPageMaker> m_pages;
    CListPattern m_list;
};
