#include "chat/chat_engine.h"

#include "chat/chat_room.h"
#include "config/chat_config.h"
#include "config/group_map.h"
#include "config/last_mod_stamp.h"
#include "config/user_map.h"
#include "framework/server_log.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "platform/eventlog.h"
#include "platform/registry.h"

#include <atomic>
#include <memory>
#include <string>

namespace {

constexpr int kInitMacroScratchBytes = 1024;

std::unique_ptr<CChatGlobalConfig> g_chat;
std::atomic<CMacroContext*> g_chatScope{nullptr};

} // namespace

int CreateChatRooms(CMacroContext& global, CUserMap& engineUsers, CGroupMap& engineGroups)
{
    CHeapSwitch shared;
    g_chat = std::make_unique<CChatGlobalConfig>();
    g_chat->Load(platform::RegistryKey::LocalMachine(), std::string(kProductKeyPath) + "\\" + kChatRoomSubkey, 1);
    g_chat->GetUsers().SetParent(&engineUsers);
    g_chat->GetGuests().SetParent(&engineGroups);
    if (auto* strings = dynamic_cast<CMacroContext*>(g_chat->GetStrings())) {
        strings->SetReadOnly(false);
        strings->SetParent(&global);
        if (!g_chat->GetInitMacro().empty()) {
            try {
                CTextBuffer scratch(kInitMacroScratchBytes);
                strings->Expand(&scratch, g_chat->GetInitMacro());
            } catch (...) {
                LogMessage(platform::kEventTypeError, kEventChatUnexpected, {"ChatRoom InitMacro"});
            }
        }
        strings->SetReadOnly(true);
        g_chatScope.store(strings);
    }
    int created = 0;
    for (CChatRoomConfig& config : g_chat->GetRooms()) {
        if (!config.GetSettings()->enabled)
            continue;
        // Joins the global server list, which owns it until DeleteAllServers.
        new CChatRoom(config);
        ++created;
    }
    return created;
}

void ReleaseChatConfiguration()
{
    CHeapSwitch shared;
    g_chatScope.store(nullptr);
    g_chat.reset();
}

CMacroContext* GetChatStringsScope() { return g_chatScope.load(); }
CUserMap* GetChatUsers() { return g_chat ? &g_chat->GetUsers() : nullptr; }
CGroupMap* GetChatGuests() { return g_chat ? &g_chat->GetGuests() : nullptr; }
