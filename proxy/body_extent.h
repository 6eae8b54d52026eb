#pragma once
// The extent of a request body as its header lines declare it: a relay
// passes the body and nothing after it, so that a request cannot carry a
// second conversation to the origin behind its body.

#include "framework/request_framing.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A chunk-size line or a trailer line longer than this is refused: real
// clients write a few hex digits and short extensions.
inline constexpr std::size_t kMaxChunkLineBytes = 4096;
// At most 15 hex digits, so a chunk size never overflows 64 bits.
inline constexpr std::size_t kMaxChunkSizeDigits = 15;
// All trailer lines together; a trailer is rare and short.
inline constexpr std::size_t kMaxChunkTrailerBytes = 16 * 1024;
// A chunked upload is sent on with a Content-Length, so it is read whole
// first; a larger one is refused 413.
inline constexpr std::size_t kMaxChunkedUploadBytes = 8 * 1024 * 1024;

class CBodyExtent {
public:
    enum class Kind { None, Length, Chunked };

    // No body.
    CBodyExtent() = default;
    CBodyExtent(Kind kind, std::uint64_t length) : m_kind(kind), m_left(kind == Kind::Length ? length : 0) {}

    // The body a request's framing declares, once the framing was found
    // unambiguous: chunked, else Content-Length bytes, else none.
    static CBodyExtent For(const CBodyFraming& framing);

    // How many of the n bytes belong to the body (a prefix of them); -1 when
    // the chunked framing is broken (the rest of the input is then not body).
    // With payload, the body's data without its chunk framing is appended.
    long Take(const char* data, std::size_t n, std::string* payload = nullptr);
    bool Done() const;
    bool IsChunked() const { return m_kind == Kind::Chunked; }

private:
    enum class State { SizeLine, Data, DataEnd, Trailer, Done, Broken };
    // A whole chunk-size line (without its LF): false when it is no size.
    bool StartChunk(std::string_view line);

    Kind m_kind = Kind::None;
    State m_state = State::SizeLine;
    std::uint64_t m_left = 0;
    std::string m_line;
    std::size_t m_trailerBytes = 0;
};
