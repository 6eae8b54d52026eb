#include "macro/mail_macros.h"

#include "framework/reply_socket.h"
#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"

#include <charconv>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string_view Trim(std::string_view text)
{
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Recipients between commas, blanks around each trimmed, empty ones skipped.
std::vector<std::string> SplitRecipients(std::string_view to)
{
    std::vector<std::string> recipients;
    std::size_t at = 0;
    while (at <= to.size()) {
        std::size_t end = to.find(',', at);
        if (end == std::string_view::npos)
            end = to.size();
        std::string_view one = Trim(to.substr(at, end - at));
        if (!one.empty())
            recipients.emplace_back(one);
        at = end + 1;
    }
    return recipients;
}

// "host" or "host:port".
bool SplitServer(std::string_view server, std::string& host, std::uint16_t& port)
{
    port = kSmtpPort;
    std::size_t colon = server.rfind(':');
    if (colon == std::string_view::npos) {
        host = server;
        return true;
    }
    host = server.substr(0, colon);
    std::string_view digits = server.substr(colon + 1);
    unsigned value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

class CSmtpMailMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// Sends a command and reads its reply; false (the reply text in out) unless
// accepted says the code is good.
template <typename Accept>
bool Command(WReplySocket& socket, CTextBuffer* out, std::string_view line, Accept accepted)
{
    socket.SendTextLine(line, false);
    int code = socket.ReadReply();
    if (accepted(code))
        return true;
    out->Append(socket.GetReplyText().View());
    return false;
}

void CSmtpMailMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 5)
        return;
    for (int i = 0; i < 5; ++i)
        if (argv[i] == nullptr)
            return;
    std::string_view server = argv[0], helo = argv[1], from = argv[2], to = argv[3], subject = argv[4];
    // A line break would let a page's visitor add commands or headers.
    if (HasLineBreak(helo) || HasLineBreak(from) || HasLineBreak(to) || HasLineBreak(subject)) {
        MacroError(out, scope, kSmtpErrorType, 0, "Line break in a mail header field.", 1);
        return;
    }
    std::string host;
    std::uint16_t port = kSmtpPort;
    if (!SplitServer(server, host, port)) {
        MacroError(out, scope, kSmtpErrorType, 0, "Bad SMTP server address.", 1);
        return;
    }
    auto is250 = [](int code) { return code == 250; };
    WReplySocket socket;
    try {
        socket.SetTimeout(kSmtpTimeoutMs);
        socket.SetThrowOnError(true);
        socket.Connect(host.c_str(), port);
        socket.ReadReply();
        if (!Command(socket, out, "HELO " + std::string(helo), is250) ||
            !Command(socket, out, "MAIL From:<" + std::string(from) + ">", is250))
            return;
        // Any 2xx takes a recipient (251 forwards it; refusing that would
        // report delivered mail as failed). The body waits for 354: sent
        // after a refused DATA, each of its lines would be read as a command.
        for (const std::string& recipient : SplitRecipients(to))
            if (!Command(socket, out, "RCPT To:<" + recipient + ">", [](int code) { return code >= 200 && code < 300; }))
                return;
        if (!Command(socket, out, "DATA", [](int code) { return code == 354; }))
            return;
        std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        socket.SendTextLine("Subject: " + std::string(subject));
        socket.SendTextLine("From: " + std::string(from));
        socket.SendTextLine("To: " + std::string(to));
        socket.SendTextLine("Date: " + FormatSMTPDate(utc));
        socket.SendTextLine("");
        if (argc >= 6 && argv[5] != nullptr) {
            std::string_view body = argv[5];
            CTextBuffer stuffed(static_cast<int>(body.size()) + 512, static_cast<int>(body.size()) + 512);
            SmtpDotStuff(stuffed, body);
            socket.Send(stuffed.View().data(), stuffed.GetLength());
            socket.SendTextLine("");
        } else {
            socket.SendTextLine(".");
        }
        socket.Flush();
        if (socket.ReadReply() == 250) {
            socket.SendTextLine("QUIT", false);
        } else {
            out->Append(socket.GetReplyText().View());
        }
    } catch (const std::exception& failure) {
        std::string message = socket.GetReplyText().ToString();
        if (message.empty())
            message = failure.what();
        socket.SetThrowOnError(false);
        socket.Close();
        MacroError(out, scope, kSmtpErrorType, static_cast<unsigned>(socket.GetReplyCode()), message.c_str(), 1);
    }
}

} // namespace

void SmtpDotStuff(CTextBuffer& out, std::string_view text)
{
    CTextBuffer line(80, 80);
    auto writeLine = [&out, &line](bool ending) {
        if (line.GetLength() > 0 && line.View()[0] == '.')
            out.AppendChar('.');
        out.Append(line.View());
        if (ending)
            out.Append("\r\n");
        line.SetLength(0);
    };
    for (char c : text) {
        if (c == '\r')
            continue;
        if (c == '\n')
            writeLine(true);
        else
            line.AppendChar(c);
    }
    if (line.GetLength() > 0)
        writeLine(false);
    out.Append("\r\n.");
}

std::string FormatSMTPDate(const std::tm& utc)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s, %u %s %u %02u:%02u:%02u +0000", kDayNames[utc.tm_wday % 7],
                  static_cast<unsigned>(utc.tm_mday), kMonthNames[utc.tm_mon % 12],
                  static_cast<unsigned>(utc.tm_year + 1900), static_cast<unsigned>(utc.tm_hour),
                  static_cast<unsigned>(utc.tm_min), static_cast<unsigned>(utc.tm_sec));
    return text;
}

void RegisterMailMacros(CMacroContext& global)
{
    global.Register("smtp-mail", std::make_unique<CSmtpMailMacro>());
}
