#pragma once
// The server log: every part of the system reports events through LogMessage
// with an event type, a message-table id and its inserts. The application
// appends each formatted event, stamped with the UTC time, to Velmora.log in
// the log directory; the service variant reports them to the event log, and
// to the file as well when the event log cannot take them or a foreground
// run keeps the file. A foreground run also copies every event to standard
// error, so a person sees at once why nothing listens.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// The formatted text of one event is cut to this many bytes (a 128-byte
// buffer with its NUL), so an over-long insert cannot grow the log unbounded.
inline constexpr std::size_t kServerLogMessageBufferSize = 128;
inline constexpr std::size_t kMaxServerLogMessage = kServerLogMessageBufferSize - 1;

inline constexpr const char* kServerLogFileName = "Velmora.log";

// Opens (or creates) <log directory>/Velmora.log for appending; false when it
// could not be opened, in which case LogMessage drops events.
bool OpenServerLog();
void CloseServerLog();
bool IsServerLogOpen();

// Routes LogMessage to the event log (true, the service) or to the log file
// (false, the default). Opening the event log fails only without sockets.
bool UseEventLog(bool on);
bool IsUsingEventLog();

// With the event log, also appends every event to Velmora.log (opened on the
// first event). Without this the file takes only what the event log refused.
void KeepServerLogFile(bool on);
// Copies every event, stamped as in the file, to standard error.
void EchoServerLogToStandardError(bool on);

// The message-table text of id with %1 .. %9 replaced by the inserts (a
// missing insert gives nothing) and %% by '%', cut to kMaxServerLogMessage
// bytes; false when the table has no such id.
bool FormatLogMessage(std::uint32_t id, std::initializer_list<std::string_view> inserts, std::string& text);

// Reports one event; type is platform::kEventTypeError, Warning or Information.
void LogMessage(std::uint16_t type, std::uint32_t id, std::initializer_list<std::string_view> inserts = {});
