#include "macro/macro_map.h"

#include "framework/text_util.h"
#include "macro/macro.h"

#include <utility>

CMacroMap::CMacroMap(int blockSize) : m_blockSize(blockSize > 0 ? blockSize : kDefaultBlockSize)
{
}

CMacroMap::~CMacroMap()
{
    DeleteAll();
}

std::uint32_t CMacroMap::Hash(std::string_view key)
{
    std::uint32_t h = 0;
    for (char c : key)
        h = h * 33u + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    return h;
}

void CMacroMap::InitHashTable(unsigned buckets)
{
    if (buckets == 0)
        buckets = kDefaultBuckets;
    if (!m_buckets) {
        m_bucketCount = buckets;
        return;
    }
    // Re-chain in enumeration order so the head-insertion rule still holds.
    std::unique_ptr<Node*[]> old = std::move(m_buckets);
    unsigned oldCount = m_bucketCount;
    m_buckets.reset(new Node*[buckets]());
    m_bucketCount = buckets;
    for (unsigned b = 0; b < oldCount; ++b) {
        Node* node = old[b];
        while (node) {
            Node* next = node->next;
            Node*& head = m_buckets[node->hash % m_bucketCount];
            node->next = head;
            head = node;
            node = next;
        }
    }
}

CMacro* CMacroMap::Lookup(std::string_view key, std::uint32_t hash) const
{
    if (!m_buckets)
        return nullptr;
    for (const Node* node = m_buckets[hash % m_bucketCount]; node; node = node->next)
        if (node->hash == hash && node->key == key)
            return node->macro;
    return nullptr;
}

bool CMacroMap::Remove(std::string_view key)
{
    if (!m_buckets)
        return false;
    std::uint32_t hash = Hash(key);
    for (Node** link = &m_buckets[hash % m_bucketCount]; *link; link = &(*link)->next) {
        Node* node = *link;
        if (node->hash == hash && node->key == key) {
            *link = node->next;
            CMacro* macro = node->macro;
            FreeNode(node);
            --m_count;
            // Last: the destructor of a macro may itself touch this map.
            macro->ReleaseReference();
            return true;
        }
    }
    return false;
}

void CMacroMap::InsertHead(std::string_view key, CMacro* macro)
{
    if (!m_buckets)
        m_buckets.reset(new Node*[m_bucketCount]());
    Node* node = NewNode();
    try {
        node->key.assign(key);
    } catch (...) {
        FreeNode(node);
        throw;
    }
    node->hash = Hash(key);
    node->macro = macro;
    macro->AddReference();
    Node*& head = m_buckets[node->hash % m_bucketCount];
    node->next = head;
    head = node;
    ++m_count;
}

CMacroMap::Node* CMacroMap::NewNode()
{
    if (!m_freeList) {
        auto block = std::make_unique<Node[]>(static_cast<std::size_t>(m_blockSize));
        for (int i = 0; i < m_blockSize; ++i) {
            block[i].next = m_freeList;
            m_freeList = &block[i];
        }
        m_blocks.push_back(std::move(block));
    }
    Node* node = m_freeList;
    m_freeList = node->next;
    node->next = nullptr;
    return node;
}

void CMacroMap::FreeNode(Node* node)
{
    node->key.clear();
    node->macro = nullptr;
    node->next = m_freeList;
    m_freeList = node;
}

void CMacroMap::DeleteAll()
{
    // Detach everything first: a macro's destructor must not find a half-torn map.
    std::vector<CMacro*> macros;
    if (m_buckets) {
        macros.reserve(static_cast<std::size_t>(m_count));
        for (unsigned b = 0; b < m_bucketCount; ++b)
            for (Node* node = m_buckets[b]; node; node = node->next)
                macros.push_back(node->macro);
    }
    m_buckets.reset();
    m_blocks.clear();
    m_freeList = nullptr;
    m_count = 0;
    for (CMacro* macro : macros)
        macro->ReleaseReference();
}

void CMacroMap::CopyFrom(const CMacroMap& source)
{
    // Gathered first so that copying a map onto itself works.
    std::vector<std::pair<std::string, std::string>> entries;
    entries.reserve(static_cast<std::size_t>(source.m_count));
    for (Entry entry : source) {
        std::string text;
        entry.macro->GetText(text);
        entries.emplace_back(LowerCaseString(entry.key), std::move(text));
    }
    DeleteAll();
    for (auto& [key, text] : entries) {
        auto macro = std::make_unique<CStringMacro>(std::move(text));
        Remove(key);
        InsertHead(key, macro.get());
        macro.release();
    }
}

CMacroMap::Iterator CMacroMap::begin() const
{
    Iterator it(this, 0, m_buckets ? m_buckets[0] : nullptr);
    if (!m_buckets)
        it.m_bucket = m_bucketCount;
    else
        it.SkipEmptyBuckets();
    return it;
}

void CMacroMap::Iterator::SkipEmptyBuckets()
{
    while (!m_node && ++m_bucket < m_map->m_bucketCount)
        m_node = m_map->m_buckets[m_bucket];
    if (!m_node)
        m_bucket = m_map->m_bucketCount;
}

CMacroMap::Entry CMacroMap::Iterator::operator*() const
{
    return {m_node->key, m_node->macro};
}

CMacroMap::Iterator& CMacroMap::Iterator::operator++()
{
    m_node = m_node->next;
    if (!m_node)
        SkipEmptyBuckets();
    return *this;
}
