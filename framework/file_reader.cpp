#include "framework/file_reader.h"

#include "framework/line_end.h"
#include "framework/text_buffer.h"
#include "platform/net.h"

#include <cstring>

void CFileReader::SetFile(int file)
{
    m_file = file;
    m_position = m_held = 0;
}

int CFileReader::ReadLine(CTextBuffer& text, bool strip)
{
    int added = 0;
    for (;;) {
        if (m_position >= m_held) {
            long got = platform::ReadHandle(m_file, m_buffer, kBufferSize);
            if (got < 0)
                return -1;
            m_position = 0;
            m_held = static_cast<int>(got);
            if (got == 0) {
                platform::SetLastSocketError(0);
                return added;
            }
        }
        const char* start = m_buffer + m_position;
        const int held = m_held - m_position;
        const char* lineFeed = static_cast<const char*>(std::memchr(start, '\n', static_cast<std::size_t>(held)));
        const int take = lineFeed ? static_cast<int>(lineFeed - start) + 1 : held;
        text.Append(start, take);
        m_position += take;
        added += take;
        if (lineFeed)
            break;
    }
    return strip ? StripLineEnd(text, added) : added;
}
