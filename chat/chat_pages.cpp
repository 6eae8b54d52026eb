#include "chat/chat_macros.h"
#include "chat/chat_room.h"

#include "framework/error_reply.h"
#include "framework/html_text.h"
#include "framework/server.h"
#include "framework/text_buffer.h"
#include "framework/wsocket.h"
#include "macro/macro_context.h"

#include <algorithm>

namespace {

constexpr int kDialogBytesPerLine = 1024;
constexpr int kMaxDialogCapacity = 1 << 20;
constexpr int kUsersCapacity = 8192;
constexpr int kRoomsBytesPerServer = 512;
constexpr int kRoomsGrowStep = 1024;
constexpr int kPageCapacity = 8192;

template <typename T, typename... Args>
void Define(CMacroContext& scope, std::string_view name, Args&&... args)
{
    scope.Register(name, std::make_unique<T>(std::forward<Args>(args)...));
}

// The name falls through to the named string of that name.
void Undefine(CMacroContext& scope, std::string_view name) { scope.Register(name, std::unique_ptr<CMacro>()); }

void DefineEmpty(CMacroContext& scope, std::string_view name) { Define<CConstantMacro>(scope, name, ""); }

// Texts a client chose go into attributes and pages HTML-encoded.
std::string Encoded(std::string_view text)
{
    CTextBuffer out(static_cast<int>(text.size()) + 16);
    HTMLEncode(&out, text);
    return out.ToString();
}

void DefineUserMacros(CMacroContext& scope, const CChatLine& line)
{
    Define<CStringRefMacro>(scope, "u-name", &line.name);
    Define<CValueMacro>(scope, "u-pict", Encoded(line.pict));
    Define<CValueMacro>(scope, "u-ipaddr", line.ip);
    Define<CValueMacro>(scope, "u-hostname", Encoded(line.hostname));
    Define<CValueMacro>(scope, "u-host", Encoded(line.hostname.empty() ? line.ip : line.hostname));
}

} // namespace

void CChatRoom::SendDialogPage(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope,
                               int withForm)
{
    CMacroContext page(requestScope);
    connection->SendTextLine("Content-type: text/html");
    connection->SendTextLine("");
    CTextBuffer dialog(std::clamp(viewer.numlines * kDialogBytesPerLine, kDialogBytesPerLine, kMaxDialogCapacity));
    RenderDialog(dialog, viewer, requestScope);
    std::string dialogText = dialog.ToString();
    Define<CStringRefMacro>(page, "dialog", &dialogText);
    if (!viewer.to.empty())
        Define<CValueMacro>(page, "to", Encoded(viewer.to));
    else
        DefineEmpty(page, "chat-dlg-touser");
    const char* form = withForm ? (viewer.name.empty() ? "%chat-dlg-anon-form%" : "%chat-dlg-form%")
                                : (viewer.name.empty() ? "%chat-dlg-realtime-anon-form%" : "%chat-dlg-realtime-form%");
    CTextBuffer out(kPageCapacity, kPageCapacity);
    page.Expand(&out, form);
    connection->SendText(out.View());
}

void CChatRoom::RenderDialog(CTextBuffer& out, CChatClientState& viewer, CMacroContext* requestScope)
{
    if (viewer.numlines < 1)
        return;
    CReadLockHolder read(m_lock);
    if (!read.Held() || !m_lines)
        throw CChatRoomClosed{};
    CMacroContext lineScope(requestScope);
    const std::deque<CChatLine>& lines = *m_lines;
    if (lines.empty())
        return;

    // Walk back from the newest line until numlines - 1 visible lines were passed.
    std::size_t first = lines.size() - 1;
    int count = viewer.numlines - 1;
    while (count > 0) {
        std::size_t taken = first;
        bool before = first > 0;
        if (before)
            --first;
        if (lines[taken].IsVisibleTo(viewer))
            --count;
        if (!before)
            break;
    }

    CChatClientState recipients = viewer;
    CChatClientState lockout = viewer;
    Define<CClientStateMacro>(lineScope, "to-state", &recipients, 0);
    Define<CClientStateMacro>(lineScope, "lockout-state", &lockout, 0);
    for (std::size_t i = first; i < lines.size(); ++i) {
        const CChatLine& line = lines[i];
        if (!line.IsVisibleTo(viewer))
            continue;
        if (!viewer.lockout.empty() && IsInCommaList(line.key, viewer.lockout))
            continue;
        Define<CStringRefMacro>(lineScope, "u-name", &line.name);
        Define<CValueMacro>(lineScope, "u-pict", Encoded(line.pict));
        Define<CStringRefMacro>(lineScope, "u-text", viewer.showpict ? &line.rawText : &line.text);
        bool exit = line.rawText == kExitText;
        if (!exit && !viewer.name.empty()) {
            recipients.to = line.key + "," + viewer.to;
            lockout.lockout = line.key + "," + viewer.lockout;
            Undefine(lineScope, "chat-dlg-private");
            Undefine(lineScope, "chat-dlg-lockout");
        } else {
            DefineEmpty(lineScope, "chat-dlg-private");
            DefineEmpty(lineScope, "chat-dlg-lockout");
        }
        if (!viewer.showpict || line.pict.empty())
            DefineEmpty(lineScope, "chat-dlg-pict");
        else
            Undefine(lineScope, "chat-dlg-pict");
        if (viewer.showtime) {
            Define<CValueMacro>(lineScope, "time", std::to_string(line.time));
            Undefine(lineScope, "chat-dlg-time");
        } else {
            DefineEmpty(lineScope, "chat-dlg-time");
        }
        if (viewer.showsource) {
            Undefine(lineScope, "chat-dlg-host");
            Define<CValueMacro>(lineScope, "u-hostname", Encoded(line.hostname));
            Define<CValueMacro>(lineScope, "u-ipaddr", line.ip);
            Define<CValueMacro>(lineScope, "u-host", Encoded(line.hostname.empty() ? line.ip : line.hostname));
        } else {
            DefineEmpty(lineScope, "chat-dlg-host");
        }
        const char* form = line.rawText == kJoinText ? "%chat-dlg-userenter-line%"
                           : exit                    ? "%chat-dlg-userexit-line%"
                           : !line.to.empty()        ? "%chat-dlg-private-line%"
                                                     : "%chat-dlg-line%";
        lineScope.Expand(&out, form);
    }
}

void CChatRoom::RenderUserList(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope)
{
    CMacroContext page(requestScope);
    CTextBuffer users(kUsersCapacity, kUsersCapacity);
    CChatClientState recipients = viewer;
    CChatClientState lockout = viewer;
    Define<CClientStateMacro>(page, "to-state", &recipients, 0);
    Define<CClientStateMacro>(page, "lockout-state", &lockout, 0);
    std::string joinUrl = viewer.name.empty() ? "/Join" : "/View?%client-state%";
    Define<CExpandRefMacro>(page, "join-url", &joinUrl);
    ForEachPresentUser(true, [&](const PresentUser& user) {
        const std::string& key = user.line->key;
        recipients.to = IsInCommaList(key, viewer.to) ? viewer.to : key + "," + viewer.to;
        bool lockedOut = IsInCommaList(key, viewer.lockout) != 0;
        if (lockedOut)
            RemoveFromCommaList(lockout.lockout, key, viewer.lockout);
        else
            lockout.lockout = key + "," + viewer.lockout;
        DefineUserMacros(page, *user.line);
        int idle = user.idleMinutes;
        Define<CValueMacro>(page, "u-idle", std::to_string(idle));
        const char* form = viewer.name.empty() ? "%chat-user-list-anon-line%"
                           : lockedOut         ? "%chat-user-list-line-lockedout%"
                                               : "%chat-user-list-line%";
        page.Expand(&users, form);
    });
    std::string usersText = users.ToString();
    Define<CStringRefMacro>(page, "users", &usersText);
    CTextBuffer out(kPageCapacity, kPageCapacity);
    page.Expand(&out, "%chat-user-list%");
    SendErrorReply(*connection, 200, out.View(), nullptr);
}

void CChatRoom::SendRoomList(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope,
                             std::uint32_t localAddress)
{
    try {
        std::vector<CServer*> servers = GetServerList();
        CMacroContext page(requestScope);
        CTextBuffer rooms(std::max<int>(1, static_cast<int>(servers.size())) * kRoomsBytesPerServer, kRoomsGrowStep);
        std::string joinUrl = viewer.name.empty() ? "/Join" : "/View?%client-state%";
        Define<CExpandRefMacro>(page, "join-url", &joinUrl);
        for (CServer* server : servers) {
            if (server->GetServerType() != 2)
                continue;
            auto* room = dynamic_cast<CChatRoom*>(server);
            if (room == nullptr || room->IsRoomStopping())
                continue;
            std::shared_ptr<const CServiceSettings> settings = room->GetSettings();
            std::shared_ptr<const CChatRoomSettings> values = room->GetRoom();
            if ((settings->address != 0 && settings->address != localAddress) || values->hideRoom)
                continue;
            int users = room->CountActiveUsers();
            if (users < 0)
                continue; // stopping
            Define<CValueMacro>(page, "r-name", values->name);
            Define<CValueMacro>(page, "r-desc", values->description);
            Define<CValueMacro>(page, "r-numusers", std::to_string(users));
            if (!(settings->useSSL && settings->sslOnly)) {
                Define<CValueMacro>(page, "r-port", std::to_string(settings->port));
                Define<CValueMacro>(page, "r-protocol", std::string("http"));
                Define<CValueMacro>(page, "r-secure", std::string());
                page.Expand(&rooms, "%chat-room-list-line%");
            }
            if (settings->useSSL) {
                Define<CValueMacro>(page, "r-port", std::to_string(settings->sslPort));
                Define<CValueMacro>(page, "r-protocol", std::string("https"));
                Define<CValueMacro>(page, "r-secure", std::string(" <b>(SSL)</b>"));
                page.Expand(&rooms, "%chat-room-list-line%");
            }
        }
        std::string roomsText = rooms.ToString();
        Define<CStringRefMacro>(page, "rooms", &roomsText);
        CTextBuffer out(kPageCapacity, kPageCapacity);
        page.Expand(&out, "%chat-room-list%");
        SendErrorReply(*connection, 200, out.View(), nullptr);
    } catch (const CChatRoomClosed&) {
        throw;
    } catch (...) {
        // The connection gets no page.
    }
}
