#include "platform/page_buffer.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>

namespace platform {

namespace {

// The mapping grows in steps of this size: a step costs a remap of the page
// tables, never a copy of the bytes.
constexpr std::size_t kGrowStep = 256 * 1024;

} // namespace

bool PageBuffer::Append(std::string_view bytes)
{
    if (bytes.empty())
        return true;
    if (bytes.size() > m_mapped - m_size) {
        if (bytes.size() > SIZE_MAX - m_size - kGrowStep)
            return false;
        std::size_t want = (m_size + bytes.size() + kGrowStep - 1) / kGrowStep * kGrowStep;
        void* pages = m_data ? ::mremap(m_data, m_mapped, want, MREMAP_MAYMOVE)
                             : ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED)
            return false;
        m_data = static_cast<char*>(pages);
        m_mapped = want;
    }
    std::memcpy(m_data + m_size, bytes.data(), bytes.size());
    m_size += bytes.size();
    return true;
}

void PageBuffer::Free() noexcept
{
    if (m_data)
        ::munmap(m_data, m_mapped);
    m_data = nullptr;
    m_size = 0;
    m_mapped = 0;
}

} // namespace platform
