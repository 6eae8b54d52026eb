#include "resources/message_table.h"

const char* LoadMessageById(std::uint32_t id)
{
    for (const MessageTableEntry* entry = kMessageTable; entry->text != nullptr; ++entry)
        if (entry->id == id)
            return entry->text;
    return nullptr;
}
