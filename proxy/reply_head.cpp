#include "proxy/reply_head.h"

#include "framework/text_util.h"
#include "platform/ascii.h"
#include "proxy/http_proxy.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using platform::EqualsIgnoringCase;

namespace {

struct Line {
    std::string text; // without its end
    std::string end;  // "\r\n", "\n" or empty
};

} // namespace

std::string NormalizeReplyHead(std::string_view head, bool* chunked)
{
    std::vector<Line> lines;
    std::size_t at = 0;
    while (at < head.size()) {
        std::size_t lf = head.find('\n', at);
        std::size_t next = lf == std::string_view::npos ? head.size() : lf + 1;
        std::string_view text = head.substr(at, next - at);
        std::string_view end = text.substr(text.size() - std::min<std::size_t>(text.size(), 1));
        if (end == "\n")
            end = text.size() >= 2 && text[text.size() - 2] == '\r' ? text.substr(text.size() - 2) : end;
        else
            end = {};
        text.remove_suffix(end.size());
        at = next;
        // A CR alone ends no line here but would end one for a client or a
        // later reader of the stored copy, smuggling in a header line of
        // the origin's choosing: it becomes a blank (RFC 9112 2.2).
        std::string line(text);
        std::replace(line.begin(), line.end(), '\r', ' ');
        text = line;
        const bool blank = text.empty();
        if (!blank && (text.front() == ' ' || text.front() == '\t') && !lines.empty()) {
            // A fold continues the line before; one after the status line
            // or a blank line belongs to nothing and goes.
            if (lines.size() > 1 && !lines.back().text.empty()) {
                Line& previous = lines.back();
                std::string_view more = TrimBlanks(text);
                while (!previous.text.empty() && (previous.text.back() == ' ' || previous.text.back() == '\t'))
                    previous.text.pop_back();
                if (!more.empty())
                    previous.text += " " + std::string(more);
                previous.end.assign(end);
            }
            continue;
        }
        lines.push_back(Line{std::string(text), std::string(end)});
    }
    // Once the folds are joined: no blank before a header's colon.
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string& text = lines[i].text;
        std::size_t colon = text.find(':');
        if (colon == std::string::npos)
            continue;
        std::size_t nameEnd = colon;
        while (nameEnd > 0 && (text[nameEnd - 1] == ' ' || text[nameEnd - 1] == '\t'))
            --nameEnd;
        text.erase(nameEnd, colon - nameEnd);
    }

    auto nameIs = [](const Line& line, std::string_view name) {
        std::size_t colon = line.text.find(':');
        return colon != std::string::npos && EqualsIgnoringCase(std::string_view(line.text).substr(0, colon), name);
    };
    bool encoded = false;
    std::string lastCoding;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (!nameIs(lines[i], "transfer-encoding"))
            continue;
        encoded = true;
        std::string_view value = std::string_view(lines[i].text).substr(lines[i].text.find(':') + 1);
        std::size_t at2 = 0;
        while (at2 <= value.size()) {
            std::size_t comma = value.find(',', at2);
            std::string_view coding =
                TrimBlanks(value.substr(at2, comma == std::string_view::npos ? comma : comma - at2));
            if (!coding.empty())
                lastCoding = LowerCaseString(coding);
            if (comma == std::string_view::npos)
                break;
            at2 = comma + 1;
        }
    }
    *chunked = encoded && lastCoding == "chunked";
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0 && encoded && nameIs(lines[i], "content-length"))
            continue;
        out += lines[i].text;
        out += lines[i].end;
    }
    return out;
}

bool AcceptsInterimReplies(std::string_view version)
{
    if (version.substr(0, 5) != "HTTP/")
        return false;
    version.remove_prefix(5);
    std::size_t dot = version.find('.');
    int major = std::atoi(std::string(version.substr(0, dot)).c_str());
    int minor = dot == std::string_view::npos ? 0 : std::atoi(std::string(version.substr(dot + 1)).c_str());
    return major > 1 || (major == 1 && minor >= 1);
}

CReplyHead::Result CReplyHead::Feed(std::string_view bytes, std::string& head, std::string& body)
{
    head.clear();
    body.clear();
    if (m_done) {
        body.assign(bytes);
        return Result::Ready;
    }
    m_held.append(bytes);
    std::size_t end = std::string_view::npos;
    for (;;) {
        std::string_view held(m_held);
        std::string_view prefix = held.substr(0, 5);
        if (prefix != std::string_view("HTTP/").substr(0, prefix.size())) {
            // No status line: nothing here to read.
            m_done = true;
            body.swap(m_held);
            return Result::Ready;
        }
        end = std::string_view::npos;
        for (std::size_t lf = held.find('\n'); lf != std::string_view::npos; lf = held.find('\n', lf + 1)) {
            std::size_t next = lf + 1;
            if (next < held.size() && held[next] == '\n') {
                end = next + 1;
                break;
            }
            if (next + 1 < held.size() && held[next] == '\r' && held[next + 1] == '\n') {
                end = next + 2;
                break;
            }
        }
        if (end == std::string_view::npos)
            return m_held.size() > kMaxReplyHeadBytes ? Result::Bad : Result::More;
        if (end > kMaxReplyHeadBytes)
            return Result::Bad;
        // An interim reply is no answer for a client that cannot know it
        // (RFC 9110 15.2): the final reply after it is.
        int status = ParseStatusLine(held.substr(0, held.find_first_of("\r\n")));
        if (!m_dropInterim || status < 100 || status > 199)
            break;
        m_held.erase(0, end);
    }
    std::string_view held(m_held);
    m_done = true;
    head = NormalizeReplyHead(held.substr(0, end), &m_chunked);
    body.assign(held.substr(end));
    m_held.clear();
    return Result::Ready;
}

std::string CReplyHead::TakeHeld()
{
    std::string held;
    held.swap(m_held);
    return held;
}
