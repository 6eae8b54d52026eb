#pragma once
// CAccessList: an ordered list of access lines deciding whether a request of
// an access type, by a user, from a client address may proceed.
//
// An access line:  <action>-<kind>: <access>,<name>,<address>
//   action   Allow or Reject (any case); any other action never decides
//   kind     group (any case) makes the name a group name, anything else a user name
//   access   GET, HEAD, POST, PUT, EXEC, TRAVERSE (any case) or * for all
//   name     a user name (any case), a group name (any case: groups are
//            stored in lower case), or *; kind group with * means every
//            authenticated user
//   address  a wildcard pattern (* and ?). Made only of digits, '.', '*' and
//            '?' it is matched against the client's dotted address; otherwise,
//            without regard to case, against the client's host name: the
//            reverse name of the address when a forward look-up of that name
//            gives the address back, else the address text itself. An empty
//            pattern matches nothing.
// The first line whose three fields match decides; when none does, access
// is granted only if the list holds no lines at all.
//
// A list that could not be read whole (an unreadable file, a line too long,
// a registry value that failed) refuses every request that no line before
// the lost one decided: it fails closed, never open.
//
// Lists come from .~ACL~ files beside the documents (LoadFile, through the
// process-wide cache of acl_cache.h) and from registry keys (CRegAccessList).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CGroupMap;
class CMacroScope;

// The suffix that names a document's access-list file ("F.~ACL~", "dir/.~ACL~").
inline constexpr std::string_view kACLFileSuffix = ".~ACL~";

// The whole client host-name look-up (reverse, then forward confirmation)
// must end by then, so a slow name server never holds a request for long.
inline constexpr std::uint32_t kHostLookupDeadlineMs = 3000;

// One access line cut into its fields (missing fields are empty).
struct CAccessLine {
    std::string action;
    std::string kind;
    std::string access;
    std::string name;
    std::string address;

    static CAccessLine Parse(std::string_view line);
};

// The host name an access check compares host patterns with: the
// forward-confirmed reverse name of the dotted address, else the address text.
std::string ConfirmedHostName(const std::string& clientAddress, std::uint32_t deadlineMs = kHostLookupDeadlineMs);

class CAccessList {
public:
    static constexpr std::size_t kReadable = static_cast<std::size_t>(-1);

    // 1 allow, 0 reject, -1 no line decided. user is empty for an anonymous
    // request; groups and scope may be null (group lines then never match).
    int Check(std::string_view access, std::string_view user, std::string_view clientAddress, CGroupMap* groups,
              CMacroScope* scope) const;
    // Check, with -1 meaning allowed only when the list holds no lines.
    bool IsAllowed(std::string_view access, std::string_view user, std::string_view clientAddress,
                   CGroupMap* groups, CMacroScope* scope) const;

    // Fills the list from path + ".~ACL~" (a directory is given with its
    // trailing '/'), through the process-wide file cache.
    void LoadFile(const std::string& path);
    // Replaces path + ".~ACL~" atomically with the lines (an empty list
    // deletes it). Neither touches the change stamp nor the cache: the editor
    // touches the stamp, which flushes the cache of every running server.
    bool SaveFile(const std::string& path) const;

    const std::vector<std::string>& GetLines() const { return m_lines; }
    void SetLines(std::vector<std::string> lines, std::size_t unreadableAt = kReadable);
    void AddLine(std::string line) { m_lines.push_back(std::move(line)); }
    void RemoveAll();
    std::size_t GetCount() const { return m_lines.size(); }
    bool IsEmpty() const { return m_lines.empty() && m_unreadableAt == kReadable; }

    // Index of the first line that could not be read, kReadable when none.
    std::size_t GetUnreadableAt() const { return m_unreadableAt; }
    void MarkUnreadableAt(std::size_t index) { m_unreadableAt = index; }

    // The evaluation itself, over any snapshot of lines.
    static int Evaluate(const std::vector<std::string>& lines, std::size_t unreadableAt, std::string_view access,
                        std::string_view user, std::string_view clientAddress, CGroupMap* groups,
                        CMacroScope* scope);
    static bool Allowed(int verdict, bool emptyList) { return verdict == 1 || (verdict == -1 && emptyList); }

protected:
    std::vector<std::string> m_lines;
    std::size_t m_unreadableAt = kReadable;
};

// True when the text from the name's last '.' on is ".~ACL~" in any case.
bool IsACLFileName(std::string_view name);
