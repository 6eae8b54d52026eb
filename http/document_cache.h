#pragma once
// CDocumentCache: one per HTTP server. It turns a request URL into a
// CCacheEntry that says what the URL names (a redirection, a directory, a
// program under a CGI mapping, a clickable map, a plain file or a macro
// document), holds the file open (one descriptor all its requests share),
// carries the document's access lists and a prebuilt reply header, and keeps
// at most `capacity` entries in least-recently-used order.
//
// Two threads keep it fresh: the change thread drops entries whose files
// changed (inotify on the document root and every virtual path location),
// the expiry thread lets go of the handles, views and temporary copies of
// entries nobody used for a flush interval. A configuration change (the
// change stamp) empties it.
//
// An entry a request holds never changes and is never destroyed: discarding
// only takes it out of the table, and its last Release destroys it. When a
// file turns out to differ from what the entry describes (size, time or
// identity), the entry is discarded and the URL loaded afresh, so a reply
// header never promises what the file no longer holds.
//
// Lock order: the cache's lock, then (one at a time) the configuration maps'
// locks and the access-list cache's.

#include "config/access_list.h"
#include "config/cgi_mapping.h"
#include "config/reg_access_list.h"
#include "framework/share_lock.h"
#include "framework/text_buffer.h"
#include "platform/fswatch.h"
#include "platform/sync.h"

#include <cstdint>
#include <atomic>
#include <list>
#include <mutex>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CHTTPServerConfig;
class CDocumentCache;

class CCacheEntry {
public:
    // Flags.
    static constexpr std::uint32_t MacroDocument = 0x001;
    static constexpr std::uint32_t NotFound = 0x002;
    static constexpr std::uint32_t Redirect = 0x004;
    static constexpr std::uint32_t Program = 0x008;
    static constexpr std::uint32_t Directory = 0x010;
    static constexpr std::uint32_t InVirtualPath = 0x020;
    static constexpr std::uint32_t Mapped = 0x040;
    static constexpr std::uint32_t MapFile = 0x080;
    static constexpr std::uint32_t Discard = 0x100;
    static constexpr std::uint32_t TempCopy = 0x200;

    static constexpr int kHeaderCapacity = 2048;
    // A text document is a macro document when the first '%' within its
    // first 128 bytes opens "%expand%"; the marker may run on past them.
    static constexpr std::size_t kMacroMarkerSpan = 128 + 8;
    static bool HasExpandMarker(std::string_view head);
    // Only text types become macro documents by their marker.
    static bool CanBecomeMacroDocument(std::string_view mimeType);

    CCacheEntry();
    ~CCacheEntry();
    CCacheEntry(const CCacheEntry&) = delete;
    CCacheEntry& operator=(const CCacheEntry&) = delete;

    // Resolves url (case kept, '/' separators) against the server's
    // configuration. Returns an open handle of the served file or -1; *error
    // is 0 or the Win32 number of the failure (2 not found, 5 access denied).
    int Load(CHTTPServerConfig& server, std::string_view url, bool temporaryCopies, bool mapAll, int* error);

    bool Has(std::uint32_t flag) const { return (Flags & flag) != 0; }
    // A plain file, macro document or map file: it has a handle and a size.
    bool IsLoadedFile() const { return (Flags & (Mapped | MapFile)) != 0; }
    // The document's bytes in memory (macro documents and map files), or
    // null; GetSize() bytes long.
    const char* GetView() const { return m_hasView ? m_view.data() : nullptr; }
    std::int64_t GetSize() const { return m_size; }
    // Last-write time of the file when it was loaded: seconds since 1970
    // and the nanoseconds within that second.
    std::int64_t GetLastWriteSeconds() const { return m_lastWriteSeconds; }
    long GetLastWriteNanoseconds() const { return m_lastWriteNanoseconds; }
    int GetReferenceCount() const { return m_referenceCount; }

    std::uint32_t Flags = 0;
    std::string Key;
    // The resolved path; ends with '/' for a directory.
    std::string FilePath;
    // The private copy being served, "" when none.
    std::string TempCopyName;
    // The URL the entry was loaded for; for a program it ends with the
    // program's segment.
    std::string URL;
    // RFC 1123 text of the last-write time.
    std::string LastModified;
    CAccessList DocumentACL;
    // Lower case; "text/html" for a text/x-kav document.
    std::string MimeType;
    // The Server, Accept, Accept-Ranges, Content-length, Content-type and
    // Last-modified lines, each ended by CR LF.
    CTextBuffer Header;
    std::string ScriptSegment;
    // The redirect target, or for a program the path info after its segment.
    std::string Target;
    // The path info mapped to a file path.
    std::string PathTranslated;
    CCGIMapping CGIMapping;
    // Copied from the virtual path when InVirtualPath.
    CRegAccessList VirtualPathACL;
    // Length of the root part of FilePath (RootDir or the virtual path's
    // location): traversal checks start after it.
    int RootLength = 0;

private:
    friend class CDocumentCache;

    // The path requests read: the temporary copy when there is one.
    const std::string& ServedPath() const { return TempCopyName.empty() ? FilePath : TempCopyName; }
    // Steps of Load after the path is known to name a file.
    int LoadFile(bool temporaryCopies, bool mapAll, int* error);
    // Macro detection, the header block and Last-modified from the size,
    // time and first bytes of handle.
    void Describe(int handle);
    // Reads the whole served file into the view; false with *error set.
    bool ReadView(int handle, int* error);
    // Copies FilePath into a new temporary file (keeping its times);
    // false when the copy failed (the file itself is served then).
    bool MakeTempCopy();
    // The ring's handle, or a newly opened one; -1 with *error set.
    int TakeHandle(int* error);
    // Back to the ring, closed when the ring is full or the handle is -1.
    void PutHandle(int handle);
    // Views, handles and the temporary copy (deleted from disk).
    void ReleaseResources();

    std::list<CCacheEntry*>::iterator m_position;
    bool m_inTable = false;
    // Never shared (not found, or a load another overtook): its one holder
    // destroys it at release, without the table's lock.
    bool m_private = false;
    // Guards the handle ring, the count and the expiry tick while requests
    // share the table; whoever holds the table alone needs it not. Held for
    // a few instructions by every request for the file: a sleeping mutex
    // there put hundreds of request threads to sleep and woke them in turn.
    platform::SpinLock m_useLock;
    // When it was last looked up (the cache's use clock), for eviction.
    std::atomic<std::uint64_t> m_lastUse{0};
    int m_referenceCount = 0;
    std::uint64_t m_expiryTick = 0;
    std::int64_t m_size = 0;
    std::int64_t m_lastWriteSeconds = 0;
    long m_lastWriteNanoseconds = 0;
    // The one descriptor every request of the entry reads through: reads
    // and sendfile take their offsets, so 10,000 requests of one file need
    // no 10,000 descriptors. Closed with the entry's resources, which go
    // only while no request holds the entry.
    int m_handle = -1;
    std::string m_view;
    bool m_hasView = false;
};

struct stat;

class CDocumentCache {
public:
    // Win32 numbers the cache reports.
    static constexpr int kErrorFileNotFound = 2;
    static constexpr int kErrorAccessDenied = 5;
    static constexpr int kErrorNotEnoughMemory = 8;
    static constexpr int kErrorTooManyOpenFiles = 4;
    // Out of descriptors or memory: the document may well be there.
    static bool IsResourceError(int error) { return error == kErrorTooManyOpenFiles || error == kErrorNotEnoughMemory; }
    // A macro document or map file is read whole into memory; one beyond
    // this is refused rather than allowed to exhaust it.
    static constexpr std::int64_t kMaxViewBytes = std::int64_t{64} << 20;
    // A cache holds at least two entries, whatever URLCacheSize says.
    static constexpr std::uint32_t kMinCapacity = 2;
    // When no directory can be watched the change thread retries this
    // often instead of spinning.
    static constexpr std::uint32_t kRetryAfterFailureMs = 1000;

    CDocumentCache();
    ~CDocumentCache();
    CDocumentCache(const CDocumentCache&) = delete;
    CDocumentCache& operator=(const CDocumentCache&) = delete;

    // Starts the cache for a server (a CHTTPServer is its own configuration):
    // capacity max(URLCacheSize, 2), the flush interval in milliseconds (0:
    // no expiry thread, resources go at the last release), mapAll reads
    // every file into memory (no sendfile), temporaryCopies serves private
    // copies so documents can be rewritten while they are sent.
    void Init(CHTTPServerConfig* server, std::uint32_t capacity, bool mapAll, std::uint32_t flushIntervalMs,
              bool temporaryCopies);
    // Stops the threads and destroys every entry no request holds (the rest
    // go at their last release).
    void Destroy();

    // The entry for url (reference held) or null when the url does not
    // begin with '/' (or the cache is not running). *handle is an open
    // handle of a loaded file, else -1. A NotFound entry is not kept: the
    // caller answers 404 (401 when *error is kErrorAccessDenied) and
    // releases it. qualifier (the logged-on user) gives the user an entry
    // of its own.
    CCacheEntry* Lookup(const char* url, int length, int* handle, const char* qualifier = nullptr,
                        int* error = nullptr);
    // Gives back one reference and the handle.
    void Release(CCacheEntry* entry, int handle);
    // Drops every entry of the file at filePath (one per logged-on user),
    // so the next request loads what was just written there.
    void DiscardFile(const std::string& filePath);

    // For the cache's own threads and tests: drops every entry (all) or
    // those whose files changed, then renews the watches. Takes the lock.
    void FlushNow(bool all);
    // Entries in the table.
    std::size_t GetCount();
    bool IsRunning() const { return m_server != nullptr; }

private:
    // Under the lock.
    void Flush(bool all);
    void WatchDirectories();
    void Discard(CCacheEntry* entry);
    void Insert(CCacheEntry* entry);
    // Hit path: a handle for a loaded file that still matches the entry, or
    // false when the entry must be discarded and the URL loaded again.
    bool Reopen(CCacheEntry* entry, int* handle, int* error);
    // A hit whose pooled handle can be checked after the lock is released.
    bool CanCheckUnlocked(const CCacheEntry* entry) const;
    // The file status shows the size and time the entry was built from.
    static bool Describes(const CCacheEntry* entry, const struct stat& status);
    // The same of an open handle, and of the file at the entry's path.
    static bool MatchesFile(const CCacheEntry* entry, int handle);
    static bool MatchesPath(const CCacheEntry* entry);
    // The look-up past a shared miss: reopens under the lock, loads with
    // the table free.
    CCacheEntry* LookupLocked(const std::string& path, const std::string& key, std::uint64_t changeTick, int* handle,
                              int* error);
    // Loads the URL for a new entry, kept in the table unless the URL is
    // not found or the table changed since loadTick (then private).
    CCacheEntry* LoadEntry(const std::string& path, const std::string& key, CHTTPServerConfig* server,
                           std::uint64_t loadTick, int* handle, int* error);
    void ChangeThread();
    void ExpiryThread();

    // Hits and most releases share the table: they take no lock that every
    // request takes in turn, only their entry's own. Everything else holds
    // the table alone.
    CShareLock m_lock;
    std::atomic<std::uint64_t> m_useClock{0};
    std::unordered_map<std::string, CCacheEntry*> m_table;
    // Every entry of the table; eviction takes the least recently used
    // (the smallest m_lastUse).
    std::list<CCacheEntry*> m_recency;
    // Entries out of the table that requests still hold.
    std::unordered_set<CCacheEntry*> m_orphans;
    std::uint64_t m_loadTick = 0;
    std::uint32_t m_capacity = kMinCapacity;
    std::uint32_t m_flushInterval = 0;
    bool m_temporaryCopies = false;
    bool m_mapAll = false;
    CHTTPServerConfig* m_server = nullptr;
    std::vector<std::string> m_watchedRoots;
    platform::DirectoryWatcher m_watcher;
    bool m_watcherOpen = false;
    std::thread m_changeThread;
    std::thread m_expiryThread;
    std::unique_ptr<platform::Event> m_expiryStop;
};
