#include "chat/chat_room.h"

#include "framework/html_text.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "platform/eventlog.h"

#include <unordered_set>

namespace {

// The statistics are counters only: a post does not wait long for them.
constexpr std::uint32_t kStatsWaitMs = 100;

} // namespace

void CChatRoom::AddNewDialog(CChatClientState& state, CMacroContext* requestScope)
{
    if (state.name.empty() || state.text.empty())
        return;
    try {
        CChatClientState line = state;
        {
            CTextBuffer safe(static_cast<int>(state.name.size()) + 16);
            AppendSafeHTML(&safe, state.name, true);
            line.name = safe.ToString();
            for (char& c : line.name)
                if (c == ',')
                    c = ' ';
        }
        {
            CTextBuffer safe(static_cast<int>(state.text.size()) + 16);
            AppendSafeHTML(&safe, state.text, true);
            line.text = safe.ToString();
        }
        if (GetRoomSettings()->decapitate)
            DecapitateText(line.text);
        PostLine(line);
        CTextBuffer log(512);
        requestScope->Expand(&log, "%log-dialog%");
        LogHit(EscapeLogLine(log.View()));
    } catch (const CChatRoomClosed&) {
        throw;
    } catch (...) {
        LogMessage(platform::kEventTypeError, kEventChatUnexpected, {"CChatRoom::AddNewDialog"});
    }
}

void CChatRoom::PostLine(const CChatClientState& line)
{
    // Built before the lock, on the thread's own heap, and copied into the
    // room heap under it.
    std::string name = EscapeIMGTags(line.name);
    std::string text = EscapeIMGTags(line.text);
    std::string key = MakeUserKey(name, line.ip);
    std::uint32_t maxLines = GetRoomSettings()->lines;
    bool isPrivate = !line.to.empty();
    {
        CWriteLockHolder write(m_lock);
        if (!write.Held() || !m_lines)
            throw CChatRoomClosed{};
        {
            CHeapSwitch roomHeap(m_heap);
            CChatLine& added = m_lines->emplace_back();
            added.name = name;
            added.rawText = line.text;
            added.text = text;
            added.pict = line.pict;
            added.ip = line.ip;
            added.hostname = line.hostname;
            added.to = line.to;
            added.key = key;
            added.time = Now();
            while (m_lines->size() > maxLines)
                m_lines->pop_front();
        }
        if (GetStats().IsMapped()) {
            bool locked = GetStats().LockMutex(kStatsWaitMs);
            GetStats().Add(isPrivate ? server_stat_offset::kChatPrivateLines : server_stat_offset::kChatLines, 1);
            if (locked)
                GetStats().UnlockMutex();
        }
    }
    // After the lock is released: every viewer that noted an older
    // generation wakes, or finds it moved when it comes to wait.
    m_newLine.Advance();
}

void CChatRoom::ForEachPresentUser(bool skipPrivate, const std::function<void(const PresentUser&)>& f)
{
    CReadLockHolder read(m_lock);
    if (!read.Held() || !m_lines)
        throw CChatRoomClosed{};
    std::int64_t now = Now();
    std::unordered_set<std::string_view> seen;
    for (auto it = m_lines->rbegin(); it != m_lines->rend(); ++it) {
        const CChatLine& line = *it;
        std::int64_t idle = (now - line.time) / 60;
        if (idle > kPresenceMinutes)
            continue;
        if (skipPrivate && !line.to.empty())
            continue;
        if (!seen.insert(line.key).second)
            continue;
        if (line.rawText == kExitText)
            continue;
        f(PresentUser{&line, static_cast<int>(idle < 0 ? 0 : idle)});
    }
}

int CChatRoom::CountActiveUsers()
{
    int count = 0;
    try {
        ForEachPresentUser(false, [&](const PresentUser&) { ++count; });
    } catch (const CChatRoomClosed&) {
        return -1;
    }
    return count;
}
