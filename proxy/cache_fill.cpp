#include "proxy/cache_fill.h"

#include "framework/wsocket.h"
#include "platform/net.h"
#include "proxy/http_proxy.h"

#include <algorithm>
#include <unistd.h>

namespace {

// The first line decides a revalidation; it is awaited up to this length.
constexpr std::size_t kMaxDecisionLine = 8192;
// A HEAD's header block is collected up to this length, as a stored one is read.
constexpr std::size_t kMaxHeadBlock = 64 * 1024;

} // namespace

bool RevalidationReplaces(int status) { return status == 200 || status == 404 || status == 410; }

std::string StoredHeaderBlock(std::string_view block, std::int64_t* headerBytes)
{
    *headerBytes = -1;
    if (block.substr(0, 5) != "HTTP/")
        return {};
    std::string out;
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t end = block.find('\n', at);
        if (end == std::string_view::npos)
            break;
        std::string_view line = block.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty()) {
            *headerBytes = static_cast<std::int64_t>(at);
            break;
        }
        out.append(line);
        out += "\r\n";
    }
    return out;
}

CCacheFill::CCacheFill(WSocket& client, CProxyRequest& request, int file, std::string path, std::uint64_t limit,
                       bool head, bool revalidation)
    : m_client(client), m_request(request), m_file(file), m_path(std::move(path)), m_limit(limit), m_head(head),
      m_copy(revalidation ? Copy::Undecided : (head ? Copy::Header : Copy::Whole))
{
}

void CCacheFill::Store(std::string_view bytes)
{
    if (!m_storing || bytes.empty())
        return;
    // A document the cache cannot hold is not kept half: its file goes now.
    bool fits = m_stored + bytes.size() <= m_limit;
    if (fits) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            long wrote = platform::WriteHandle(m_file, bytes.data() + at, bytes.size() - at);
            if (wrote <= 0)
                break;
            at += static_cast<std::size_t>(wrote);
        }
        m_stored += at;
        if (at == bytes.size())
            return;
    }
    m_storing = false;
    // Its blocks go now, even while the caller still holds the handle.
    int truncated = ::ftruncate(m_file, 0);
    static_cast<void>(truncated);
    ::unlink(m_path.c_str());
}

void CCacheFill::SendToClient(std::string_view bytes, bool buffered)
{
    if (bytes.empty())
        return;
    if (m_client.Send(bytes.data(), static_cast<int>(bytes.size()), buffered) < 0)
        throw WSocketException(&m_client, platform::LastSocketError());
    m_request.bytes += bytes.size();
}

void CCacheFill::SendHeaderWhenComplete(bool atEnd)
{
    std::int64_t headerBytes = -1;
    std::string block = StoredHeaderBlock(m_start, &headerBytes);
    if (headerBytes < 0 && !atEnd && m_start.size() < kMaxHeadBlock)
        return;
    m_copy = Copy::Done;
    m_start.clear();
    SendToClient(block + "\r\n", false);
}

void CCacheFill::Put(std::string_view bytes, bool buffered)
{
    Store(bytes);
    Pass(bytes, buffered, false);
}

void CCacheFill::Pass(std::string_view bytes, bool buffered, bool atEnd)
{
    std::string held;
    if (m_copy == Copy::Undecided) {
        // Everything waits until the first line is in (or the cap is passed).
        m_start.append(bytes);
        std::size_t lf = m_start.find('\n');
        if (lf == std::string::npos && m_start.size() < kMaxDecisionLine && !atEnd)
            return;
        std::string_view first(m_start.data(), std::min(lf, m_start.size()));
        if (!first.empty() && first.back() == '\r')
            first.remove_suffix(1);
        // A new document (200) or one that is gone (404, 410) is the
        // client's reply and replaces the copy; 304 confirms the copy, and
        // any other answer (a failing origin's 5xx, say) leaves it to be
        // served as it stands.
        if (!RevalidationReplaces(ParseStatusLine(first))) {
            m_copy = Copy::None;
            m_start.clear();
            return;
        }
        held.swap(m_start);
        m_copy = m_head ? Copy::Header : Copy::Whole;
        bytes = held;
        if (m_copy == Copy::Whole) {
            SendToClient(bytes, buffered);
            return;
        }
    }
    if (m_copy == Copy::Whole) {
        SendToClient(bytes, buffered);
    } else if (m_copy == Copy::Header) {
        m_start.append(bytes.substr(0, kMaxHeadBlock - std::min(kMaxHeadBlock, m_start.size())));
        SendHeaderWhenComplete(atEnd);
    }
}

void CCacheFill::Finish()
{
    if (m_copy == Copy::Undecided && !m_start.empty())
        Pass({}, false, true);
    if (m_copy == Copy::Header)
        SendHeaderWhenComplete(true);
    if (Answered() && m_client.Flush() < 0)
        throw WSocketException(&m_client, platform::LastSocketError());
}
