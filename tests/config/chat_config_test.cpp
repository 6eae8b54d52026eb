#include "config/chat_config.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"
#include "configuration_layout_helper.h"
#include "macro/named_strings.h"
#include "resources/string_table.h"

namespace {

class ChatConfigTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        InitMacroLibrary();
    }

    const platform::RegistryKey& Root() { return platform::RegistryKey::LocalMachine(); }

    std::vector<std::string> Subkeys(const std::string& path) { return SubkeyNames(Key(path)); }
};

void SetName(CChatRoomConfig& room, const std::string& name)
{
    auto r = std::make_shared<CChatRoomSettings>(*room.GetRoomSettings());
    r->name = name;
    room.SetRoomSettings(r);
}

TEST_F(ChatConfigTest, RoomValuesLoadSaveAndAMissingValueKeepsTheLoadedOne)
{
    platform::RegistryKey key = Key("ChatRoom\\Rooms\\Lobby");
    key.SetDword("Port", 8001);
    RegSetString(key, "Name", "Lobby");
    RegSetString(key, "Description", "Where everyone meets");
    key.SetDword("Lines", 80);
    key.SetDword("Timeout", 60);
    key.SetDword("HideRoom", 1);
    key.SetDword("Decapitate", 1);
    CChatRoomConfig room;
    ASSERT_EQ(room.Open(Key("ChatRoom\\Rooms"), "Lobby", 1), 1);
    std::shared_ptr<const CChatRoomSettings> loaded = room.GetRoomSettings();
    EXPECT_EQ(loaded->name, "Lobby");
    EXPECT_EQ(loaded->lines, 80u);
    EXPECT_EQ(loaded->timeout, 60u);
    EXPECT_EQ(loaded->hideRoom, 1u);
    EXPECT_EQ(loaded->decapitate, 1u);
    EXPECT_EQ(room.GetSettings()->port, 8001u);

    ASSERT_EQ(key.DeleteValue("Description"), platform::kErrorSuccess);
    key.SetDword("Lines", 90);
    Touch();
    room.RefreshIfChanged();
    EXPECT_EQ(room.GetRoomSettings()->lines, 90u);
    EXPECT_EQ(room.GetRoomSettings()->description, "Where everyone meets");
    EXPECT_EQ(loaded->lines, 80u) << "a held snapshot changed under its reader";

    // None of the room's own values needs a restart.
    CChatRoomConfig edited(room);
    edited.ResetDefaults();
    EXPECT_EQ(edited.GetRoomSettings()->name, kDefaultChatRoomName);
    EXPECT_EQ(edited.GetRoomSettings()->lines, 50u);
    EXPECT_EQ(edited.GetRoomSettings()->description, "Where everyone meets");
    EXPECT_EQ(edited.GetSettings()->port, 8001u);
    EXPECT_EQ(room.NeedsRestart(edited), 0);

    // What a save writes comes back.
    ASSERT_EQ(edited.SaveToKey(Key("ChatRoom\\Rooms"), "Copy"), 0);
    CChatRoomConfig reread;
    ASSERT_EQ(reread.Open(Key("ChatRoom\\Rooms"), "Copy", 1), 1);
    EXPECT_EQ(reread.GetRoomSettings()->name, kDefaultChatRoomName);
    EXPECT_EQ(reread.GetRoomSettings()->description, "Where everyone meets");
    EXPECT_EQ(reread.GetSettings()->port, 8001u);
}

TEST_F(ChatConfigTest, RoomsAreKeyedByNameAndNoNameEscapesTheRoomsKey)
{
    CChatGlobalConfig missing;
    EXPECT_EQ(missing.Load(Root(), kChatKeyPath, 1), 0);

    RegSetString(Key("ChatRoom\\Rooms\\Old\\ACL"), "0", "Allow-user: *,*,*");
    RegSetString(Key("ChatRoom\\Rooms"), "keep-me", "a value of the Rooms key");
    CChatGlobalConfig chat;
    ASSERT_EQ(chat.Load(Root(), kChatKeyPath, 1), 1);
    ASSERT_EQ(chat.GetRooms().GetCount(), 1u);
    // A name that cannot be a key is refused, and nothing is written.
    for (const char* bad : {"Sales\\East", ""}) {
        chat.GetRooms().RemoveAll();
        for (const char* name : {"Lobby", bad})
            SetName(chat.GetRooms().AddTail(), name);
        EXPECT_EQ(chat.Save(Root(), kChatKeyPath), 0) << bad;
        EXPECT_NE(chat.GetSaveError().find("\"" + std::string(bad) + "\" cannot be saved"), std::string::npos)
            << chat.GetSaveError();
        EXPECT_EQ(Subkeys("ChatRoom\\Rooms"), (std::vector<std::string>{"Old"})) << bad;
    }
    chat.GetRooms().RemoveAll();
    for (const char* name : {"Lobby", "Sales/East"})
        SetName(chat.GetRooms().AddTail(), name);
    ASSERT_EQ(chat.Save(Root(), kChatKeyPath), 1);
    EXPECT_EQ(chat.GetSaveError(), "");
    EXPECT_EQ(Subkeys("ChatRoom\\Rooms"), (std::vector<std::string>{"Lobby", "Sales/East"}));
    std::string text;
    EXPECT_EQ(RegQueryString(Key("ChatRoom\\Rooms"), "keep-me", text), platform::kErrorSuccess)
        << "a room was saved over the Rooms key";

    CChatGlobalConfig reread;
    ASSERT_EQ(reread.Load(Root(), kChatKeyPath, 1), 1);
    EXPECT_NE(reread.GetRooms().FindByName("sales/east"), nullptr);

    // A renamed room moves to its new key at the next save.
    SetName(*reread.GetRooms().FindByName("lobby"), "Hall");
    ASSERT_EQ(reread.Save(Root(), kChatKeyPath), 1);
    EXPECT_EQ(Subkeys("ChatRoom\\Rooms"), (std::vector<std::string>{"Hall", "Sales/East"}));
}

TEST_F(ChatConfigTest, StringsTakeTheChatDefaultsOnlyOnTheFirstLoad)
{
    RegSetString(Key("ChatRoom\\Strings"), "Room-Exit", "<p>bye</p>");
    RegSetString(Key("ChatRoom"), "InitMacro", "%set(chat,1)");
    auto text = [](CChatGlobalConfig& chat, const char* name) { return StringText(chat.GetStrings(), name); };
    CChatGlobalConfig first;
    ASSERT_EQ(first.Load(Root(), kChatKeyPath, 1), 1);
    ASSERT_NE(first.GetStrings(), nullptr);
    EXPECT_EQ(text(first, "room-exit"), "<p>bye</p>");
    EXPECT_EQ(text(first, "room-join-form"), LoadDefaultText(kChatDefaultStrings[0]));
    EXPECT_EQ(first.GetInitMacro(), "%set(chat,1)");

    CChatGlobalConfig later;
    ASSERT_EQ(later.Load(Root(), kChatKeyPath, 0), 1);
    EXPECT_EQ(text(later, "room-exit"), "<p>bye</p>");
    EXPECT_EQ(text(later, "room-join-form"), "(none)");
}

} // namespace
