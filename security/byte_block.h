#pragma once
// CByteBlock: bytes owned through the toolkit's allocator (keys, certificates).
// Empty blocks hold no data. Copies are byte for byte; bytes are wiped before
// they are released, as they may hold key material.

#include <cstddef>

// The toolkit's allocation routine: a size of 0 is taken as 1; null when
// memory runs out.
void* ToolkitAlloc(std::size_t size);
// Null is ignored.
void ToolkitFree(void* block);

class CByteBlock {
public:
    CByteBlock() = default;
    // Copies n bytes; throws CRSAException(kToolkitOutOfMemory) when memory runs out.
    CByteBlock(const void* bytes, int n);
    ~CByteBlock() { Free(); }
    CByteBlock(const CByteBlock& other);
    CByteBlock& operator=(const CByteBlock& other);
    CByteBlock(CByteBlock&& other) noexcept;
    CByteBlock& operator=(CByteBlock&& other) noexcept;

    // Frees what the block held and allocates n bytes (none for n <= 0);
    // the length becomes n. Throws CRSAException(kToolkitOutOfMemory).
    char* Allocate(int n);
    // Replaces the contents with a copy of n bytes.
    void Assign(const void* bytes, int n);
    // Wipes and frees the bytes; the block becomes empty.
    void Free();
    // Shortens the block to n bytes (0 <= n <= length); 0 frees the data.
    void SetLength(int n);

    char* GetData() { return m_data; }
    const char* GetData() const { return m_data; }
    int GetLength() const { return m_length; }
    bool IsEmpty() const { return m_length == 0; }

    bool operator==(const CByteBlock& other) const;

private:
    char* m_data = nullptr;
    int m_length = 0;
    int m_allocated = 0;
};
