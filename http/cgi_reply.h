#pragma once
// CCGIReply: the header part of a CGI program's output, parsed as it
// arrives. Lines end at LF (a CR before it is dropped) or at 511 bytes, the
// rest of a longer line being read as the next one. "Status", "Location" and
// "URI" are the server's; every other line is passed on. A line starting
// "HTTP/1.0" means the program writes its own status line (raw mode).
//
// The output is refused (Invalid) when it cannot be a reply: it ends before
// any header line, its first line is not a header, a Status value does not
// start with a three-digit code, or the header block grows past
// kMaxHeaderBytes. A later line without a colon (such as the rest of a cut
// line) is dropped rather than passed on as a broken header.

#include <cstddef>
#include <string>
#include <string_view>

class CCGIReply {
public:
    static constexpr std::size_t kLineBuffer = 512;
    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

    enum class State { Headers, Done, Raw, Invalid };

    // Takes output bytes while the headers last; returns how many belong to
    // the header part (the rest, and everything after, is the body).
    std::size_t Feed(std::string_view bytes);
    // The program closed its output.
    void End();

    State GetState() const { return m_state; }
    bool IsFinished() const { return m_state != State::Headers; }

    // "200 OK" until a Status line.
    const std::string& StatusText() const { return m_statusText; }
    // The number at the start of the status text.
    int StatusCode() const;
    const std::string& Location() const { return m_location; }
    // "Name: value" CR LF lines.
    const std::string& ExtraHeaders() const { return m_extra; }
    // Raw mode: the program's own status line, without its line end.
    const std::string& RawStatusLine() const { return m_rawLine; }

private:
    void TakeLine();

    State m_state = State::Headers;
    std::string m_line;
    std::string m_statusText = "200 OK";
    std::string m_location;
    std::string m_extra;
    std::string m_rawLine;
    std::size_t m_headerBytes = 0;
    int m_lines = 0;
};
