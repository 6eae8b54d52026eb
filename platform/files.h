#pragma once
// File opening for the writers of log files; read, write and close are the
// handle calls of net.h.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Opens path for appending (created with mode 0644 when missing). With
// denyWriters, another writer that asks for the same gives up at once, as
// two servers must not interleave lines in one access log (an advisory
// lock: every writer of ours asks for it). -1 on failure, errno kept.
int OpenForAppend(const std::string& path, bool denyWriters);

// open(2) with close-on-exec, retried when a signal interrupts it; -1 with
// errno kept.
int OpenFile(const char* path, int flags, unsigned mode = 0);

// Writes every byte, through short writes and interruptions; false (errno
// kept) on failure.
bool WriteAll(int handle, const char* bytes, std::size_t n);
inline bool WriteAll(int handle, std::string_view bytes) { return WriteAll(handle, bytes.data(), bytes.size()); }

} // namespace platform
