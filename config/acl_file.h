#pragma once
// The .~ACL~ files on disk: reading one into access lines, replacing one
// atomically, and the existence test the file cache needs. The file system
// calls of the access lists live here and nowhere else in config/.

#include <cstddef>
#include <string>
#include <vector>

// A line longer than this is not an access line (three short fields); it is
// refused rather than held, so a stray file cannot make a request read megabytes.
inline constexpr std::size_t kMaxACLLineBytes = 16 * 1024;
// The most of one file that is read; a list stops (and refuses) beyond it.
inline constexpr std::size_t kMaxACLFileBytes = 1024 * 1024;

// The extended attribute that carries the attribute bits the file system
// cannot show (hidden, system, archive), as decimal text of the bit mask.
inline constexpr const char* kAttributesXattrName = "user.velmora.attributes";
inline constexpr unsigned kFileAttributeHidden = 0x2;

enum class ACLFileStatus {
    Missing,    // no such file: the list is empty
    Read,       // read whole
    Unreadable, // exists but could not be read whole: lines up to the failure are kept
};

struct ACLFileContents {
    ACLFileStatus status = ACLFileStatus::Missing;
    std::vector<std::string> lines; // trimmed, comments and empty lines left out
};

// Reads file (the full name, suffix included). Lines end with LF or CR LF,
// each is trimmed of white space, and empty lines and lines beginning with
// '/' or ';' are skipped.
ACLFileContents ReadACLFile(const std::string& file);

// Replaces file by one holding the lines, each followed by CR LF: written to
// a temporary file in the same directory, flushed to disk and renamed over
// it, so a crash leaves either the old or the new list. The result is marked
// hidden when the file system keeps extended attributes. False (and the old
// file untouched) when anything fails.
bool WriteACLFile(const std::string& file, const std::vector<std::string>& lines);

// Deletes file; true when it is gone (also when it never existed).
bool DeleteACLFile(const std::string& file);

// True when a file or directory of that name exists (a trailing '/' names
// the directory).
bool PathExists(const std::string& path);

// The attribute bits kept in kAttributesXattrName, 0 when there are none.
unsigned ReadExtraAttributes(const std::string& file);
