#include "security/byte_block.h"

#include "security/rsa_exception.h"

#include <cstdlib>
#include <cstring>
#include <utility>

void* ToolkitAlloc(std::size_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

void ToolkitFree(void* block)
{
    std::free(block);
}

CByteBlock::CByteBlock(const void* bytes, int n)
{
    Assign(bytes, n);
}

CByteBlock::CByteBlock(const CByteBlock& other)
{
    Assign(other.m_data, other.m_length);
}

CByteBlock& CByteBlock::operator=(const CByteBlock& other)
{
    if (this != &other)
        Assign(other.m_data, other.m_length);
    return *this;
}

CByteBlock::CByteBlock(CByteBlock&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_length(std::exchange(other.m_length, 0)),
      m_allocated(std::exchange(other.m_allocated, 0))
{
}

CByteBlock& CByteBlock::operator=(CByteBlock&& other) noexcept
{
    if (this != &other) {
        Free();
        m_data = std::exchange(other.m_data, nullptr);
        m_length = std::exchange(other.m_length, 0);
        m_allocated = std::exchange(other.m_allocated, 0);
    }
    return *this;
}

char* CByteBlock::Allocate(int n)
{
    Free();
    if (n <= 0)
        return nullptr;
    m_data = static_cast<char*>(ToolkitAlloc(static_cast<std::size_t>(n)));
    if (!m_data)
        throw CRSAException(kToolkitOutOfMemory);
    m_length = m_allocated = n;
    return m_data;
}

void CByteBlock::Assign(const void* bytes, int n)
{
    if (n <= 0) {
        Free();
        return;
    }
    // Copied aside first: the source may be this block's own bytes.
    char* copy = static_cast<char*>(ToolkitAlloc(static_cast<std::size_t>(n)));
    if (!copy)
        throw CRSAException(kToolkitOutOfMemory);
    std::memcpy(copy, bytes, static_cast<std::size_t>(n));
    Free();
    m_data = copy;
    m_length = m_allocated = n;
}

void CByteBlock::Free()
{
    if (m_data) {
        explicit_bzero(m_data, static_cast<std::size_t>(m_allocated));
        ToolkitFree(m_data);
    }
    m_data = nullptr;
    m_length = m_allocated = 0;
}

void CByteBlock::SetLength(int n)
{
    if (n < 0)
        n = 0;
    if (n > m_length)
        n = m_length;
    if (n == 0)
        Free(); // an empty block holds no data
    else
        m_length = n;
}

bool CByteBlock::operator==(const CByteBlock& other) const
{
    return m_length == other.m_length &&
           (m_length == 0 || std::memcmp(m_data, other.m_data, static_cast<std::size_t>(m_length)) == 0);
}
