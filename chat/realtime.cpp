#include "chat/chat_room.h"

#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/sync.h"

#include <random>

namespace {

std::uint32_t PauseMs()
{
    thread_local std::minstd_rand random(static_cast<std::uint32_t>(platform::MonotonicMs()));
    return kPushPauseMs + static_cast<std::uint32_t>(random() % kPushPauseSpreadMs);
}

} // namespace

void CChatRoom::SendRealtimeStream(WSocket* connection, CChatClientState& viewer, CMacroContext* requestScope)
{
    if (!viewer.realtime) {
        connection->SendTextLine("HTTP/1.0 200 OK");
        SendDialogPage(connection, viewer, requestScope, 1);
        return;
    }
    connection->SendText(kPushHeader);
    connection->SendTextLine("");
    connection->SendTextLine(kPushBoundaryLine);
    std::uint64_t deadline = platform::MonotonicMs() + std::uint64_t{GetRoomSettings()->timeout} * 1000;

    bool timedOut = false;
    bool stopping = m_stopFlag.load();
    while (!stopping) {
        if (platform::MonotonicMs() >= deadline)
            break;
        // Noted before the render: a line posted from here on moves it, so
        // the wait below returns at once instead of missing the line.
        std::uint64_t seen = m_newLine.Current();
        try {
            SendDialogPage(connection, viewer, requestScope, 0);
        } catch (const CChatRoomClosed&) {
            stopping = true;
            break;
        }
        if (connection->SendText(kPushBoundaryLine) >= 0)
            connection->SendText("\r\n", false);
        CGeneration::WaitResult woke = m_newLine.WaitForChangeOrInput(seen, *connection, deadline);
        if (woke == CGeneration::WaitResult::TimedOut) {
            timedOut = true;
            break;
        }
        if (woke == CGeneration::WaitResult::Input)
            break;
        if (woke == CGeneration::WaitResult::Closed || m_stopFlag.load()) {
            stopping = true;
            break;
        }
        // Lines posted close together go out in one part; a stop cuts the pause short.
        if (m_newLine.WaitForClose(platform::DeadlineAfter(PauseMs())) == CGeneration::WaitResult::Closed)
            stopping = true;
    }
    if (!stopping) {
        if (timedOut) {
            SendDialogPage(connection, viewer, requestScope, 1);
            connection->SendTextLine(kPushBoundaryLine);
        }
        return;
    }
    connection->SendTextLine("Content-type: text/html");
    connection->SendTextLine("");
    connection->SendTextLine(kPushShutdownPage);
    connection->Flush();
}
