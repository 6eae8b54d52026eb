#pragma once
// The framing rules for a request read from a client: a line that two
// readers could split differently, and body-length lines that leave the
// body's end to whoever reads them. The HTTP server and the proxy answer
// such a request 400 and close, so that nothing behind them ever sees a
// request whose end it might place elsewhere.

#include <cstdint>
#include <string>
#include <string_view>

// A bare CR or a NUL in the line, or, for a header line, a blank between
// the name and its colon.
bool IsAmbiguousLine(std::string_view line, bool header);

// The body-length lines of one request, given one header at a time.
class CBodyFraming {
public:
    // name lower-cased; other names are ignored.
    void AddHeader(std::string_view name, std::string_view value);
    void Reset() { *this = CBodyFraming(); }

    // Two Content-Length values that differ (equal repeats are harmless).
    bool ConflictingLengths() const { return m_conflicting; }
    // No reader can be sure where the body ends: lengths that differ or
    // are no number, Content-Length beside Transfer-Encoding, or a
    // Transfer-Encoding whose last coding is not chunked.
    bool IsAmbiguous() const;
    // A body follows the header: a Transfer-Encoding, or a Content-Length
    // above 0.
    bool HasBody() const;
    // Of a framing that is not ambiguous: the body is chunked, else it is
    // Length() bytes (0 when no Content-Length came).
    bool IsChunked() const { return m_encoded; }
    std::uint64_t Length() const;

private:
    std::string m_length; // the first Content-Length value, blanks trimmed
    bool m_lengthSeen = false;
    bool m_conflicting = false;
    bool m_encoded = false;
    int m_chunked = 0;        // how many codings were chunked
    std::string m_lastCoding; // lower case
};
