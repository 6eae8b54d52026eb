#pragma once
// smtp-mail(server, helo, from, to, subject, [body]): sends one plain-text
// mail through an SMTP server (port 25, or the port after a ':' in server).
// A refusal puts the server's reply text in the page; a failed connection
// is a macro error of type "smtp-mail" whose number is the last reply code
// (-1 when none was read).

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

class CMacroContext;
class CTextBuffer;

inline constexpr std::uint16_t kSmtpPort = 25;
inline constexpr std::uint32_t kSmtpTimeoutMs = 120000;
inline constexpr const char* kSmtpErrorType = "smtp-mail";

// The body for the DATA phase: lines end in CR LF whatever the input used,
// CR is dropped, a line starting with '.' gets one more, and "\r\n." ends it
// so that the caller's CR LF completes the end-of-data line.
void SmtpDotStuff(CTextBuffer& out, std::string_view text);
// "Thu, 5 Mar 2026 09:04:07 +0000".
std::string FormatSMTPDate(const std::tm& utc);

void RegisterMailMacros(CMacroContext& global);
