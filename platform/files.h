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

// True when the open file has no name left (deleted while open): what is
// written to it is lost once it closes.
bool IsUnlinked(int handle);

// open(2) with close-on-exec, retried when a signal interrupts it; -1 with
// errno kept.
int OpenFile(const char* path, int flags, unsigned mode = 0);

// Writes every byte, through short writes and interruptions; false (errno
// kept) on failure.
bool WriteAll(int handle, const char* bytes, std::size_t n);
inline bool WriteAll(int handle, std::string_view bytes) { return WriteAll(handle, bytes.data(), bytes.size()); }

// A new empty file of a unique name in directory: prefix, six characters
// and ".tmp", mode 0600, owned by the caller's effective user. Returns the
// open handle (close-on-exec) with *path set, or -1 with errno kept.
int CreateTempFile(const std::string& directory, std::string_view prefix, std::string* path);

} // namespace platform

namespace platform {

// The name a file that replaces another has while it is linked but not yet
// in place: the prefix and six more characters. Such names are never
// served or listed, and are removed when a server starts.
inline constexpr std::string_view kReplacementPrefix = ".PUT";
bool IsReplacementName(std::string_view name);

// A new content for a file, written beside it and put in its place whole:
// a reader sees the old file or the new one, never a part. The data goes
// to an unnamed file of the target's folder (O_TMPFILE), so a crash
// leaves nothing behind; where the file system has no unnamed files, a
// file with a replacement name that the destructor removes.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Opens the new content for target (which keeps its permissions when it
    // exists); false with errno kept.
    bool Create(const std::string& target);
    bool Write(const char* bytes, std::size_t n) { return WriteAll(m_handle, bytes, n); }
    // Flushes it to disk and puts it in place of target; false (target
    // untouched) on failure.
    bool Commit();
    // True when the content has no name until Commit.
    bool IsUnnamed() const { return m_unnamed; }

private:
    int m_handle = -1;
    bool m_unnamed = false;
    std::string m_target;
    std::string m_name; // the replacement name while one exists
};

// Removes files with replacement names below folder (following no links)
// and returns how many went: what a crash between link and rename left.
int RemoveReplacementFiles(const std::string& folder);

} // namespace platform
