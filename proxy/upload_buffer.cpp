#include "proxy/upload_buffer.h"

#include <atomic>

namespace {

std::atomic<std::size_t> g_held{0};

} // namespace

bool CUploadBuffer::Append(std::string_view bytes)
{
    std::size_t held = g_held.load(std::memory_order_relaxed);
    do {
        if (bytes.size() > kMaxBufferedUploadBytes - held)
            return false;
    } while (!g_held.compare_exchange_weak(held, held + bytes.size(), std::memory_order_relaxed));
    if (m_pages.Append(bytes))
        return true;
    g_held.fetch_sub(bytes.size(), std::memory_order_relaxed);
    return false;
}

void CUploadBuffer::Free() noexcept
{
    g_held.fetch_sub(m_pages.Size(), std::memory_order_relaxed);
    m_pages.Free();
}

std::size_t CUploadBuffer::TotalHeld() { return g_held.load(std::memory_order_relaxed); }
