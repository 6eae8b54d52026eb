#include "platform/profile.h"

#include "platform/ascii.h"
#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t kReadChunk = 16 * 1024;

std::string_view Trim(std::string_view text)
{
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// The section name of a header line ("[name]", blanks allowed around the
// name), or nullopt when the line is no header.
std::optional<std::string_view> HeaderName(std::string_view line)
{
    std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] != '[')
        return std::nullopt;
    trimmed.remove_prefix(1);
    std::size_t close = trimmed.find(']');
    return Trim(trimmed.substr(0, close));
}

// Splits an entry line into key and raw value; false for lines that are no
// entry (blank, comment, header, no '=').
bool SplitEntry(std::string_view line, std::string_view& key, std::string_view& value)
{
    std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '[')
        return false;
    std::size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos)
        return false;
    key = Trim(trimmed.substr(0, equals));
    value = Trim(trimmed.substr(equals + 1));
    return true;
}

std::string_view Unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// Reads the whole file into text: 1 read, 0 missing, -1 unreadable or too big.
int ReadWhole(const std::string& path, std::string& text)
{
    // Non-blocking, so a FIFO under a profile's name cannot hold the reader.
    int fd = platform::OpenFile(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat status {};
    int result = 1;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        result = -1;
    } else {
        char buffer[kReadChunk];
        for (;;) {
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 || text.size() + static_cast<std::size_t>(got) > kMaxProfileFileBytes) {
                result = -1;
                break;
            }
            if (got == 0)
                break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return result;
}

std::string DirectoryOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file path names once symbolic links are followed, so that an edit
// lands in the link's target and the link stays a link; a dangling link
// names the file to create. Empty for a loop of links.
std::string ResolveLinks(std::string path)
{
    constexpr int kMaxLinks = 40;
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::string target(PATH_MAX, '\0');
        ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
            return {};
        target.resize(static_cast<std::size_t>(length));
        path = target.front() == '/' ? target : DirectoryOf(path) + "/" + target;
    }
    return {};
}

std::mutex& ProfileEditLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

bool Profile::Load(const std::string& path)
{
    m_lines.clear();
    m_lastLineEnded = true;
    m_crlf = false;
    std::string text;
    int read = ReadWhole(path, text);
    m_loaded = read >= 0;
    if (read <= 0)
        return m_loaded;
    std::string_view rest(text);
    while (!rest.empty()) {
        std::size_t lf = rest.find('\n');
        Line line;
        if (lf == std::string_view::npos) {
            line.text = std::string(rest);
            m_lastLineEnded = false;
            rest = {};
        } else {
            std::string_view raw = rest.substr(0, lf);
            line.crlf = !raw.empty() && raw.back() == '\r';
            if (line.crlf)
                raw.remove_suffix(1);
            line.text = std::string(raw);
            rest.remove_prefix(lf + 1);
        }
        m_lines.push_back(std::move(line));
    }
    if (!m_lines.empty())
        m_crlf = m_lines.front().crlf;
    return true;
}

std::size_t Profile::FindSection(std::string_view section) const
{
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        std::optional<std::string_view> name = HeaderName(m_lines[i].text);
        if (name && EqualsIgnoringCase(*name, section))
            return i;
    }
    return std::string::npos;
}

std::size_t Profile::FindKey(std::size_t header, std::string_view key) const
{
    for (std::size_t i = header + 1; i < m_lines.size() && !HeaderName(m_lines[i].text); ++i) {
        std::string_view name, value;
        if (SplitEntry(m_lines[i].text, name, value) && EqualsIgnoringCase(name, key))
            return i;
    }
    return std::string::npos;
}

std::size_t Profile::SectionEnd(std::size_t header) const
{
    std::size_t end = header + 1;
    for (std::size_t i = header + 1; i < m_lines.size() && !HeaderName(m_lines[i].text); ++i)
        if (!Trim(m_lines[i].text).empty())
            end = i + 1;
    return end;
}

void Profile::InsertLine(std::size_t at, std::string text)
{
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at), Line{std::move(text), m_crlf});
}

std::optional<std::string> Profile::GetString(std::string_view section, std::string_view key) const
{
    std::size_t header = FindSection(section);
    if (header == std::string::npos)
        return std::nullopt;
    std::size_t at = FindKey(header, key);
    if (at == std::string::npos)
        return std::nullopt;
    std::string_view name, value;
    SplitEntry(m_lines[at].text, name, value);
    return std::string(Unquote(value));
}

bool Profile::IsKeyName(std::string_view key)
{
    std::string_view trimmed = Trim(key);
    return !trimmed.empty() && trimmed[0] != '[' && trimmed[0] != ';' && key.find('=') == std::string_view::npos
           && !HasLineBreak(key);
}

bool Profile::SetString(std::string_view section, std::string_view key, std::optional<std::string_view> value)
{
    if (section.find(']') != std::string_view::npos || HasLineBreak(section))
        return false;
    if (!IsKeyName(key))
        return false;
    std::string_view trimmedKey = Trim(key);

    std::size_t header = FindSection(section);
    if (header == std::string::npos && !value)
        return true;
    // Whatever is added comes after the old last line, which now needs its end.
    m_lastLineEnded = true;
    if (header == std::string::npos) {
        if (!m_lines.empty() && !Trim(m_lines.back().text).empty())
            InsertLine(m_lines.size(), std::string());
        InsertLine(m_lines.size(), "[" + std::string(Trim(section)) + "]");
        header = m_lines.size() - 1;
    }
    std::size_t at = FindKey(header, key);
    if (!value) {
        if (at != std::string::npos)
            m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    }
    std::string text(*value);
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    if (at != std::string::npos) {
        std::string_view name, old;
        SplitEntry(m_lines[at].text, name, old);
        m_lines[at].text = std::string(name) + "=" + text;
    } else {
        InsertLine(SectionEnd(header), std::string(trimmedKey) + "=" + text);
    }
    return true;
}

bool Profile::AddSection(std::string_view section, const std::vector<std::pair<std::string, std::string>>& entries)
{
    if (section.find(']') != std::string_view::npos || HasLineBreak(section) || FindSection(section) != std::string::npos)
        return false;
    for (const auto& entry : entries)
        if (!IsKeyName(entry.first))
            return false;
    m_lastLineEnded = true;
    if (!m_lines.empty() && !Trim(m_lines.back().text).empty())
        InsertLine(m_lines.size(), std::string());
    InsertLine(m_lines.size(), "[" + std::string(Trim(section)) + "]");
    for (const auto& [key, value] : entries) {
        std::string line = std::string(Trim(key)) + "=" + value;
        for (std::size_t i = line.size() - value.size(); i < line.size(); ++i)
            if (line[i] == '\r' || line[i] == '\n')
                line[i] = ' ';
        InsertLine(m_lines.size(), std::move(line));
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> Profile::Entries(std::string_view section) const
{
    std::vector<std::pair<std::string, std::string>> entries;
    std::size_t header = FindSection(section);
    if (header == std::string::npos)
        return entries;
    for (std::size_t i = header + 1; i < m_lines.size() && !HeaderName(m_lines[i].text); ++i) {
        std::string_view key, value;
        if (SplitEntry(m_lines[i].text, key, value) && IsKeyName(key))
            entries.emplace_back(std::string(key), std::string(value));
    }
    return entries;
}

void Profile::RemoveSection(std::string_view section)
{
    for (std::size_t header; (header = FindSection(section)) != std::string::npos;) {
        std::size_t end = header + 1;
        while (end < m_lines.size() && !HeaderName(m_lines[end].text))
            ++end;
        // The lines before it all ended; the unended last one may go with it.
        if (end == m_lines.size())
            m_lastLineEnded = true;
        m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(header),
                      m_lines.begin() + static_cast<std::ptrdiff_t>(end));
    }
}

bool Profile::Save(const std::string& path) const
{
    if (!m_loaded)
        return false;
    std::string text;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        text += m_lines[i].text;
        if (i + 1 < m_lines.size() || m_lastLineEnded)
            text += m_lines[i].crlf ? "\r\n" : "\n";
    }

    // A rename over a link would replace the link and leave its target
    // with the old text; the target is what readers open.
    const std::string target = ResolveLinks(path);
    if (target.empty())
        return false;
    std::string directory = DirectoryOf(target);
    std::size_t slash = target.rfind('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = directory + "/." + base + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    struct stat old {};
    bool existed = ::stat(target.c_str(), &old) == 0;
    mode_t mode = existed ? (old.st_mode & 07777) : 0644;
    // The new file keeps the old one's owner and group: a root editor must
    // not leave a service's own file unreadable to the service. An owner
    // that cannot be kept fails the save rather than change hands.
    struct stat mine {};
    bool ok = ::fstat(fd, &mine) == 0;
    if (ok && existed && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid))
        ok = ::fchown(fd, old.st_uid, old.st_gid) == 0;
    ok = ok && ::fchmod(fd, mode) == 0 && platform::WriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    int directoryFd = platform::OpenFile(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
    return true;
}

std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view defaultValue)
{
    Profile profile;
    profile.Load(path);
    std::optional<std::string> value = profile.GetString(section, key);
    return value ? std::move(*value) : std::string(defaultValue);
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::optional<std::string_view> value)
{
    std::lock_guard<std::mutex> hold(ProfileEditLock());
    Profile profile;
    if (!profile.Load(path))
        return false;
    return profile.SetString(section, key, value) && profile.Save(path);
}

} // namespace platform
