#include "resources/string_table.h"

#include "resources/string_table_data.h"

#include <algorithm>
#include <cstring>

const char* LoadStringById(unsigned id)
{
    const StringTableEntry* begin = kStringTableEntries;
    const StringTableEntry* end = kStringTableEntries + kStringTableEntryCount;
    const StringTableEntry* found = std::lower_bound(begin, end, id,
        [](const StringTableEntry& entry, unsigned key) { return entry.id < key; });
    if (found == end || found->id != id)
        return nullptr;
    return found->text;
}

std::string LoadDefaultText(const DefaultStringRow& row)
{
    std::string text;
    for (std::uint32_t i = 0; i < row.count; ++i) {
        const char* piece = LoadStringById(row.firstId + i);
        if (piece)
            text.append(piece, ::strnlen(piece, kMaxStringEntryLength));
    }
    return text;
}
