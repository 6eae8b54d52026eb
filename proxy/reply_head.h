#pragma once
// An origin's reply head on its way to the client, held until its blank
// line so that it reaches the client (and the cache) in one reading:
// folded lines are joined with a blank, blanks before a colon go, and a
// Content-Length beside a Transfer-Encoding goes, since the chunks decide
// where the body ends. A reply that does not begin with "HTTP/" passes as
// it comes.

#include <cstddef>
#include <string>
#include <string_view>

// A reply head larger than this is answered 502.
inline constexpr std::size_t kMaxReplyHeadBytes = 64 * 1024;

// The head (status line to blank line, each line with its own end) in the
// form the client gets; chunked tells whether the last coding is chunked.
std::string NormalizeReplyHead(std::string_view head, bool* chunked);

// The client's request version ("HTTP/1.1") allows interim (1xx) replies:
// HTTP/1.1 and later. An HTTP/1.0 client would take one for its answer.
bool AcceptsInterimReplies(std::string_view version);

class CReplyHead {
public:
    enum class Result { More, Ready, Bad };

    // dropInterim: 1xx heads are read and dropped, and the head that
    // follows is the reply's.
    explicit CReplyHead(bool dropInterim = false) : m_dropInterim(dropInterim) {}

    // Feeds the next bytes of the reply. Ready: head holds what to send
    // first (once) and body the bytes after the head; every later call is
    // Ready with the bytes in body. Bad: the head outgrew kMaxReplyHeadBytes.
    Result Feed(std::string_view bytes, std::string& head, std::string& body);
    // At the end of the reply: what is held of a head that never ended.
    std::string TakeHeld();
    // After Ready: the body is chunked.
    bool Chunked() const { return m_chunked; }

private:
    std::string m_held;
    bool m_dropInterim;
    bool m_done = false;
    bool m_chunked = false;
};
