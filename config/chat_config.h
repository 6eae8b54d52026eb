#pragma once
// The chat rooms' configuration, under ChatRoom of the product key:
//   Rooms\<room>  one service configuration per room (CServiceConfig's
//                 values and lists) plus the room's own values below
//   Users         the chat users; Guests: the groups of all chat rooms
//   Strings       overrides of the chat named strings
//   InitMacro     REG_SZ, expanded once when the rooms start
//
// A room's key is named after its Name (ChatRoomKeyName), so renaming a room
// moves it to a new key at the next save and two rooms of one name share a
// key. The room's own values are read on every load, reloads included;
// none of them needs a restart.

#include "config/config_lists.h"
#include "config/group_map.h"
#include "config/macro_scope.h"
#include "config/service_config.h"
#include "config/user_map.h"
#include "framework/snapshot.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr const char* kDefaultChatRoomName = "Chat Room";

struct CChatRoomSettings {
    std::string name = kDefaultChatRoomName;
    std::string description;
    std::uint32_t lines = 50;    // the most lines the room keeps
    std::uint32_t timeout = 300; // longest realtime stream, seconds
    std::uint32_t hideRoom = 0;  // non-zero: left out of the room lists
    std::uint32_t decapitate = 0; // non-zero: shouted posts are lower-cased
};

// The key a room is saved under: its Name with every '\' turned into '/',
// since '\' would nest keys below Rooms; an empty name (which would save the
// room over the Rooms key itself) becomes the default room name.
std::string ChatRoomKeyName(std::string_view name);

class CChatRoomConfig : public virtual CServiceConfig {
public:
    CChatRoomConfig();
    CChatRoomConfig(const CChatRoomConfig& other);
    CChatRoomConfig& operator=(const CChatRoomConfig& other);
    ~CChatRoomConfig() override;

    // Copies every service setting and the room's own values.
    void Assign(const CChatRoomConfig& other) { *this = other; }
    // Name, Lines, Timeout, HideRoom and Decapitate back to their defaults;
    // Description and the service values stay.
    void ResetDefaults();

    // The service load, then the room's values from the held key (a missing
    // value keeps the member).
    void Load(int keepStrings, int reload) override;
    // The service save, then the room's values, as one transaction.
    int Save(const platform::RegistryKey& key) override;

    // Editors publish new service values of a working copy.
    using CServiceConfig::SetSettings;
    std::shared_ptr<const CChatRoomSettings> GetRoomSettings() const;
    void SetRoomSettings(std::shared_ptr<const CChatRoomSettings> settings);

private:
    CSnapshot<CChatRoomSettings> m_room;
};

class CChatGlobalConfig {
public:
    CChatGlobalConfig();
    ~CChatGlobalConfig();
    CChatGlobalConfig(const CChatGlobalConfig&) = delete;
    CChatGlobalConfig& operator=(const CChatGlobalConfig&) = delete;

    // Loads root\subkey (not created; 0 when it does not open) as one
    // transaction: the rooms (each opened with first as its keepStrings),
    // Users, Guests, the default chat strings when first is non-zero, the
    // Strings key over what the scope holds, and InitMacro. Returns 1.
    int Load(const platform::RegistryKey& root, std::string_view subkey, int first);
    // Writes everything to root\subkey as one transaction: room keys whose
    // name is no room's are deleted, each room rewritten, then the lists and
    // InitMacro. 0 when the key cannot be created, or when a room's name
    // cannot name its key (empty, or holding '\'): then nothing is written
    // and GetSaveError says which room. Else 1.
    int Save(const platform::RegistryKey& root, std::string_view subkey);
    // Why the last Save returned 0; empty after a save that succeeded.
    const std::string& GetSaveError() const { return m_saveError; }

    CChatRoomConfigList& GetRooms() { return m_rooms; }
    CUserMap& GetUsers() { return m_users; }
    CGroupMap& GetGuests() { return m_guests; }
    // Null when no macro library is installed (config/macro_scope.h).
    CMacroScope* GetStrings() const { return m_strings.get(); }
    const std::string& GetInitMacro() const { return m_initMacro; }
    void SetInitMacro(std::string_view text) { m_initMacro = text; }

private:
    // Members in this order, so they are destroyed InitMacro first and the
    // room list last.
    CChatRoomConfigList m_rooms;
    CUserMap m_users;
    CGroupMap m_guests;
    std::unique_ptr<CMacroScope> m_strings;
    std::string m_initMacro;
    std::string m_saveError;
};
