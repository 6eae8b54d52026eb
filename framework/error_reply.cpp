#include "framework/error_reply.h"

#include "framework/server_log.h"
#include "framework/wsocket.h"
#include "resources/string_table.h"

#include <string>

const char* ProductToken()
{
    return IsUsingEventLog() ? kServiceProductToken : kProductToken;
}

void SendErrorReply(WSocket& socket, int status, std::string_view body, const char* extraHeaders, bool sendHeader,
                    bool sendBody)
{
    if (sendHeader) {
        // Status codes are the string table's ids of their reason phrases.
        const char* reason = status > 0 ? LoadStringById(static_cast<unsigned>(status)) : nullptr;
        std::string header = "HTTP/1.0 " + std::to_string(status) + " " + (reason != nullptr ? reason : "") +
                             "\r\nServer: " + ProductToken() +
                             "\r\nContent-type: text/html\r\nContent-length: " + std::to_string(body.size()) +
                             "\r\n";
        if (extraHeaders != nullptr)
            header += extraHeaders;
        header += "\r\n";
        socket.SendText(header);
    }
    if (sendBody)
        socket.SendText(body);
}
