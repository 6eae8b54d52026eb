#include "http/cgi_reply.h"

#include "http/access_log.h"
#include "http/http_text.h"

namespace {

bool IsStatusValue(std::string_view value)
{
    std::size_t at = 0;
    while (at < value.size() && value[at] == ' ')
        ++at;
    if (value.size() < at + 3)
        return false;
    for (std::size_t i = at; i < at + 3; ++i)
        if (value[i] < '0' || value[i] > '9')
            return false;
    return value[at] != '0' && (value.size() == at + 3 || value[at + 3] == ' ');
}

// The first word of a URI value; words end at blank, '<' and '>'.
std::string FirstURIWord(std::string_view value)
{
    std::size_t at = value.find_first_not_of(" <>");
    if (at == std::string_view::npos)
        return {};
    std::size_t end = value.find_first_of(" <>", at);
    return std::string(value.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
}

} // namespace

std::size_t CCGIReply::Feed(std::string_view bytes)
{
    std::size_t used = 0;
    while (used < bytes.size() && m_state == State::Headers) {
        char c = bytes[used++];
        if (c == '\n') {
            TakeLine();
            continue;
        }
        m_line += c;
        if (m_line.size() >= kLineBuffer - 1)
            TakeLine();
    }
    return used;
}

void CCGIReply::End()
{
    if (m_state != State::Headers)
        return;
    if (!m_line.empty())
        TakeLine();
    // Headers without the blank line are still a reply; nothing at all is not.
    if (m_state == State::Headers)
        m_state = m_lines > 0 ? State::Done : State::Invalid;
}

void CCGIReply::TakeLine()
{
    std::string line;
    line.swap(m_line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    m_headerBytes += line.size() + 2;
    if (m_headerBytes > kMaxHeaderBytes) {
        m_state = State::Invalid;
        return;
    }
    if (line.size() >= 8 && EqualsIgnoringCase(std::string_view(line).substr(0, 8), "HTTP/1.0")) {
        m_rawLine = line;
        m_location.clear();
        m_state = State::Raw;
        return;
    }
    if (line.empty()) {
        m_state = m_lines > 0 ? State::Done : State::Invalid;
        return;
    }
    bool first = m_lines++ == 0;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
        if (first)
            m_state = State::Invalid;
        return;
    }
    std::string name;
    std::string value;
    SplitHeaderLine(name, value, line);
    if (EqualsIgnoringCase(name, "Status")) {
        if (!IsStatusValue(value)) {
            m_state = State::Invalid;
            return;
        }
        m_statusText = value;
    } else if (EqualsIgnoringCase(name, "Location")) {
        m_location = value;
    } else if (EqualsIgnoringCase(name, "URI")) {
        m_location = FirstURIWord(value);
    } else {
        m_extra += name;
        m_extra += ": ";
        m_extra += value;
        m_extra += "\r\n";
    }
}

int CCGIReply::StatusCode() const
{
    int code = 0;
    std::size_t at = 0;
    while (at < m_statusText.size() && m_statusText[at] == ' ')
        ++at;
    while (at < m_statusText.size() && m_statusText[at] >= '0' && m_statusText[at] <= '9' && code < 100000)
        code = code * 10 + (m_statusText[at++] - '0');
    return code;
}
