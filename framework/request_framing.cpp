#include "framework/request_framing.h"

#include "framework/text_util.h"
#include "platform/ascii.h"

bool IsAmbiguousLine(std::string_view line, bool header)
{
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos)
        return true;
    if (!header)
        return false;
    std::size_t colon = line.find(':');
    return colon != std::string_view::npos && line.substr(0, colon).find_first_of(" \t") != std::string_view::npos;
}

void CBodyFraming::AddHeader(std::string_view name, std::string_view value)
{
    if (name == "content-length") {
        std::string_view number = TrimBlanks(value);
        if (!m_lengthSeen) {
            m_lengthSeen = true;
            m_length.assign(number);
        } else if (number != m_length) {
            m_conflicting = true;
        }
    } else if (name == "transfer-encoding") {
        // The codings apply in order: the body ends where the last one,
        // chunked, says, and chunked comes once.
        m_encoded = true;
        std::size_t at = 0;
        while (at <= value.size()) {
            std::size_t comma = value.find(',', at);
            std::string_view coding = TrimBlanks(value.substr(at, comma == std::string_view::npos ? comma : comma - at));
            if (!coding.empty()) {
                m_lastCoding = LowerCaseString(coding);
                m_chunked += m_lastCoding == "chunked";
            }
            if (comma == std::string_view::npos)
                break;
            at = comma + 1;
        }
    }
}

bool CBodyFraming::IsAmbiguous() const
{
    if (m_conflicting)
        return true;
    if (m_encoded)
        return m_lengthSeen || m_lastCoding != "chunked" || m_chunked != 1;
    std::int64_t length = 0;
    return m_lengthSeen && !ParseDecimal(m_length, &length);
}

std::uint64_t CBodyFraming::Length() const
{
    std::int64_t length = 0;
    return ParseDecimal(m_length, &length) ? static_cast<std::uint64_t>(length) : 0;
}

bool CBodyFraming::HasBody() const
{
    std::int64_t length = 0;
    return m_encoded || (ParseDecimal(m_length, &length) && length > 0);
}
