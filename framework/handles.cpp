#include "framework/handles.h"

#include "platform/net.h"

#include <sys/mman.h>

void CHandleHolder::Close() noexcept
{
    // Closed once and never retried: Linux may already have reused the number.
    if (m_handle != kNone)
        platform::CloseHandle(std::exchange(m_handle, kNone));
}

void CFindHandle::Close() noexcept
{
    if (m_stream)
        closedir(std::exchange(m_stream, nullptr));
}

void CMappedFile::Unmap() noexcept
{
    if (m_view) {
        munmap(m_view, m_length);
        m_view = nullptr;
        m_length = 0;
    }
}
