#include "framework/error_reply.h"

#include "framework/server_log.h"
#include "framework/socket_drain.h"
#include "framework/wsocket.h"
#include "resources/string_table.h"

#include <string>

const char* ProductToken()
{
    return IsUsingEventLog() ? kServiceProductToken : kProductToken;
}

std::string FormatErrorReply(int status, std::string_view body, const char* extraHeaders, bool sendHeader,
                             bool sendBody)
{
    std::string reply;
    if (sendHeader) {
        // Status codes are the string table's ids of their reason phrases.
        const char* reason = status > 0 ? LoadStringById(static_cast<unsigned>(status)) : nullptr;
        reply = "HTTP/1.0 " + std::to_string(status) + " " + (reason != nullptr ? reason : "") +
                "\r\nServer: " + ProductToken() + "\r\nContent-type: text/html\r\nContent-length: " +
                std::to_string(body.size()) + "\r\n";
        if (extraHeaders != nullptr)
            reply += extraHeaders;
        reply += "\r\n";
    }
    if (sendBody)
        reply.append(body);
    return reply;
}

void SendErrorReply(WSocket& socket, int status, std::string_view body, const char* extraHeaders, bool sendHeader,
                    bool sendBody)
{
    socket.SendText(FormatErrorReply(status, body, extraHeaders, sendHeader, sendBody));
}

namespace {
// How long a cut-off client's input is read after its 408, at most.
constexpr std::uint32_t kCutOffDrainMs = 1000;
constexpr int kCutOffDrainBytes = 64 * 1024;
} // namespace

bool AnswerCutOff(WSocket& socket)
{
    if (!(socket.HeadCutOff() && socket.HeadStarted()) && !socket.GetBodyPace().RanOut())
        return false;
    // The head's deadline would end every read of the drain at once.
    socket.EndHeadDeadline();
    socket.EndBodyPace();
    bool throwing = socket.GetThrowOnError();
    socket.SetThrowOnError(false);
    SendErrorReply(socket, 408, {}, nullptr);
    DrainSocketInput(socket, kCutOffDrainBytes, kCutOffDrainMs, kCutOffDrainMs);
    socket.SetThrowOnError(throwing);
    return true;
}
