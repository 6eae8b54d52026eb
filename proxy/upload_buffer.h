#pragma once
// CUploadBuffer: a chunked upload held whole, de-chunked, until the origin
// takes it with its length (upstream requests are HTTP/1.0). Every upload
// held at once draws on one account for the process, so a crowd of uploads
// that never send their last chunk cannot take the server's memory; and the
// memory of one goes back to the system as soon as it is dropped.

#include "platform/page_buffer.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// All chunked uploads held at once: room for eight at the largest one a
// request may send (kMaxChunkedUploadBytes); an upload that would pass it
// is answered 503 and the memory stays bounded whatever clients do.
inline constexpr std::size_t kMaxBufferedUploadBytes = 64 * 1024 * 1024;
// What the uploads of one client address may hold together: with half the
// account, one address's connections never keep another's uploads out.
inline constexpr std::size_t kMaxBufferedUploadBytesPerAddress = kMaxBufferedUploadBytes / 2;

class CUploadBuffer {
public:
    // address: the client's, whose share the upload draws on.
    explicit CUploadBuffer(std::uint32_t address) : m_address(address) {}
    ~CUploadBuffer() { Free(); }
    CUploadBuffer(const CUploadBuffer&) = delete;
    CUploadBuffer& operator=(const CUploadBuffer&) = delete;

    // Appends the bytes; false (nothing appended) when the uploads held
    // together would pass kMaxBufferedUploadBytes, those of the address
    // kMaxBufferedUploadBytesPerAddress, or no memory can be had.
    bool Append(std::string_view bytes);
    std::string_view View() const { return m_pages.View(); }
    std::size_t Size() const { return m_pages.Size(); }
    // Drops the bytes and gives their memory back (the upload was sent).
    void Free() noexcept;

    // What all uploads hold now.
    static std::size_t TotalHeld();

private:
    std::uint32_t m_address;
    platform::PageBuffer m_pages;
};
