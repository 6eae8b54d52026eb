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

bool CReplyLines::Take(std::string_view line)
{
    if (m_started)
        return line.size() >= 4 && std::memcmp(line.data(), m_last, 4) == 0;
    m_started = true;
    m_code = WReplySocket::ParseReplyCode(line);
    // A line shorter than four bytes has no fourth character to look at.
    if (m_code < 0 || line.size() < 4 || line[3] != '-')
        return true;
    std::memcpy(m_last, line.data(), 3);
    m_last[3] = ' ';
    return false;
}

int WReplySocket::ReadReply()
{
    m_replyText.Empty();
    m_replyCode = -1;
    int got = ReadReplyLine();
    if (got <= 0 || m_replyText.IsEmpty())
        return -1;
    CReplyLines reply;
    bool ended = reply.Take(m_replyText.View());
    m_replyCode = reply.Code();
    while (!ended) {
        const int lineStart = m_replyText.GetLength();
        got = ReadReplyLine();
        if (got < 0) {
            m_replyCode = -1;
            return -1;
        }
        if (got == 0)
            break;
        ended = reply.Take(m_replyText.View().substr(static_cast<std::size_t>(lineStart)));
        if (!ended && m_replyText.GetLength() > kMaxReplyLength) {
            m_replyCode = -1;
            return Fail(kLineTooLongError);
        }
    }
    return m_replyCode;
}
