#pragma once
// CChatRoomGeneralPage: one room's basic values (enabled, port, name,
// description, stream time-out, lines kept, log file, reverse lookups,
// hiding, pooled threads, client limit, connection time-out). It refuses a
// log file or a name another room of the list has, and a port another
// enabled room, an HTTP server or the proxy already listens on at this
// address; and marks the sheet for a restart when the room's service values
// changed in a way only a restart applies.

#include "app/kit/property_page.h"
#include "config/chat_config.h"

#include <memory>

namespace Ui {
class ChatRoomGeneralPage;
}

inline constexpr unsigned kRoomNameTakenStringId = 2049;

class CChatRoomGeneralPage : public CPropertyPage {
    Q_OBJECT
public:
    // rooms holds the other rooms (this one is out of it while its sheet
    // runs); it may be null.
    CChatRoomGeneralPage(CChatRoomConfig& config, CChatRoomConfigList* rooms);
    ~CChatRoomGeneralPage() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::ChatRoomGeneralPage> m_ui;
    CChatRoomConfig& m_config;
    CChatRoomConfigList* m_rooms;
    CChatRoomConfig m_snapshot;
};
