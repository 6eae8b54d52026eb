#pragma once
// The plain HTTP reply: a complete HTTP/1.0 reply with a text/html body, used
// for error pages and short answers.

#include <string>
#include <string_view>

class WSocket;

inline constexpr const char* kProductToken = "Velmora/1.51 (Linux; x86_64; A)";
inline constexpr const char* kServiceProductToken = "Velmora/1.51 (Linux; x86_64; S)";

// The Server header's token: the service's while the server log reports to
// the event log, the application's otherwise.
const char* ProductToken();

// Sends (buffered) the status line, Server, Content-type and Content-length
// (the length of body even when it is not sent), extraHeaders as given (each
// line ending in "\r\n"; null for none) and the blank line when sendHeader is
// set, then body when sendBody is set. Socket failures are thrown by the socket.
// The same reply as text.
std::string FormatErrorReply(int status, std::string_view body, const char* extraHeaders, bool sendHeader = true,
                             bool sendBody = true);
void SendErrorReply(WSocket& socket, int status, std::string_view body, const char* extraHeaders,
                    bool sendHeader = true, bool sendBody = true);

// A request cut off before its reply began: its head after some of it came
// (its deadline passed, or its address holds too many slow heads), or its
// body once the body's pace ran out. The client hears 408 rather than a bare
// close. What it still sends is read for a moment, so that the close does
// not reset the connection before the answer is read. False (nothing done)
// for a request that was not cut off; never throws.
bool AnswerCutOff(WSocket& socket);
