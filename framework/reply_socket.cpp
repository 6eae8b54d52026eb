#include "framework/reply_socket.h"

#include <cstring>

// Replies are short; the grow step keeps a long one from being copied line by line.
WReplySocket::WReplySocket() : m_replyText(1024, 16384) {}

int WReplySocket::ParseReplyCode(std::string_view line)
{
    if (line.empty())
        return -1;
    int code = 0;
    for (std::size_t i = 0; i < line.size() && i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

int WReplySocket::ReadReplyLine()
{
    int got = ReadLine(m_replyText, false);
    if (got <= 0)
        return got;
    int length = m_replyText.GetLength() - 1; // the LF
    if (got > 1 && m_replyText.GetData()[length - 1] == '\r')
        --length;
    m_replyText.SetLength(length);
    return got;
}

int WReplySocket::ReadReply()
{
    m_replyText.Empty();
    m_replyCode = -1;
    int got = ReadReplyLine();
    if (got <= 0 || m_replyText.IsEmpty())
        return -1;
    const std::string_view first = m_replyText.View();
    const int code = ParseReplyCode(first);
    m_replyCode = code;
    // A line shorter than four bytes has no fourth character to look at.
    if (code < 0 || first.size() < 4 || first[3] != '-')
        return code;
    char last[4];
    std::memcpy(last, first.data(), 3);
    last[3] = ' ';
    for (;;) {
        const int lineStart = m_replyText.GetLength();
        got = ReadReplyLine();
        if (got < 0) {
            m_replyCode = -1;
            return -1;
        }
        if (got == 0)
            break;
        const std::string_view line = m_replyText.View().substr(static_cast<std::size_t>(lineStart));
        if (line.size() >= 4 && std::memcmp(line.data(), last, 4) == 0)
            break;
        if (m_replyText.GetLength() > kMaxReplyLength) {
            m_replyCode = -1;
            return Fail(kLineTooLongError);
        }
    }
    return code;
}
