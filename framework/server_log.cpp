#include "framework/server_log.h"

#include "framework/event_lock.h"
#include "framework/system_time.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "resources/message_table.h"

#include <cstdio>
#include <vector>

namespace {

// One lock for the file, the event log and the switch between them, so a
// close never frees the file under a writer.
CEventLock g_logLock;
std::FILE* g_logFile = nullptr;
platform::EventLog g_eventLog;
bool g_useEventLog = false;
bool g_keepFile = false;
bool g_echo = false;

// Under the lock.
bool OpenLocked()
{
    if (g_logFile != nullptr)
        return true;
    std::string directory = platform::LogDirectory();
    platform::CreateDirectories(directory);
    std::string path = platform::JoinPath(directory, kServerLogFileName);
    // Append mode creates the file when missing and writes at its end.
    g_logFile = std::fopen(path.c_str(), "a");
    return g_logFile != nullptr;
}

} // namespace

bool OpenServerLog()
{
    CEventLockHolder hold(g_logLock);
    return OpenLocked();
}

void CloseServerLog()
{
    CEventLockHolder hold(g_logLock);
    if (g_logFile != nullptr)
        std::fclose(g_logFile);
    g_logFile = nullptr;
}

bool IsServerLogOpen()
{
    CEventLockHolder hold(g_logLock);
    return g_logFile != nullptr;
}

bool UseEventLog(bool on)
{
    CEventLockHolder hold(g_logLock);
    if (on && g_eventLog.Open() != 0)
        return false;
    if (!on)
        g_eventLog.Close();
    g_useEventLog = on;
    return true;
}

bool IsUsingEventLog()
{
    CEventLockHolder hold(g_logLock);
    return g_useEventLog;
}

void KeepServerLogFile(bool on)
{
    CEventLockHolder hold(g_logLock);
    g_keepFile = on;
}

void EchoServerLogToStandardError(bool on)
{
    CEventLockHolder hold(g_logLock);
    g_echo = on;
}

bool FormatLogMessage(std::uint32_t id, std::initializer_list<std::string_view> inserts, std::string& text)
{
    const char* format = LoadMessageById(id);
    if (format == nullptr)
        return false;
    std::vector<std::string_view> args(inserts);
    text.clear();
    for (const char* p = format; *p != '\0' && text.size() < kMaxServerLogMessage; ++p) {
        if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
            std::size_t index = static_cast<std::size_t>(p[1] - '1');
            if (index < args.size())
                text.append(args[index]);
            ++p;
        } else if (*p == '%' && p[1] == '%') {
            text += '%';
            ++p;
        } else {
            text += *p;
        }
    }
    if (text.size() > kMaxServerLogMessage)
        text.resize(kMaxServerLogMessage);
    return true;
}

void LogMessage(std::uint16_t type, std::uint32_t id, std::initializer_list<std::string_view> inserts)
{
    CEventLockHolder hold(g_logLock);
    std::string text;
    if (!FormatLogMessage(id, inserts, text))
        return;
    bool toFile = g_logFile != nullptr;
    if (g_useEventLog) {
        // A syslog socket that is gone must not swallow the event: the file
        // takes what the event log refused.
        bool reported = g_eventLog.Report(type, text) == 0;
        toFile = (g_keepFile || !reported) && OpenLocked();
    }
    if (!toFile && !g_echo)
        return;
    SystemTime now = CurrentSystemTime();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%u-%02u-%02u %u:%02u:%02u GMT] ", unsigned(now.year), unsigned(now.month),
                  unsigned(now.day), unsigned(now.hour), unsigned(now.minute), unsigned(now.second));
    if (toFile && platform::IsUnlinked(::fileno(g_logFile))) {
        // Deleted under us (a run folder removed to start again): the events
        // go to the name again rather than to a file nobody can read.
        std::fclose(g_logFile);
        g_logFile = nullptr;
        toFile = OpenLocked();
    }
    if (toFile) {
        std::fprintf(g_logFile, "%s%s\n", stamp, text.c_str());
        // Flushed per event so a reader (or a crash) sees every line.
        std::fflush(g_logFile);
    }
    if (g_echo)
        std::fprintf(stderr, "%s%s\n", stamp, text.c_str());
}
