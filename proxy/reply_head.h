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

class CReplyHead {
public:
    enum class Result { More, Ready, Bad };

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
    bool m_done = false;
    bool m_chunked = false;
};
