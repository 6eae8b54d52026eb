#include "proxy/body_extent.h"

#include "framework/text_util.h"
#include "platform/ascii.h"

#include <algorithm>

CBodyExtent CBodyExtent::For(const CBodyFraming& framing)
{
    if (framing.IsChunked())
        return CBodyExtent(Kind::Chunked, 0);
    std::uint64_t length = framing.Length();
    return length > 0 ? CBodyExtent(Kind::Length, length) : CBodyExtent();
}

bool CBodyExtent::Done() const
{
    switch (m_kind) {
    case Kind::None:
        return true;
    case Kind::Length:
        return m_left == 0;
    case Kind::Chunked:
        return m_state == State::Done;
    }
    return true;
}

bool CBodyExtent::StartChunk(std::string_view line)
{
    std::string_view size = TrimBlanks(line.substr(0, line.find(';')));
    // Leading zeros are valid and add nothing: only the digits after them
    // can overflow the size.
    std::size_t significant = std::min(size.find_first_not_of('0'), size.size());
    if (size.empty() || size.size() - significant > kMaxChunkSizeDigits)
        return false;
    std::uint64_t value = 0;
    for (char c : size) {
        int digit = platform::HexDigitValue(c);
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    m_left = value;
    m_state = value == 0 ? State::Trailer : State::Data;
    return true;
}

long CBodyExtent::Take(const char* data, std::size_t n, std::string* payload)
{
    if (m_kind == Kind::None)
        return 0;
    if (m_kind == Kind::Length) {
        std::uint64_t taken = std::min<std::uint64_t>(m_left, n);
        m_left -= taken;
        return static_cast<long>(taken);
    }
    std::size_t at = 0;
    while (at < n) {
        switch (m_state) {
        case State::Done:
            return static_cast<long>(at);
        case State::Broken:
            return -1;
        case State::Data: {
            std::uint64_t taken = std::min<std::uint64_t>(m_left, n - at);
            if (payload)
                payload->append(data + at, static_cast<std::size_t>(taken));
            at += static_cast<std::size_t>(taken);
            m_left -= taken;
            if (m_left == 0)
                m_state = State::DataEnd;
            break;
        }
        case State::DataEnd:
        case State::SizeLine:
        case State::Trailer: {
            char c = data[at++];
            if (c != '\n') {
                if (m_line.size() >= kMaxChunkLineBytes) {
                    m_state = State::Broken;
                    return -1;
                }
                m_line += c;
                break;
            }
            std::string line;
            line.swap(m_line);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            bool sound = true;
            if (m_state == State::DataEnd) {
                // The data of a chunk is followed by its own line end only.
                sound = line.empty();
                m_state = State::SizeLine;
            } else if (m_state == State::SizeLine) {
                sound = StartChunk(line);
            } else {
                m_trailerBytes += line.size() + 2;
                sound = m_trailerBytes <= kMaxChunkTrailerBytes;
                if (line.empty())
                    m_state = State::Done;
            }
            if (!sound) {
                m_state = State::Broken;
                return -1;
            }
            break;
        }
        }
    }
    return static_cast<long>(at);
}
