#include "config/chat_config.h"

#include "config/registry_helpers.h"
#include "framework/text_util.h"
#include "resources/string_table.h"

#include <set>
#include <vector>

namespace {

constexpr const char* kRoomsSubkey = "Rooms";
constexpr const char* kUsersSubkey = "Users";
constexpr const char* kGuestsSubkey = "Guests";
constexpr const char* kStringsSubkey = "Strings";
constexpr const char* kInitMacroValue = "InitMacro";

} // namespace

std::string ChatRoomKeyName(std::string_view name)
{
    if (name.empty())
        return kDefaultChatRoomName;
    std::string key(name);
    for (char& c : key)
        if (c == '\\')
            c = '/';
    return key;
}

CChatRoomConfig::CChatRoomConfig() : m_room(std::make_shared<CChatRoomSettings>()) {}

CChatRoomConfig::CChatRoomConfig(const CChatRoomConfig& other) : CServiceConfig(other), m_room(other.m_room)
{
}

CChatRoomConfig& CChatRoomConfig::operator=(const CChatRoomConfig& other)
{
    if (this != &other) {
        CServiceConfig::operator=(other);
        SetRoomSettings(other.GetRoomSettings());
    }
    return *this;
}

CChatRoomConfig::~CChatRoomConfig() = default;

void CChatRoomConfig::ResetDefaults()
{
    auto next = std::make_shared<CChatRoomSettings>();
    next->description = GetRoomSettings()->description;
    SetRoomSettings(std::move(next));
}

std::shared_ptr<const CChatRoomSettings> CChatRoomConfig::GetRoomSettings() const { return m_room.Get(); }

void CChatRoomConfig::SetRoomSettings(std::shared_ptr<const CChatRoomSettings> settings)
{
    m_room.Set(std::move(settings));
}

void CChatRoomConfig::Load(int keepStrings, int reload)
{
    CServiceConfig::Load(keepStrings, reload);
    const platform::RegistryKey& key = GetKey();
    auto next = std::make_shared<CChatRoomSettings>(*GetRoomSettings());
    {
        platform::RegistrySnapshot snapshot;
        RegQueryDword(key, "Lines", next->lines);
        RegQueryDword(key, "Timeout", next->timeout);
        RegQueryDword(key, "HideRoom", next->hideRoom);
        RegQueryDword(key, "Decapitate", next->decapitate);
        RegQueryString(key, "Name", next->name);
        RegQueryString(key, "Description", next->description);
    }
    SetRoomSettings(std::move(next));
}

int CChatRoomConfig::Save(const platform::RegistryKey& key)
{
    platform::RegistryTransaction transaction;
    CServiceConfig::Save(key);
    std::shared_ptr<const CChatRoomSettings> r = GetRoomSettings();
    key.SetDword("Lines", r->lines);
    key.SetDword("Timeout", r->timeout);
    key.SetDword("HideRoom", r->hideRoom);
    key.SetDword("Decapitate", r->decapitate);
    RegSetString(key, "Name", r->name);
    RegSetString(key, "Description", r->description);
    transaction.Commit();
    return 1;
}

CChatGlobalConfig::CChatGlobalConfig() : m_strings(CreateMacroScope()) {}

CChatGlobalConfig::~CChatGlobalConfig() = default;

int CChatGlobalConfig::Load(const platform::RegistryKey& root, std::string_view subkey, int first)
{
    // One committed state for the whole load: a save in another process is
    // seen whole or not at all, and no room key it deleted is created again
    // by the room's open.
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (root.Open(subkey, key) != platform::kErrorSuccess)
        return 0;
    m_rooms.RemoveAll();
    platform::RegistryKey rooms;
    if (key.Open(kRoomsSubkey, rooms) == platform::kErrorSuccess) {
        std::vector<std::string> names;
        std::string name;
        for (std::uint32_t index = 0; rooms.EnumKey(index, name) == platform::kErrorSuccess; ++index)
            names.push_back(name);
        for (const std::string& roomName : names) {
            CChatRoomConfig room;
            if (room.Open(rooms, roomName, first))
                m_rooms.AddTail(room);
        }
    }
    m_users.LoadFromKey(key, kUsersSubkey);
    m_guests.LoadFromKey(key, kGuestsSubkey);
    if (m_strings) {
        if (first)
            m_strings->LoadDefaultStrings(kChatDefaultStrings, 0);
        m_strings->LoadFromRegistry(key, kStringsSubkey, 1);
    }
    RegQueryString(key, kInitMacroValue, m_initMacro);
    transaction.Commit();
    return 1;
}

int CChatGlobalConfig::Save(const platform::RegistryKey& root, std::string_view subkey)
{
    // Readers in other processes see the configuration before the save or
    // after it, never a room list or ACL key half rewritten.
    m_saveError.clear();
    // A name that cannot be a key would be stored under another name, where
    // it could meet a room of that name: refuse it before anything is written.
    for (const CChatRoomConfig& room : m_rooms) {
        const std::string& name = room.GetRoomSettings()->name;
        if (name.empty() || name.find('\\') != std::string::npos) {
            m_saveError = "The chat room name \"" + name +
                          "\" cannot be saved: a room name must not be empty or contain '\\'.";
            return 0;
        }
    }
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (root.Create(subkey, key) != platform::kErrorSuccess) {
        m_saveError = "The chat configuration key cannot be created.";
        return 0;
    }
    platform::RegistryKey rooms;
    if (key.Create(kRoomsSubkey, rooms) == platform::kErrorSuccess) {
        std::set<std::string> kept;
        for (const CChatRoomConfig& room : m_rooms)
            kept.insert(LowerCaseString(ChatRoomKeyName(room.GetRoomSettings()->name)));
        DeleteStaleSubkeys(rooms, kept);
        for (CChatRoomConfig& room : m_rooms) {
            const std::string name = room.GetRoomSettings()->name;
            if (room.SaveToKey(rooms, ChatRoomKeyName(name)) != platform::kErrorSuccess) {
                m_saveError = "The chat room \"" + name + "\" cannot be written.";
                return 0;
            }
        }
        rooms.Close();
    }
    m_users.Save(key, kUsersSubkey);
    m_guests.Save(key, kGuestsSubkey);
    if (m_strings)
        m_strings->SaveToRegistry(key, kStringsSubkey);
    RegSetString(key, kInitMacroValue, m_initMacro);
    key.Close();
    return transaction.Commit() == platform::kErrorSuccess ? 1 : 0;
}
