#pragma once
// CChatRoom: the server of one chat room. It is a CConfiguredServer (the
// server base answered from the registry configuration) whose configuration
// part is a CChatRoomConfig.
//
// A room answers exactly one HTTP/1.0 request per connection. Its whole
// content is its list of lines, kept in memory, in a private heap, from
// Start to Stop; every page is a named string expanded in a request scope
// chained to the room's scope, whose parent holds the chat-wide strings.
//
// The routines live in several files:
//   chat_room.cpp      construction, Start/Stop, the request and its dispatch
//   chat_lines.cpp     posting (AddNewDialog, PostLine) and presence
//   chat_pages.cpp     the dialog, the user list and the room list
//   realtime.cpp       the realtime stream
//
// Stopping: Stop closes the room lock and the new-line generation, so every
// waiter fails or wakes at once, lets the server base end every connection,
// and only then destroys the lines and the heap.

#include "chat/chat_line.h"
#include "chat/client_state.h"
#include "config/chat_config.h"
#include "framework/generation.h"
#include "framework/reader_writer_lock.h"
#include "macro/configured_server.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class CMacroContext;
class CTextBuffer;
class WSocket;

namespace platform {
class Heap;
}

// The lines of a room are guarded by this lock: rendering and counting read,
// posting writes, Stop closes it.
using CChatRoomLock = CReaderWriterLock;

// Event ids of the room's reports.
inline constexpr std::uint32_t kEventChatRoomStarted = 0x40004006;
inline constexpr std::uint32_t kEventChatRoomStopped = 0x40004007;
inline constexpr std::uint32_t kEventChatSocketWarning = 0x80004000;
inline constexpr std::uint32_t kEventChatUnexpected = 0xC0004003;

// What a chat request may send us: the HTTP server's limits.
inline constexpr std::size_t kChatMaxRequestLineBytes = 8 * 1024;
inline constexpr std::size_t kChatMaxHeaderLineBytes = 8 * 1024;
inline constexpr std::size_t kChatMaxHeaderBytes = 64 * 1024;
inline constexpr std::int64_t kChatMaxBodyBytes = 64 * 1024;

// A user is present while his newest line is at most this many minutes old.
inline constexpr std::int64_t kPresenceMinutes = 30;

// The realtime stream's texts.
inline constexpr std::string_view kPushBoundary = "~@FooBarBazBop#$";
inline constexpr std::string_view kPushHeader =
    "HTTP/1.0 200 OK\r\nContent-type: multipart/x-mixed-replace;boundary=~@FooBarBazBop#$\r\n";
inline constexpr std::string_view kPushBoundaryLine = "\r\n--~@FooBarBazBop#$";
inline constexpr std::string_view kPushShutdownPage =
    "<HTML><HEAD><TITLE>Chat Server Shutdown</TITLE></HEAD><BODY><H1>Chat Server Shutdown</H1>The chat server "
    "has been shut down.  Please try again later!</BODY></HTML>";
// The pause after a wake-up, so that lines posted close together go out in one part.
inline constexpr std::uint32_t kPushPauseMs = 2000;
inline constexpr std::uint32_t kPushPauseSpreadMs = 1000;

// Thrown inside a request when the room is stopping: the request ends
// without a reply, since the connection is being ended anyway.
struct CChatRoomClosed {};

class CChatRoom : public CConfiguredServer, public CChatRoomConfig {
public:
    // Copies the configuration; the name and description become safe HTML.
    explicit CChatRoom(const CChatRoomConfig& config);
    ~CChatRoom() override;
    CChatRoom(const CChatRoom&) = delete;
    CChatRoom& operator=(const CChatRoom&) = delete;

    int Start(unsigned index) override;
    int Stop() override;
    std::uint32_t GetServerType() const override { return 2; }
    void ServerRequest(WSocket* socket) override;
    // A reload keeps the name and description safe HTML too.
    void Load(int keepStrings, int reload) override;

    // Posts the state as a line when it has a name and a text, and logs it.
    // Never throws.
    void AddNewDialog(CChatClientState& state, CMacroContext* requestScope);
    // Appends one cleaned line, trims to Lines, wakes the realtime viewers.
    // Throws CChatRoomClosed when the room is stopping.
    void PostLine(const CChatClientState& line);

    // Status line already sent: the content type, the blank line and the
    // dialog page (the form, or the realtime form when withForm is 0).
    void SendDialogPage(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope, int withForm);
    void RenderDialog(CTextBuffer& out, CChatClientState& viewer, CMacroContext* requestScope);
    void RenderUserList(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope);
    // Users present now; -1 when the room is stopping.
    int CountActiveUsers();
    void SendRoomList(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope,
                      std::uint32_t localAddress);
    // The dialog once, or as a multipart stream when the viewer asked for realtime.
    void SendRealtimeStream(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope);

    // The room's own settings as they stand (name and description safe HTML).
    std::shared_ptr<const CChatRoomSettings> GetRoom() const { return GetRoomSettings(); }
    bool IsRoomStopping() const { return m_stopFlag.load(); }
    // Lines held now; -1 when stopping.
    int GetLineCount();

    // Tests move the clock lines are stamped with (seconds since 1970);
    // null restores it.
    using Clock = std::int64_t (*)();
    static void SetClockForTesting(Clock clock);
    static std::int64_t Now();

protected:
    void PrepareStart() override;

private:
    struct PresentUser {
        const CChatLine* line;
        int idleMinutes;
    };
    // Calls f for each present user, newest first, with the read lock held.
    void ForEachPresentUser(bool skipPrivate, const std::function<void(const PresentUser&)>& f);
    void MakeSafeTexts();
    void DestroyLines();
    void LogRequest(CMacroContext& scope, const char* name);
    void Dispatch(WSocket& socket, CChatClientState& state, CMacroContext& scope, std::string_view method,
                  std::string_view path, std::string_view query, const std::string& headers);

    CGeneration m_newLine;
    std::atomic<bool> m_stopFlag{false};
    std::unique_ptr<std::deque<CChatLine>> m_lines;
    platform::Heap* m_heap = nullptr;
    CChatRoomLock m_lock;
};

// Escapes the control characters of a log line ("\xHH", and '\' as "\\"),
// so that what a client sent can never split or forge a line.
std::string EscapeLogLine(std::string_view line);
