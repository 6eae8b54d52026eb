#include "proxy/proxy_cache.h"

#include "framework/thread_data.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<CProxyCache::Clock> g_clock{nullptr};

std::int64_t Now()
{
    CProxyCache::Clock clock = g_clock.load();
    return clock ? clock() : static_cast<std::int64_t>(std::time(nullptr));
}

constexpr std::uint64_t kMsPerMinute = 60000;
constexpr std::size_t kSaveBufferBytes = 32768;

// Size of a regular file; -1 when there is none at path.
std::int64_t RegularFileSize(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return static_cast<std::int64_t>(info.st_size);
}

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// One path segment as a file name: the characters some systems refuse
// become '_', letters fold to lower case, dot segments and over-long names
// are rewritten, so a segment can never climb out of its folder.
std::string SafeSegment(std::string_view segment)
{
    std::string out;
    out.reserve(segment.size());
    for (char c : segment) {
        if (c == '*' || c == '<' || c == '>' || c == '?' || c == '|' || c == '\0' ||
            static_cast<unsigned char>(c) < 0x20)
            c = '_';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        out += c;
    }
    if (out == "." || out == "..")
        out.insert(0, "_");
    if (out.size() > kMaxCacheSegment)
        out.resize(kMaxCacheSegment);
    return out;
}

bool IsSafeRelativePath(std::string_view relative)
{
    if (relative.empty() || relative.front() == '/')
        return false;
    std::size_t at = 0;
    while (at <= relative.size()) {
        std::size_t end = relative.find('/', at);
        std::string_view segment = relative.substr(at, end == std::string_view::npos ? end : end - at);
        if (segment.empty() || segment == "." || segment == "..")
            return false;
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return true;
}

} // namespace

std::string EscapeCacheField(std::string_view text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '%' || c == ',' || byte <= 0x20 || byte == 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string UnescapeCacheField(std::string_view text)
{
    using platform::HexDigitValue;
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '%' && at + 2 < text.size() && HexDigitValue(text[at + 1]) >= 0 &&
            HexDigitValue(text[at + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(text[at + 1]) * 16 + HexDigitValue(text[at + 2]));
            at += 2;
        } else {
            out += text[at];
        }
    }
    return out;
}

void CProxyCache::SetClockForTesting(Clock clock) { g_clock.store(clock); }

CProxyCache::CProxyCache() = default;

CProxyCache::~CProxyCache()
{
    Stop();
    FreeAll();
}

void CProxyCache::Start(const std::string& databasePath, const std::string& root, std::uint64_t maxMegabytes,
                        std::uint32_t saveMinutes, std::uint32_t purgeMinutes)
{
    if (m_running)
        return;
    m_databasePath = databasePath;
    m_root = root;
    m_maxSize = maxMegabytes << 20;
    m_saveIntervalMs = std::max<std::uint32_t>(saveMinutes, 1) * kMsPerMinute;
    m_purgeIntervalMs = std::max<std::uint32_t>(purgeMinutes, 1) * kMsPerMinute;
    std::uint64_t now = platform::MonotonicMs();
    m_nextSave = now + m_saveIntervalMs;
    m_nextPurge = now + m_purgeIntervalMs;
    platform::CreateDirectories(m_root);
    LoadDatabase();
    {
        std::lock_guard hold(m_stopMutex);
        m_stopRequested = false;
    }
    m_thread = std::thread([this] { CleanupLoop(); });
    m_running = true;
}

void CProxyCache::Stop()
{
    if (!m_running)
        return;
    Purge();
    SaveDatabase();
    {
        std::lock_guard hold(m_stopMutex);
        m_stopRequested = true;
    }
    m_stopSignal.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    FreeAll();
    m_running = false;
}

void CProxyCache::CleanupLoop()
{
    // The lowest priority there is: the thread runs only when nothing else would.
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
    const auto wait = std::chrono::milliseconds(std::min(m_saveIntervalMs, m_purgeIntervalMs) / 2);
    std::unique_lock hold(m_stopMutex);
    while (!m_stopSignal.wait_for(hold, wait, [this] { return m_stopRequested; })) {
        hold.unlock();
        std::uint64_t now = platform::MonotonicMs();
        if (now >= m_nextSave)
            SaveDatabase();
        if (now >= m_nextPurge)
            Purge();
        hold.lock();
    }
}

void CProxyCache::FreeAll()
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    for (CProxyCacheEntry* entry : m_list) {
        // Held entries are given back by their requests, which end before this.
        delete entry;
    }
    m_list.clear();
    m_map.clear();
    m_total = 0;
}

CProxyCacheEntry* CProxyCache::Lookup(const CUrlParts& url)
{
    std::string key = url.Key();
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    auto found = m_map.find(key);
    if (found == m_map.end())
        return nullptr;
    CProxyCacheEntry* entry = found->second;
    if (entry->expires < Now()) {
        RemoveLocked(entry);
        return nullptr;
    }
    m_list.splice(m_list.end(), m_list, entry->link);
    ++entry->useCount;
    return entry;
}

bool CProxyCache::PathForURL(std::string& out, const CUrlParts& url)
{
    std::string relative;
    if (url.scheme == "http" || url.scheme == "ftp" || url.scheme == "gopher")
        relative = url.scheme + "/";
    else
        return false;
    std::string host = SafeSegment(url.host);
    for (char& c : host) {
        if (c == '\\' || c == '/')
            c = '_';
    }
    if (host.empty())
        host = "_";
    if (url.port != DefaultPortForScheme(url.scheme))
        host += "." + std::to_string(url.port);
    relative += host;

    // Each segment of the path on its own; empty segments fold away.
    std::string path = url.path;
    std::replace(path.begin(), path.end(), '\\', '/');
    std::size_t at = 0;
    while (at < path.size()) {
        std::size_t end = path.find('/', at);
        std::string_view segment(path.data() + at, (end == std::string::npos ? path.size() : end) - at);
        if (!segment.empty())
            relative += "/" + SafeSegment(segment);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    if (path.empty() || path.back() == '/')
        relative += "/~default~";
    if (relative.size() > kMaxCachePathBelowRoot || !IsSafeRelativePath(relative))
        return false;

    // The folders: a name taken by a file moves on to name_0, name_1, ...
    std::string built = m_root;
    if (!built.empty() && built.back() != '/' && built.back() != '\\')
        built += '/';
    if (platform::CreateDirectories(built) != 0 && !IsDirectory(built))
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = relative.find('/', start);
        if (slash == std::string::npos)
            break;
        std::string name = relative.substr(start, slash - start);
        std::string tried = built + name;
        int suffix = 0;
        while (::mkdir(tried.c_str(), 0755) != 0 && !IsDirectory(tried)) {
            if (errno != EEXIST || suffix >= kMaxCacheNameTries)
                return false;
            tried = built + name + "_" + std::to_string(suffix++);
        }
        built = tried + "/";
        start = slash + 1;
    }

    // The file: created exclusively, so two requests never share one.
    std::string name = built + relative.substr(start);
    std::string tried = name;
    for (int suffix = 0;; ++suffix) {
        int file = platform::OpenFile(tried.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (file >= 0) {
            platform::CloseHandle(file);
            out = tried;
            return true;
        }
        if (errno != EEXIST || suffix >= kMaxCacheNameTries)
            return false;
        tried = name + "_" + std::to_string(suffix);
    }
}

CProxyCacheEntry* CProxyCache::Insert(const CUrlParts& url, const std::string& path, std::int64_t expires,
                                      std::int64_t lastModified, std::int64_t checkTime)
{
    std::int64_t size = RegularFileSize(path);
    std::string key = url.Key();
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    auto* entry = new CProxyCacheEntry;
    entry->url = key;
    entry->path = path;
    entry->useCount = 1;
    entry->size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    entry->expires = expires;
    entry->lastModified = lastModified;
    entry->checkTime = checkTime;
    if (auto old = m_map.find(key); old != m_map.end())
        RemoveLocked(old->second);
    entry->link = m_list.insert(m_list.end(), entry);
    m_map.emplace(key, entry);
    m_total += entry->size;
    if (m_maxSize > 0)
        TrimLocked(entry);
    return entry;
}

void CProxyCache::Release(CProxyCacheEntry* entry)
{
    if (entry == nullptr)
        return;
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    if (--entry->useCount == 0 && entry->removed) {
        DeleteEntryFile(entry);
        delete entry;
    }
}

void CProxyCache::Remove(CProxyCacheEntry* entry)
{
    if (entry == nullptr)
        return;
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    if (auto found = m_map.find(entry->url); found != m_map.end())
        RemoveLocked(found->second);
}

void CProxyCache::SetCheckTime(CProxyCacheEntry* entry, std::int64_t checkTime)
{
    CEventLockHolder hold(m_lock);
    entry->checkTime = checkTime;
}

void CProxyCache::RemoveLocked(CProxyCacheEntry* entry)
{
    m_list.erase(entry->link);
    m_map.erase(entry->url);
    m_total -= std::min(m_total, entry->size);
    entry->removed = true;
    if (entry->useCount == 0) {
        DeleteEntryFile(entry);
        delete entry;
    }
}

// Deletes the file, then every folder it leaves empty, innermost first,
// never the root or anything above it: the root holds the index and is the
// operator's folder, and removing it would fail every later fill.
void CProxyCache::DeleteEntryFile(CProxyCacheEntry* entry)
{
    ::unlink(entry->path.c_str());
    std::string root = m_root;
    while (!root.empty() && (root.back() == '/' || root.back() == '\\'))
        root.pop_back();
    std::string folder = entry->path;
    for (;;) {
        std::size_t slash = folder.find_last_of('/');
        if (slash == std::string::npos)
            return;
        folder.resize(slash);
        if (folder.size() <= root.size() || folder.compare(0, root.size(), root) != 0 || folder[root.size()] != '/')
            return;
        if (::rmdir(folder.c_str()) != 0)
            return;
    }
}

void CProxyCache::Purge()
{
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    TrimLocked(nullptr);
    m_nextPurge = platform::MonotonicMs() + m_purgeIntervalMs;
}

void CProxyCache::TrimLocked(const CProxyCacheEntry* keep)
{
    std::int64_t now = Now();
    for (auto at = m_list.begin(); at != m_list.end() && m_total > m_maxSize;) {
        CProxyCacheEntry* entry = *at++;
        if (entry->expires <= now && entry != keep)
            RemoveLocked(entry);
    }
    while (!m_list.empty() && m_total > m_maxSize && m_list.front() != keep)
        RemoveLocked(m_list.front());
}

bool CProxyCache::SaveDatabase()
{
    CEventLockHolder hold(m_lock);
    std::string savePath = m_databasePath + ".save";
    // A save file left by a crash is ours to replace.
    int file = platform::OpenFile(savePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0)
        return false;
    std::string buffer;
    buffer.reserve(kSaveBufferBytes);
    bool ok = true;
    for (auto at = m_list.rbegin(); at != m_list.rend() && ok; ++at) {
        const CProxyCacheEntry* entry = *at;
        std::string_view relative(entry->path);
        relative.remove_prefix(std::min(relative.size(), m_root.size()));
        std::string line = EscapeCacheField(entry->url) + "," + EscapeCacheField(relative) + "," +
                           std::to_string(entry->expires) + "," + std::to_string(entry->lastModified) + "\r\n";
        if (buffer.size() + line.size() > kSaveBufferBytes) {
            ok = platform::WriteAll(file, buffer);
            buffer.clear();
        }
        buffer += line;
    }
    ok = ok && platform::WriteAll(file, buffer) && ::fsync(file) == 0;
    platform::CloseHandle(file);
    if (!ok || ::rename(savePath.c_str(), m_databasePath.c_str()) != 0) {
        ::unlink(savePath.c_str());
        return false;
    }
    m_nextSave = platform::MonotonicMs() + m_saveIntervalMs;
    return true;
}

bool CProxyCache::LoadDatabase()
{
    FreeAll();
    CEventLockHolder hold(m_lock);
    CHeapSwitch shared;
    int file = platform::OpenFile(m_databasePath.c_str(), O_RDONLY);
    if (file < 0)
        return false;
    std::string text;
    char chunk[4096];
    for (;;) {
        long got = platform::ReadHandle(file, chunk, sizeof chunk);
        if (got <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    platform::CloseHandle(file);

    std::int64_t now = Now();
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        std::string_view line(text.data() + at, (end == std::string::npos ? text.size() : end) - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::string_view fields[4];
        std::size_t from = 0;
        for (int n = 0; n < 4 && from <= line.size(); ++n) {
            std::size_t comma = line.find(',', from);
            fields[n] = line.substr(from, comma == std::string_view::npos ? comma : comma - from);
            from = comma == std::string_view::npos ? line.size() + 1 : comma + 1;
        }
        std::string url = UnescapeCacheField(fields[0]);
        std::string relative = UnescapeCacheField(fields[1]);
        if (url.empty() || !IsSafeRelativePath(relative) || m_map.count(url))
            continue;
        std::string path = m_root + relative;
        std::int64_t size = RegularFileSize(path);
        if (size <= 0)
            continue;
        auto* entry = new CProxyCacheEntry;
        entry->url = url;
        entry->path = path;
        entry->size = static_cast<std::uint64_t>(size);
        entry->expires = std::strtoll(std::string(fields[2]).c_str(), nullptr, 10);
        entry->lastModified = std::strtoll(std::string(fields[3]).c_str(), nullptr, 10);
        entry->checkTime = now;
        entry->link = m_list.insert(m_list.begin(), entry);
        m_map.emplace(url, entry);
        m_total += entry->size;
    }
    m_nextSave = platform::MonotonicMs() + m_saveIntervalMs;
    return true;
}

std::uint64_t CProxyCache::GetTotal() const
{
    CEventLockHolder hold(m_lock);
    return m_total;
}

std::size_t CProxyCache::GetCount() const
{
    CEventLockHolder hold(m_lock);
    return m_map.size();
}
