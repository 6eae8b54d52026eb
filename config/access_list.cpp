#include "config/access_list.h"

#include "platform/ascii.h"

#include "config/acl_cache.h"
#include "config/acl_file.h"
#include "config/group_map.h"
#include "framework/host_name.h"
#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "platform/clock.h"
#include "platform/net.h"

#include <optional>

namespace {

using platform::LowerAscii;

bool IsAddressPattern(std::string_view pattern)
{
    return pattern.find_first_not_of("0123456789.*?") == std::string_view::npos;
}

// The client's host name, looked up at most once per check and only when a
// line with a host pattern is reached.
class CClientHost {
public:
    explicit CClientHost(std::string_view address) : m_address(address) {}

    const std::string& LowerName()
    {
        if (!m_name)
            m_name = LowerCaseString(ConfirmedHostName(m_address));
        return *m_name;
    }

private:
    std::string m_address;
    std::optional<std::string> m_name;
};

bool AddressMatches(std::string_view pattern, std::string_view clientAddress, CClientHost& host)
{
    if (pattern.empty())
        return false;
    if (IsAddressPattern(pattern))
        return WildcardMatch(clientAddress, pattern);
    return WildcardMatch(host.LowerName(), LowerCaseString(pattern));
}

bool NameMatches(const CAccessLine& line, std::string_view user, CGroupMap* groups, CMacroScope* scope)
{
    if (platform::EqualsIgnoringCase(line.kind, "group")) {
        if (user.empty() || !groups)
            return false;
        return line.name == "*" || groups->IsMember(user, LowerCaseString(line.name), scope);
    }
    return line.name == "*" || platform::EqualsIgnoringCase(line.name, user);
}

} // namespace

CAccessLine CAccessLine::Parse(std::string_view text)
{
    CAccessLine line;
    std::size_t split = text.find_first_of(":\r\n");
    std::string_view head = text.substr(0, split);
    line.action = GetDelimitedField(head, "-:", 0);
    line.kind = GetDelimitedField(head, "-:", 1);
    if (split == std::string_view::npos || text[split] != ':')
        return line;
    std::string_view tail = text.substr(split + 1);
    tail = tail.substr(0, tail.find_first_of("\r\n"));
    line.access = GetDelimitedField(tail, ", ", 0);
    line.name = GetDelimitedField(tail, ", ", 1);
    line.address = GetDelimitedField(tail, ", ", 2);
    return line;
}

std::string ConfirmedHostName(const std::string& clientAddress, std::uint32_t deadlineMs)
{
    std::uint32_t address = 0;
    if (!platform::ParseIPv4(clientAddress.c_str(), &address))
        return clientAddress;
    std::string name;
    // The administrator's own table names the address without the DNS.
    if (LookupQNSHostName(address, name) && !name.empty())
        return name;
    name.clear();
    // A look-up's thread may outlive its deadline, and this connection's
    // private heap with it: what it shares comes from the shared heap.
    CHeapSwitch shared;
    std::uint64_t deadline = platform::MonotonicMs() + deadlineMs;
    if (platform::LookupHostName(address, deadlineMs, &name) < 0 || name.empty())
        return clientAddress;
    // A reverse name is only the claim of whoever runs the address's reverse
    // zone; the forward look-up must agree before a name pattern may grant.
    std::uint64_t now = platform::MonotonicMs();
    if (now >= deadline)
        return clientAddress;
    std::uint32_t confirmed = 0;
    if (platform::LookupIPv4Address(name.c_str(), static_cast<std::uint32_t>(deadline - now), &confirmed) < 0 ||
        confirmed != address)
        return clientAddress;
    return name;
}

int CAccessList::Evaluate(const std::vector<std::string>& lines, std::size_t unreadableAt, std::string_view access,
                          std::string_view user, std::string_view clientAddress, CGroupMap* groups,
                          CMacroScope* scope)
{
    if (lines.empty() && unreadableAt == kReadable)
        return -1;
    CClientHost host(clientAddress);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // The lost line might have been a Reject that applies.
        if (i == unreadableAt)
            return 0;
        CAccessLine line = CAccessLine::Parse(lines[i]);
        bool allow = platform::EqualsIgnoringCase(line.action, "allow");
        if (!allow && !platform::EqualsIgnoringCase(line.action, "reject"))
            continue;
        if (line.access != "*" && !platform::EqualsIgnoringCase(line.access, access))
            continue;
        if (!NameMatches(line, user, groups, scope))
            continue;
        if (!AddressMatches(line.address, clientAddress, host))
            continue;
        return allow ? 1 : 0;
    }
    return unreadableAt != kReadable ? 0 : -1;
}

int CAccessList::Check(std::string_view access, std::string_view user, std::string_view clientAddress,
                       CGroupMap* groups, CMacroScope* scope) const
{
    return Evaluate(m_lines, m_unreadableAt, access, user, clientAddress, groups, scope);
}

bool CAccessList::IsAllowed(std::string_view access, std::string_view user, std::string_view clientAddress,
                            CGroupMap* groups, CMacroScope* scope) const
{
    return Allowed(Check(access, user, clientAddress, groups, scope), IsEmpty());
}

void CAccessList::SetLines(std::vector<std::string> lines, std::size_t unreadableAt)
{
    m_lines = std::move(lines);
    m_unreadableAt = unreadableAt;
}

void CAccessList::RemoveAll()
{
    m_lines.clear();
    m_unreadableAt = kReadable;
}

void CAccessList::LoadFile(const std::string& path)
{
    CACLCache& cache = GlobalACLCache();
    std::uint64_t generation = 0;
    if (cache.Find(path, *this, &generation))
        return;
    ACLFileContents contents = ReadACLFile(path + std::string(kACLFileSuffix));
    switch (contents.status) {
    case ACLFileStatus::Read:
        SetLines(std::move(contents.lines));
        cache.Add(path, *this, generation);
        break;
    case ACLFileStatus::Missing:
        RemoveAll();
        // Remember the absence only for a document that exists, so requests
        // for made-up names cannot fill the cache.
        if (PathExists(path))
            cache.Add(path, *this, generation);
        break;
    case ACLFileStatus::Unreadable: {
        // Not cached: the next request tries again, and refuses again until
        // the file can be read.
        std::size_t readable = contents.lines.size();
        SetLines(std::move(contents.lines), readable);
        break;
    }
    }
}

bool CAccessList::SaveFile(const std::string& path) const
{
    std::string file = path + std::string(kACLFileSuffix);
    if (m_lines.empty())
        return DeleteACLFile(file);
    return WriteACLFile(file, m_lines);
}

bool IsACLFileName(std::string_view name)
{
    std::size_t dot = name.rfind('.');
    return dot != std::string_view::npos && platform::EqualsIgnoringCase(name.substr(dot), kACLFileSuffix);
}
