#pragma once
// The chat-wide objects every room chains to: the chat strings scope (its
// parent is the engine's global scope), the chat users and the chat groups
// (the Guests key), all from the ChatRoom key. Engine start loads them and
// creates one room per enabled room configuration, before the HTTP servers;
// engine stop releases them after every server is gone.

class CGroupMap;
class CMacroContext;
class CUserMap;

inline constexpr const char* kChatRoomSubkey = "ChatRoom";

// Loads the chat configuration, makes its lists and strings the chat-wide
// ones (falling back on the engine's users, groups and global scope), runs
// the chat InitMacro and creates a CChatRoom per enabled room; the rooms join
// the global server list. Returns the number of rooms created.
int CreateChatRooms(CMacroContext& global, CUserMap& engineUsers, CGroupMap& engineGroups);
// Forgets the chat-wide objects; call only when no room exists any more.
void ReleaseChatConfiguration();

// Null while no chat configuration is loaded.
CMacroContext* GetChatStringsScope();
CUserMap* GetChatUsers();
CGroupMap* GetChatGuests();
