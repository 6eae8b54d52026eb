#pragma once
// CProxyCache: the proxy's disk cache. Documents are files under RootDir
// (by scheme, host and path); the in-memory index maps each document's URL
// key (CUrlParts::Key) to its file, size and times, in order of use. A
// low-priority cleanup thread writes the index to "cachedb.db" every save
// interval and trims the cache to its maximum size every purge interval;
// the index is read back at start, so cached files survive a restart.
//
// Requests hold the entries they use (a use count, changed under the lock).
// An entry taken out of the index while held keeps its file until its last
// holder gives it back.

#include "framework/event_lock.h"
#include "proxy/url_parts.h"

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

struct CProxyCacheEntry {
    std::string url;  // the key
    std::string path; // the file
    int useCount = 0;
    bool removed = false;
    std::uint64_t size = 0;
    std::int64_t expires = 0;
    std::int64_t checkTime = 0;
    std::int64_t lastModified = 0;
    std::list<CProxyCacheEntry*>::iterator link;
};

// A cache path never grows beyond this below the root.
inline constexpr std::size_t kMaxCachePathBelowRoot = 1024;
// A path segment is cut to this many bytes (file systems allow 255).
inline constexpr std::size_t kMaxCacheSegment = 200;
// How many "_0", "_1", ... names a taken name tries before giving up.
inline constexpr int kMaxCacheNameTries = 1000;
inline constexpr const char* kCacheDatabaseName = "cachedb.db";

class CProxyCache {
public:
    CProxyCache();
    ~CProxyCache();
    CProxyCache(const CProxyCache&) = delete;
    CProxyCache& operator=(const CProxyCache&) = delete;

    // Sets the limits (an interval of 0 minutes counts as 1), loads the
    // database and starts the cleanup thread.
    void Start(const std::string& databasePath, const std::string& root, std::uint64_t maxMegabytes,
               std::uint32_t saveMinutes, std::uint32_t purgeMinutes);
    // For a started cache: purge, save, stop the thread (cooperatively) and
    // forget the index; the files stay for the next start. Else nothing.
    void Stop();
    bool IsRunning() const { return m_running; }

    // The unexpired entry of the URL, held; null when none.
    CProxyCacheEntry* Lookup(const CUrlParts& url);
    // A fresh, empty file for the URL's document (its path in out); false
    // for a scheme the cache does not keep or a name that cannot be made.
    bool PathForURL(std::string& out, const CUrlParts& url);
    // Indexes the file as the URL's document (replacing an older one); the
    // new entry is held. Documents used least recently leave at once while
    // the total exceeds the maximum, so that no reply overfills the cache.
    CProxyCacheEntry* Insert(const CUrlParts& url, const std::string& path, std::int64_t expires,
                             std::int64_t lastModified, std::int64_t checkTime);
    // Gives back one use; the last use of a removed entry deletes its file.
    void Release(CProxyCacheEntry* entry);
    // Takes the entry's URL out of the index.
    void Remove(CProxyCacheEntry* entry);
    void SetCheckTime(CProxyCacheEntry* entry, std::int64_t checkTime);

    // Expired entries first, then the least recently used, while the total
    // exceeds the maximum.
    void Purge();
    bool SaveDatabase();
    bool LoadDatabase();

    std::uint64_t GetTotal() const;
    // The most the cache may hold, in bytes (0 before Start).
    std::uint64_t GetMaxSize() const { return m_maxSize; }
    std::size_t GetCount() const;
    const std::string& GetRoot() const { return m_root; }
    // Tests move the clock (seconds since 1970); null restores it.
    using Clock = std::int64_t (*)();
    static void SetClockForTesting(Clock clock);

private:
    // With the lock held.
    void RemoveLocked(CProxyCacheEntry* entry);
    // Expired entries first, then the least recently used, while the total
    // exceeds the maximum; keep (the entry just stored) stays.
    void TrimLocked(const CProxyCacheEntry* keep);
    void DeleteEntryFile(CProxyCacheEntry* entry);
    void FreeAll();
    void CleanupLoop();

    mutable CEventLock m_lock;
    std::unordered_map<std::string, CProxyCacheEntry*> m_map;
    std::list<CProxyCacheEntry*> m_list; // front: least recently used
    std::uint64_t m_total = 0;
    std::uint64_t m_maxSize = 0;
    std::uint64_t m_saveIntervalMs = 0;
    std::uint64_t m_purgeIntervalMs = 0;
    std::uint64_t m_nextSave = 0;
    std::uint64_t m_nextPurge = 0;
    std::string m_databasePath;
    std::string m_root;
    bool m_running = false;

    std::thread m_thread;
    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
    bool m_stopRequested = false;
};

// The text of a database field: '%', ',', blanks and control characters
// as %XX, so that a URL can never spill into the next field.
std::string EscapeCacheField(std::string_view text);
std::string UnescapeCacheField(std::string_view text);
