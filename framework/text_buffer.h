#pragma once
// CTextBuffer: the growable NUL-terminated text into which every macro,
// reply and log line is written.
//
// Invariants: data[length] == 0 and length <= capacity. A buffer that never
// allocated points at one shared static empty text that is never written.
// Growth allocates exactly length + max(extra, grow step) + 1 bytes, so the
// grow step alone decides how geometric growth is.

#include <string>
#include <string_view>

class CTextBuffer {
public:
    // capacity <= 0 gives the shared empty text; growStep -1 means "the capacity".
    explicit CTextBuffer(int capacity = 0, int growStep = -1);
    ~CTextBuffer();

    CTextBuffer(const CTextBuffer&) = delete;
    CTextBuffer& operator=(const CTextBuffer&) = delete;
    CTextBuffer(CTextBuffer&& other) noexcept;
    CTextBuffer& operator=(CTextBuffer&& other) noexcept;

    // Re-initialises the buffer as the constructor does (capacity < 1 gives the empty text).
    void Init(int capacity, int growStep = -1);

    // Grows to length + max(extra, grow step); returns the new data pointer.
    // Throws CMemoryException when the new size would not fit an int.
    char* Grow(int extra);
    // The bytes may lie inside this buffer's own block.
    void Append(const char* bytes, int n);
    void Append(std::string_view text) { Append(text.data(), CheckedLength(text.size())); }
    void AppendChar(char c);
    // Clamps to [0, capacity] and writes the NUL; used after writing into GetData().
    void SetLength(int n);
    void Empty();

    char* GetData() { return m_data; }
    const char* GetData() const { return m_data; }
    const char* c_str() const { return m_data; }
    int GetLength() const { return m_length; }
    int GetCapacity() const { return m_capacity; }
    int GetGrowStep() const { return m_growStep; }
    bool IsEmpty() const { return m_length == 0; }
    bool UsesSharedEmpty() const;

    std::string_view View() const { return {m_data, static_cast<std::size_t>(m_length)}; }
    operator std::string_view() const { return View(); }
    std::string ToString() const { return std::string(View()); }

private:
    static int CheckedLength(std::size_t n);
    void Release() noexcept;

    char* m_data;
    int m_length = 0;
    int m_capacity = 0;
    int m_growStep = 0;
};
