#pragma once
// WReplySocket: a WSocket that reads the numbered replies of line protocols
// (SMTP, FTP): "250 text", or "250-text" lines up to "250 text".

#include "framework/text_buffer.h"
#include "framework/wsocket.h"

#include <string_view>

// Follows the lines of one reply: the first gives the code and, with a "-"
// after it, opens a multi-line reply that the line beginning with the same
// code and a blank ends.
class CReplyLines {
public:
    // Takes the next line, without its line end; true when it ends the reply.
    bool Take(std::string_view line);
    // The first line's code; -1 when it has none.
    int Code() const { return m_code; }

private:
    bool m_started = false;
    int m_code = -1;
    char m_last[4] = {};
};

class WReplySocket : public WSocket {
public:
    // A peer that never ends a multi-line reply must not grow it without
    // bound; real replies (EHLO, FEAT, HELP) are a few kilobytes.
    static constexpr int kMaxReplyLength = 1 << 20;

    WReplySocket();

    // Reads one reply into the reply text, each line without its line end
    // (the lines follow one another without a separator). Returns the code:
    // the value of up to three leading digits, -1 when the line is empty,
    // does not start with digits, or cannot be read. A read error in a
    // multi-line reply gives -1; the peer's close ends the reply.
    int ReadReply();

    const CTextBuffer& GetReplyText() const { return m_replyText; }
    int GetReplyCode() const { return m_replyCode; }

    // The code of one reply line as ReadReply reads it; -1 when none.
    static int ParseReplyCode(std::string_view line);

private:
    // Reads one line onto the reply text and strips its CR LF. Returns the
    // bytes read including the line end, 0 at the peer's close, -1 on failure.
    int ReadReplyLine();

    CTextBuffer m_replyText;
    int m_replyCode = -1;
};
