#pragma once
// The generated entries behind string_table.h, sorted by id. Only
// string_table.cpp and the generated file include this.

#include <cstddef>

struct StringTableEntry {
    unsigned id;
    const char* text;
};

extern const StringTableEntry kStringTableEntries[];
extern const std::size_t kStringTableEntryCount;
