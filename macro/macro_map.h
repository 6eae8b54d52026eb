#pragma once
// CMacroMap: the hash map from macro name to macro object inside a scope.
//
// The hash (h = h * 33 + signed byte, 32-bit), the bucket count (17 unless
// re-initialised) and head insertion fix the enumeration order, which the
// named-string writer and pages follow: bucket by bucket, each chain from its
// head. Keys are compared exactly; callers lower-case names taken from text.
// The map holds one reference on every macro object in it and drops it when
// the entry is removed, replaced, emptied or destroyed.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CMacro;

class CMacroMap {
    struct Node;

public:
    static constexpr unsigned kDefaultBuckets = 17;
    static constexpr int kDefaultBlockSize = 10;

    explicit CMacroMap(int blockSize = kDefaultBlockSize);
    ~CMacroMap();

    CMacroMap(const CMacroMap&) = delete;
    CMacroMap& operator=(const CMacroMap&) = delete;

    static std::uint32_t Hash(std::string_view key);

    // Sets the bucket count; entries already present are re-chained.
    void InitHashTable(unsigned buckets);
    unsigned GetBucketCount() const { return m_bucketCount; }
    int GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

    CMacro* Lookup(std::string_view key) const { return Lookup(key, Hash(key)); }
    CMacro* Lookup(std::string_view key, std::uint32_t hash) const;

    // Removes the entry for key (dropping the map's reference); false when absent.
    bool Remove(std::string_view key);
    // Puts macro at the head of its chain and takes a reference on it. The key
    // must not be present (Register removes it first).
    void InsertHead(std::string_view key, CMacro* macro);

    // Drops every entry and frees the bucket array and node blocks; the bucket
    // count is kept.
    void DeleteAll();
    // Empties this map, then copies every entry of source in enumeration order
    // as a string macro holding the source's GetText, under the key
    // lower-cased. Where two source keys fold to one, the later one wins.
    void CopyFrom(const CMacroMap& source);

    struct Entry {
        std::string_view key;
        CMacro* macro;
    };

    // Enumeration in the map's fixed order. The map must not change while an
    // iterator is in use.
    class Iterator {
    public:
        Entry operator*() const;
        Iterator& operator++();
        bool operator==(const Iterator& other) const { return m_node == other.m_node; }
        bool operator!=(const Iterator& other) const { return m_node != other.m_node; }

    private:
        friend class CMacroMap;
        Iterator(const CMacroMap* map, unsigned bucket, const Node* node) : m_map(map), m_bucket(bucket), m_node(node) {}
        void SkipEmptyBuckets();

        const CMacroMap* m_map;
        unsigned m_bucket;
        const Node* m_node;
    };

    Iterator begin() const;
    Iterator end() const { return Iterator(this, m_bucketCount, nullptr); }

    template <typename Function> void ForEach(Function&& function) const
    {
        for (Entry entry : *this)
            function(entry.key, entry.macro);
    }

private:
    struct Node {
        Node* next = nullptr;
        std::uint32_t hash = 0;
        std::string key;
        CMacro* macro = nullptr;
    };

    Node* NewNode();
    void FreeNode(Node* node);

    std::unique_ptr<Node*[]> m_buckets; // allocated, zero-filled, on first insertion
    unsigned m_bucketCount = kDefaultBuckets;
    int m_count = 0;
    int m_blockSize;
    std::vector<std::unique_ptr<Node[]>> m_blocks;
    Node* m_freeList = nullptr;
};
