#include "framework/text_buffer.h"

#include "framework/memory.h"

#include <climits>
#include <cstring>

namespace {
// The shared empty text: read by every buffer that never allocated, written never.
char g_sharedEmpty[1] = {0};
}

CTextBuffer::CTextBuffer(int capacity, int growStep) : m_data(g_sharedEmpty)
{
    Init(capacity, growStep);
}

CTextBuffer::~CTextBuffer()
{
    Release();
}

CTextBuffer::CTextBuffer(CTextBuffer&& other) noexcept
    : m_data(other.m_data), m_length(other.m_length), m_capacity(other.m_capacity), m_growStep(other.m_growStep)
{
    other.m_data = g_sharedEmpty;
    other.m_length = 0;
    other.m_capacity = 0;
}

CTextBuffer& CTextBuffer::operator=(CTextBuffer&& other) noexcept
{
    if (this != &other) {
        Release();
        m_data = other.m_data;
        m_length = other.m_length;
        m_capacity = other.m_capacity;
        m_growStep = other.m_growStep;
        other.m_data = g_sharedEmpty;
        other.m_length = 0;
        other.m_capacity = 0;
    }
    return *this;
}

void CTextBuffer::Release() noexcept
{
    if (m_data != g_sharedEmpty)
        FreeMemory(m_data);
    m_data = g_sharedEmpty;
}

bool CTextBuffer::UsesSharedEmpty() const
{
    return m_data == g_sharedEmpty;
}

int CTextBuffer::CheckedLength(std::size_t n)
{
    if (n > static_cast<std::size_t>(INT_MAX - 1))
        throw CMemoryException();
    return static_cast<int>(n);
}

void CTextBuffer::Init(int capacity, int growStep)
{
    Release();
    m_length = 0;
    m_capacity = capacity;
    m_growStep = growStep == -1 ? (capacity > 0 ? capacity : 0) : growStep;
    if (capacity < 1)
        return;
    if (capacity == INT_MAX)
        throw CMemoryException();
    m_data = static_cast<char*>(AllocMemory(static_cast<std::size_t>(capacity) + 1));
    m_data[0] = 0;
}

char* CTextBuffer::Grow(int extra)
{
    long long step = extra > m_growStep ? extra : m_growStep;
    long long newCapacity = static_cast<long long>(m_length) + step;
    if (step < 0 || newCapacity >= INT_MAX)
        throw CMemoryException();
    char* block = static_cast<char*>(AllocMemory(static_cast<std::size_t>(newCapacity) + 1));
    std::memcpy(block, m_data, static_cast<std::size_t>(m_length) + 1);
    Release();
    m_data = block;
    m_capacity = static_cast<int>(newCapacity);
    return m_data;
}

void CTextBuffer::Append(const char* bytes, int n)
{
    if (n <= 0)
        return;
    if (static_cast<long long>(m_capacity) < static_cast<long long>(m_length) + n) {
        // The source may be our own text: keep the old block until the copy is done.
        const char* old = m_data;
        bool inside = bytes >= old && bytes < old + m_length + 1;
        if (inside) {
            long long step = n > m_growStep ? n : m_growStep;
            long long newCapacity = static_cast<long long>(m_length) + step;
            if (newCapacity >= INT_MAX)
                throw CMemoryException();
            char* block = static_cast<char*>(AllocMemory(static_cast<std::size_t>(newCapacity) + 1));
            std::memcpy(block, old, static_cast<std::size_t>(m_length));
            std::memcpy(block + m_length, bytes, static_cast<std::size_t>(n));
            Release();
            m_data = block;
            m_capacity = static_cast<int>(newCapacity);
            m_length += n;
            m_data[m_length] = 0;
            return;
        }
        Grow(n);
    }
    std::memmove(m_data + m_length, bytes, static_cast<std::size_t>(n));
    m_length += n;
    m_data[m_length] = 0;
}

void CTextBuffer::AppendChar(char c)
{
    if (m_capacity < m_length + 1)
        Grow(m_growStep > 1 ? m_growStep : 1);
    m_data[m_length++] = c;
    m_data[m_length] = 0;
}

void CTextBuffer::SetLength(int n)
{
    if (n < 0 || m_capacity < 0)
        n = 0;
    else if (n > m_capacity)
        n = m_capacity;
    m_length = n;
    if (m_data != g_sharedEmpty)
        m_data[n] = 0;
}

void CTextBuffer::Empty()
{
    m_length = 0;
    if (m_capacity > 0 && m_data != g_sharedEmpty)
        m_data[0] = 0;
}
