#pragma once
// The message table: the texts of the events the servers report, by id.
// Generated at build time from messages.tsv in this folder.

#include <cstdint>

struct MessageTableEntry {
    std::uint32_t id;
    const char* text; // null ends the table
};

extern const MessageTableEntry kMessageTable[];

// The text of the message id, or null when the table has no such entry.
const char* LoadMessageById(std::uint32_t id);
