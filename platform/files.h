#pragma once
// File opening for the writers of log files; read, write and close are the
// handle calls of net.h.

#include <string>

namespace platform {

// Opens path for appending (created with mode 0644 when missing). With
// denyWriters, another writer that asks for the same gives up at once, as
// two servers must not interleave lines in one access log (an advisory
// lock: every writer of ours asks for it). -1 on failure, errno kept.
int OpenForAppend(const std::string& path, bool denyWriters);

} // namespace platform
