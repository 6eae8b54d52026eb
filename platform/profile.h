#pragma once
// platform::Profile: INI ("profile") files as the system reads and writes
// them: "[section]" lines opening sections, "key=value" lines inside them,
// ';' comment lines. Section and key names compare without regard to ASCII
// case and the first match wins. Values are trimmed of blanks, and one pair
// of matching double or single quotes around a value is dropped.
//
// An edit keeps every other line of the file as it was (comments, order,
// spelling of names, line ends) and replaces the file atomically: a temporary
// file in the same directory, flushed, renamed over the old one (over a
// link's target, not the link). Within the
// process, edits of profile files are serialised, so two writers of one file
// never lose each other's change.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// The most of a profile file that is read. A profile holds short settings;
// a bigger file is not one we wrote, and reading it whole would let a stray
// file make every look-up read megabytes.
inline constexpr std::size_t kMaxProfileFileBytes = 4 * 1024 * 1024;

class Profile {
public:
    // Reads path. A missing file is an empty profile. False when the file
    // exists but cannot be read or exceeds kMaxProfileFileBytes; the
    // profile is then empty and Save refuses to replace the file.
    bool Load(const std::string& path);

    // The value of key in section; nullopt when either is missing.
    std::optional<std::string> GetString(std::string_view section, std::string_view key) const;

    // Sets key in section, adding the section (at the end) and the key (after
    // the section's last entry) when missing; a null value removes the key.
    // CR and LF in the value become spaces, since a line break would start a
    // new entry. False, changing nothing, for a section name holding ']' or a
    // line break, or a key that is empty, holds '=' or a line break, or
    // starts with '[' or ';': such names could never be read back.
    bool SetString(std::string_view section, std::string_view key, std::optional<std::string_view> value);
    // Whether SetString takes key (see above).
    static bool IsKeyName(std::string_view key);
    // Appends a new section holding entries in order, in one step: unlike
    // SetString it does not look for each key first, so the caller keeps
    // the keys distinct. False, changing nothing, when the section exists
    // already or a name is one SetString refuses.
    bool AddSection(std::string_view section, const std::vector<std::pair<std::string, std::string>>& entries);

    // Whether a section of that name exists.
    bool HasSection(std::string_view section) const { return FindSection(section) != std::string::npos; }
    // The entries of the section's first occurrence in file order: each key
    // and its value as written (trimmed of blanks, quotes kept), so that
    // AddSection writes them back unchanged. Empty when the section is missing.
    std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;
    // Removes every section of that name with all its lines.
    void RemoveSection(std::string_view section);

    // Writes the profile to path atomically, keeping the old file's owner,
    // group and mode (0644 for a new one). A symbolic link stays: its
    // target is rewritten. False when it could not (the owner cannot be
    // kept, a loop of links), or when Load failed.
    bool Save(const std::string& path) const;

private:
    struct Line {
        std::string text;   // without its line end
        bool crlf = false;  // ended with CR LF
    };

    // Index of the header line of section, or npos.
    std::size_t FindSection(std::string_view section) const;
    // Index of key's line in the section whose header is at header, or npos.
    std::size_t FindKey(std::size_t header, std::string_view key) const;
    // One past the section's last non-blank line.
    std::size_t SectionEnd(std::size_t header) const;
    void InsertLine(std::size_t at, std::string text);

    std::vector<Line> m_lines;
    bool m_lastLineEnded = true; // whether the file's last line had a line end
    bool m_loaded = true;        // false after a failed Load
    bool m_crlf = false;         // line end for new lines: the file's own style
};

// The value of key in section of the profile file at path, or defaultValue
// when the file, section or key is missing.
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view defaultValue = {});

// Sets (or with a null value removes) key in section of the profile file at
// path, creating the file and section when missing; serialised against
// every other profile edit of the process. False on failure (see
// Profile::SetString and Profile::Save), the file left as it was.
bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::optional<std::string_view> value);

} // namespace platform
