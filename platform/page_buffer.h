#pragma once
// PageBuffer: a growable run of bytes in pages mapped for it alone. Freed,
// its memory goes straight back to the system: a large buffer that many
// connections hold for a while and then drop would otherwise stay in the
// allocator's arenas and keep the process's memory at its peak.

#include <cstddef>
#include <string_view>

namespace platform {

class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer() { Free(); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    // Appends the bytes; false (the buffer unchanged) when no pages can be had.
    bool Append(std::string_view bytes);
    std::string_view View() const { return {m_data, m_size}; }
    std::size_t Size() const { return m_size; }
    // The pages go back to the system; the buffer is empty again.
    void Free() noexcept;

private:
    char* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_mapped = 0;
};

} // namespace platform
