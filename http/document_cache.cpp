#include "http/document_cache.h"

#include "config/global_maps.h"
#include "config/http_server_config.h"
#include "config/last_mod_stamp.h"
#include "framework/error_reply.h"
#include "framework/http_date.h"
#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "http/http_text.h"
#include "http/url_mapping.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process_temp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

// The platform layer offers no file status, open or copy helpers; the few
// POSIX calls the cache makes stay in this file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Macro detection looks for the first '%' within this many leading bytes.
constexpr std::int64_t kMacroScanBytes = 128;
constexpr std::string_view kExpandMarker = "%expand%";

int Win32FromErrno(int error)
{
    switch (error) {
    case EACCES:
    case EPERM: return CDocumentCache::kErrorAccessDenied;
    case ENOMEM: return CDocumentCache::kErrorNotEnoughMemory;
    case EMFILE:
    case ENFILE: return CDocumentCache::kErrorTooManyOpenFiles;
    default: return CDocumentCache::kErrorFileNotFound;
    }
}

int OpenForReading(const std::string& path, int* error)
{
    for (;;) {
        // O_NONBLOCK: a FIFO planted in the tree must not hang the opener;
        // only regular files are served anyway.
        int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (handle >= 0)
            return handle;
        if (errno != EINTR) {
            *error = Win32FromErrno(errno);
            return -1;
        }
    }
}

void CloseHandle(int handle)
{
    if (handle >= 0)
        ::close(handle);
}

// pread until n bytes or the end; the bytes read or -1.
std::int64_t ReadAt(int handle, char* into, std::int64_t n, std::int64_t offset)
{
    std::int64_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(handle, into + done, static_cast<std::size_t>(n - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

// Whether name exists in directory (which ends with '/'); the exact name
// first, then a case-insensitive match, as default file names are
// compared. The name found is stored in *found.
bool FindDefaultFile(const std::string& directory, const std::string& name, std::string* found)
{
    struct stat status {};
    std::string exact = directory + name;
    if (::stat(exact.c_str(), &status) == 0 || errno == EACCES) {
        *found = name;
        return true;
    }
    DIR* stream = ::opendir(directory.c_str());
    if (!stream)
        return false;
    bool matched = false;
    while (dirent* item = ::readdir(stream)) {
        if (EqualsIgnoringCase(item->d_name, name)) {
            *found = item->d_name;
            matched = true;
            break;
        }
    }
    ::closedir(stream);
    return matched;
}

} // namespace

// --- CCacheEntry ---------------------------------------------------------

CCacheEntry::CCacheEntry() : Header(kHeaderCapacity) {}

CCacheEntry::~CCacheEntry() { ReleaseResources(); }

void CCacheEntry::ReleaseResources()
{
    CloseHandle(m_handle);
    m_handle = -1;
    m_view.clear();
    m_view.shrink_to_fit();
    m_hasView = false;
    if (!TempCopyName.empty()) {
        ::unlink(TempCopyName.c_str());
        TempCopyName.clear();
    }
}

int CCacheEntry::Load(CHTTPServerConfig& server, std::string_view url, bool temporaryCopies, bool mapAll,
                      int* error)
{
    *error = 0;
    URL = std::string(url);
    Flags = 0;

    std::string target;
    if (LookupWithGlobal(server.GetRedirections(), GlobalRedirections(), LowerCaseString(url), target)) {
        Flags |= Redirect;
        Target = std::move(target);
        return -1;
    }

    // The root: a virtual path named by the first segment, else RootDir.
    std::size_t start = url.find_first_not_of('/');
    std::size_t firstEnd = start == std::string_view::npos ? std::string_view::npos : url.find('/', start);
    std::string_view rest = url;
    CVirtualPath path;
    bool inVirtualPath = false;
    if (start != std::string_view::npos) {
        std::string_view first = url.substr(start, firstEnd == std::string_view::npos ? url.size() - start
                                                                                      : firstEnd - start);
        inVirtualPath = LookupWithGlobal(server.GetPaths(), GlobalVirtualPaths(), LowerCaseString(first), path);
    }
    CCGIMappingMap* ownMappings = &server.GetCGIExt();
    if (inVirtualPath) {
        Flags |= InVirtualPath;
        VirtualPathACL = path.ACL;
        FilePath = path.Location;
        rest = firstEnd == std::string_view::npos ? std::string_view() : url.substr(firstEnd);
    } else {
        FilePath = server.GetHTTPSettings()->rootDir;
    }
    while (!FilePath.empty() && FilePath.back() == '/')
        FilePath.pop_back();
    RootLength = static_cast<int>(FilePath.size());

    // Walk the segments; runs of '/' are skipped.
    std::size_t at = 0;
    while (at < rest.size()) {
        if (rest[at] == '/') {
            ++at;
            continue;
        }
        std::size_t end = rest.find('/', at);
        if (end == std::string_view::npos)
            end = rest.size();
        std::string_view segment = rest.substr(at, end - at);
        FilePath += '/';
        FilePath += segment;
        // Dot segments would climb out of the root; NUL would cut the path
        // short in the system call; access-list files and uploads not yet in
        // place are never documents.
        if (segment == "." || segment == ".." || segment.find('\0') != std::string_view::npos ||
            IsACLFileName(segment) || platform::IsReplacementName(segment)) {
            Flags |= NotFound;
            *error = CDocumentCache::kErrorFileNotFound;
            return -1;
        }
        std::size_t dot = segment.rfind('.');
        if (dot != std::string_view::npos) {
            std::string extension = LowerCaseString(segment.substr(dot + 1));
            CCGIMapping mapping;
            bool mapped = inVirtualPath && path.CGIExt.LookupLocked(extension, mapping);
            if (!mapped)
                mapped = LookupWithGlobal(*ownMappings, GlobalCGIMappings(), extension, mapping);
            if (mapped) {
                std::size_t segmentEnd = static_cast<std::size_t>(rest.data() + end - url.data());
                Target = std::string(url.substr(segmentEnd));
                PathTranslated = MapURLPath(server, Target);
                ScriptSegment = std::string(segment);
                CGIMapping = mapping;
                URL = std::string(url.substr(0, segmentEnd));
                Flags |= Program;
                return -1;
            }
        }
        at = end;
    }
    // "/docs" for a virtual path leaves its bare location, which the
    // directory test below redirects to "/docs/" like any other directory.
    if (!url.empty() && url.back() == '/')
        FilePath += '/';

    if (!FilePath.empty() && FilePath.back() == '/') {
        std::shared_ptr<const CHTTPSettings> settings = server.GetHTTPSettings();
        const char* cursor = settings->defaultFile.c_str();
        std::string name;
        for (;;) {
            NextToken(name, &cursor, ", ;");
            if (name.empty())
                break;
            std::string found;
            if (FindDefaultFile(FilePath, name, &found)) {
                FilePath += found;
                break;
            }
        }
    }
    if (FilePath.empty() || FilePath.back() == '/') {
        // A listing is for a folder that exists, and its own access list
        // (the one inside it) decides who may read it, as for a document.
        struct stat folder {};
        if (!FilePath.empty() && (::stat(FilePath.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))) {
            Flags |= NotFound;
            *error = CDocumentCache::kErrorFileNotFound;
            return -1;
        }
        Flags |= Directory;
        DocumentACL.LoadFile(FilePath);
        return -1;
    }

    DocumentACL.LoadFile(FilePath);
    MimeType = LowerCaseString(MimeTypeForPath(server, FilePath));

    struct stat status {};
    if (::stat(FilePath.c_str(), &status) != 0) {
        Flags |= NotFound;
        *error = Win32FromErrno(errno);
        return -1;
    }
    if (S_ISDIR(status.st_mode)) {
        Target = std::string(url) + "/";
        Flags |= Redirect;
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        // Devices and FIFOs would never end or would block the reader.
        Flags |= NotFound;
        *error = CDocumentCache::kErrorFileNotFound;
        return -1;
    }
    // Served as the owner sees it: the write bit for anyone means writable.
    if (temporaryCopies && (status.st_mode & 0222) != 0) {
        Flags |= TempCopy;
        MakeTempCopy();
    }
    return LoadFile(temporaryCopies, mapAll, error);
}

int CCacheEntry::LoadFile(bool /*temporaryCopies*/, bool mapAll, int* error)
{
    int handle = OpenForReading(ServedPath(), error);
    if (handle < 0) {
        Flags |= NotFound;
        return -1;
    }
    struct stat status {};
    if (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode)) {
        CloseHandle(handle);
        Flags |= NotFound;
        *error = CDocumentCache::kErrorFileNotFound;
        return -1;
    }
    m_size = status.st_size;
    m_lastWriteSeconds = status.st_mtim.tv_sec;
    m_lastWriteNanoseconds = status.st_mtim.tv_nsec;

    std::size_t dot = FilePath.rfind('.');
    std::size_t slash = FilePath.rfind('/');
    bool mapFile = dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
                   EqualsIgnoringCase(std::string_view(FilePath).substr(dot + 1), "map");
    if (mapFile) {
        Flags |= MapFile;
    } else {
        Flags |= Mapped;
        Describe(handle);
    }
    if ((mapFile || mapAll || Has(MacroDocument)) && !ReadView(handle, error)) {
        CloseHandle(handle);
        Flags = (Flags & ~(Mapped | MapFile | MacroDocument)) | NotFound;
        return -1;
    }
    m_handle = handle;
    return handle;
}

bool CCacheEntry::HasExpandMarker(std::string_view head)
{
    std::size_t percent = head.substr(0, std::min<std::size_t>(head.size(), kMacroScanBytes)).find('%');
    return percent != std::string_view::npos && percent + kExpandMarker.size() <= head.size() &&
           EqualsIgnoringCase(head.substr(percent, kExpandMarker.size()), kExpandMarker);
}

bool CCacheEntry::CanBecomeMacroDocument(std::string_view mimeType)
{
    return mimeType.starts_with("text/");
}

void CCacheEntry::Describe(int handle)
{
    // The marker may start at byte 127 and run on past the scanned bytes.
    char head[kMacroMarkerSpan];
    std::int64_t got = ReadAt(handle, head, std::min<std::int64_t>(m_size, sizeof head), 0);
    std::string_view text(head, got > 0 ? static_cast<std::size_t>(got) : 0);
    if (MimeType == "text/x-kav") {
        Flags |= MacroDocument;
        MimeType = "text/html";
    } else if (CanBecomeMacroDocument(MimeType) && HasExpandMarker(text)) {
        Flags |= MacroDocument;
    }

    Header.Empty();
    Header.Append("Server: ");
    Header.Append(ProductToken());
    Header.Append("\r\n");
    if (Has(MacroDocument)) {
        Header.Append("Accept: GET HEAD POST PUT\r\n");
    } else {
        Header.Append("Accept: GET HEAD PUT\r\nAccept-Ranges: bytes\r\nContent-length: ");
        Header.Append(std::to_string(m_size));
        Header.Append("\r\n");
        if (!MimeType.empty()) {
            Header.Append("Content-type: ");
            Header.Append(MimeType);
            Header.Append("\r\n");
        }
    }
    LastModified.clear();
    FormatRFC1123DateString(LastModified, SystemTimeFromUnixSeconds(m_lastWriteSeconds));
    if (!LastModified.empty()) {
        Header.Append("Last-modified: ");
        Header.Append(LastModified);
        Header.Append("\r\n");
    }
}

bool CCacheEntry::ReadView(int handle, int* error)
{
    if (m_size > CDocumentCache::kMaxViewBytes) {
        *error = CDocumentCache::kErrorNotEnoughMemory;
        return false;
    }
    std::string view(static_cast<std::size_t>(m_size), '\0');
    // A file that shrank since its size was taken is not what the entry
    // describes: refuse it rather than serve a short view.
    if (ReadAt(handle, view.data(), m_size, 0) != m_size) {
        *error = CDocumentCache::kErrorFileNotFound;
        return false;
    }
    m_view = std::move(view);
    m_hasView = true;
    return true;
}

bool CCacheEntry::MakeTempCopy()
{
    // In this process's own folder under the state directory, not TEMP: a
    // crash would leave a whole copy of each document there for good, and
    // the next start removes a dead process's folder.
    std::string folder = platform::ProcessTempDirectory();
    if (folder.empty())
        return false;
    std::string name = platform::JoinPath(folder, "URLXXXXXX");
    int copy = ::mkostemp(name.data(), O_CLOEXEC);
    if (copy < 0)
        return false;
    int error = 0;
    int source = OpenForReading(FilePath, &error);
    bool copied = source >= 0;
    struct stat status {};
    copied = copied && ::fstat(source, &status) == 0 && S_ISREG(status.st_mode);
    for (std::int64_t done = 0; copied && done < status.st_size;) {
        ssize_t n = ::copy_file_range(source, nullptr, copy, nullptr,
                                      static_cast<std::size_t>(status.st_size - done), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
            n = ::sendfile(copy, source, nullptr, static_cast<std::size_t>(status.st_size - done));
        if (n <= 0)
            copied = false; // a read error, or the file shrank while copied
        else
            done += n;
    }
    // The copy keeps the document's times: conditional requests and
    // change checks compare them with the original's.
    if (copied) {
        timespec times[2] = {status.st_atim, status.st_mtim};
        copied = ::futimens(copy, times) == 0;
    }
    CloseHandle(source);
    CloseHandle(copy);
    if (!copied) {
        ::unlink(name.c_str());
        return false;
    }
    TempCopyName = std::move(name);
    return true;
}

int CCacheEntry::TakeHandle(int* error)
{
    if (m_handle < 0)
        m_handle = OpenForReading(ServedPath(), error);
    return m_handle;
}

void CCacheEntry::PutHandle(int handle)
{
    // The entry's own descriptor stays for the next request.
    if (handle != m_handle)
        CloseHandle(handle);
}

// --- CDocumentCache ------------------------------------------------------

CDocumentCache::CDocumentCache() = default;

CDocumentCache::~CDocumentCache()
{
    Destroy();
    // Callers give their entries back before the cache goes; any still out
    // now would otherwise outlive it.
    for (CCacheEntry* entry : m_orphans)
        delete entry;
}

void CDocumentCache::Init(CHTTPServerConfig* server, std::uint32_t capacity, bool mapAll,
                          std::uint32_t flushIntervalMs, bool temporaryCopies)
{
    Destroy();
    m_capacity = std::max(capacity, kMinCapacity);
    m_mapAll = mapAll;
    m_flushInterval = flushIntervalMs;
    m_temporaryCopies = temporaryCopies;
    m_loadTick = GlobalLastModStamp().LoadTick();
    m_watcherOpen = m_watcher.Open();
    {
        CShareLock::Exclusive hold(m_lock);
        CHeapSwitch heap(nullptr);
        m_server = server;
        WatchDirectories();
    }
    m_changeThread = std::thread(&CDocumentCache::ChangeThread, this);
    if (m_flushInterval != 0) {
        m_expiryStop = std::make_unique<platform::Event>(true);
        m_expiryThread = std::thread(&CDocumentCache::ExpiryThread, this);
    }
}

void CDocumentCache::Destroy()
{
    // Stopping is cooperative: both threads wait only on these signals or
    // on the lock, so joining them cannot hang.
    m_watcher.Stop();
    if (m_expiryStop)
        m_expiryStop->Set();
    if (m_changeThread.joinable())
        m_changeThread.join();
    if (m_expiryThread.joinable())
        m_expiryThread.join();
    m_expiryStop.reset();
    m_watcher.Restart();

    CShareLock::Exclusive hold(m_lock);
    CHeapSwitch heap(nullptr);
    while (!m_recency.empty())
        Discard(m_recency.front());
    m_table.clear();
    m_watchedRoots.clear();
    m_server = nullptr;
}

std::size_t CDocumentCache::GetCount()
{
    CShareLock::Exclusive hold(m_lock);
    return m_table.size();
}

void CDocumentCache::FlushNow(bool all)
{
    CShareLock::Exclusive hold(m_lock);
    CHeapSwitch heap(nullptr);
    if (m_server)
        Flush(all);
}

void CDocumentCache::Discard(CCacheEntry* entry)
{
    entry->Flags |= CCacheEntry::Discard;
    if (entry->m_inTable) {
        m_table.erase(entry->Key);
        m_recency.erase(entry->m_position);
        entry->m_inTable = false;
    }
    if (entry->m_referenceCount <= 0)
        delete entry;
    else
        m_orphans.insert(entry);
}

void CDocumentCache::DiscardFile(const std::string& filePath)
{
    CShareLock::Exclusive hold(m_lock);
    CHeapSwitch heap(nullptr);
    std::vector<CCacheEntry*> stale;
    for (const auto& [key, entry] : m_table)
        if (entry->FilePath == filePath)
            stale.push_back(entry);
    for (CCacheEntry* entry : stale)
        Discard(entry);
}

void CDocumentCache::Insert(CCacheEntry* entry)
{
    if (m_table.size() >= m_capacity && !m_recency.empty()) {
        CCacheEntry* oldest = m_recency.front();
        for (CCacheEntry* candidate : m_recency)
            if (candidate->m_lastUse.load(std::memory_order_relaxed) < oldest->m_lastUse.load(std::memory_order_relaxed))
                oldest = candidate;
        Discard(oldest);
    }
    entry->m_lastUse.store(m_useClock.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    m_table[entry->Key] = entry;
    entry->m_position = m_recency.insert(m_recency.end(), entry);
    entry->m_inTable = true;
}

bool CDocumentCache::Reopen(CCacheEntry* entry, int* handle, int* error)
{
    if (entry->Has(CCacheEntry::TempCopy) && entry->TempCopyName.empty() && entry->m_referenceCount == 0) {
        // The copy went with the entry's idle resources; the document may
        // have changed since, and a new copy must still be what the entry
        // describes.
        if (!MatchesPath(entry))
            return false;
        if (entry->MakeTempCopy()) {
            CloseHandle(entry->m_handle);
            entry->m_handle = -1;
        }
    }
    int opened = entry->TakeHandle(error);
    if (opened < 0)
        return false;
    // Every use checks the handle against the entry, so an edited file is
    // never sent under the old Content-length or Last-modified. A handle
    // that fails stays the entry's: others may be sending through it, and
    // it closes with the entry.
    if (!MatchesFile(entry, opened))
        return false;
    bool wantsView = m_mapAll || entry->Has(CCacheEntry::MacroDocument) || entry->Has(CCacheEntry::MapFile);
    if (wantsView && !entry->m_hasView && !entry->ReadView(opened, error))
        return false;
    *handle = opened;
    *error = 0;
    return true;
}

bool CDocumentCache::Describes(const CCacheEntry* entry, const struct stat& status)
{
    // Any other time counts, not only a later one: a file restored from a
    // backup is older than the copy it replaces.
    return status.st_size == entry->m_size && status.st_mtim.tv_sec == entry->m_lastWriteSeconds &&
           status.st_mtim.tv_nsec == entry->m_lastWriteNanoseconds;
}

bool CDocumentCache::MatchesFile(const CCacheEntry* entry, int handle)
{
    struct stat status {};
    return ::fstat(handle, &status) == 0 && Describes(entry, status);
}

bool CDocumentCache::MatchesPath(const CCacheEntry* entry)
{
    struct stat status {};
    return ::stat(entry->FilePath.c_str(), &status) == 0 && Describes(entry, status);
}

CCacheEntry* CDocumentCache::Lookup(const char* url, int length, int* handle, const char* qualifier, int* error)
{
    int ignored = 0;
    if (!error)
        error = &ignored;
    *handle = -1;
    *error = 0;
    if (!url || length <= 0)
        return nullptr;
    std::string path(url, static_cast<std::size_t>(length));
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path[0] != '/')
        return nullptr;
    // File names are case-sensitive here, so the key keeps its case.
    std::string key = path;
    if (qualifier && *qualifier) {
        key += ':';
        key += qualifier;
    }
    // Read before the lock: the stamp has a lock of its own and may read the
    // registry, which must not hold up every other request of the server.
    CLastModStamp& stamp = GlobalLastModStamp();
    const std::uint64_t changeTick = stamp.GetChangeTick();

    // The common hit shares the table: it takes the entry's descriptor under
    // the entry's lock and checks it against the entry outside; only when
    // that fails is the URL looked up again, holding the table alone.
    CCacheEntry* hit = nullptr;
    int pooled = -1;
    // A URL the table has no entry for (every 404) is loaded without ever
    // holding the table alone.
    CHTTPServerConfig* absentFrom = nullptr;
    std::uint64_t absentTick = 0;
    if (CShareLock::Share share(m_lock, CShareLock::kWait); share) {
        if (m_server && m_loadTick >= changeTick) {
            auto found = m_table.find(key);
            if (found == m_table.end()) {
                absentFrom = m_server;
                absentTick = m_loadTick;
            } else {
                CCacheEntry* entry = found->second;
                std::lock_guard use(entry->m_useLock);
                if (CanCheckUnlocked(entry)) {
                    hit = entry;
                    pooled = hit->m_handle;
                    ++hit->m_referenceCount;
                    hit->m_lastUse.store(m_useClock.fetch_add(1, std::memory_order_relaxed) + 1,
                                         std::memory_order_relaxed);
                }
            }
        }
    }
    if (absentFrom)
        return LoadEntry(path, key, absentFrom, absentTick, handle, error);
    if (hit) {
        if (MatchesFile(hit, pooled)) {
            *handle = pooled;
            return hit;
        }
        *error = 0;
        CShareLock::Exclusive hold(m_lock);
        CHeapSwitch heap(nullptr);
        --hit->m_referenceCount;
        if (hit->m_inTable)
            Discard(hit);
        else if (hit->m_referenceCount <= 0 && hit->Has(CCacheEntry::Discard)) {
            m_orphans.erase(hit);
            delete hit;
        }
    }
    return LookupLocked(path, key, changeTick, handle, error);
}

bool CDocumentCache::CanCheckUnlocked(const CCacheEntry* entry) const
{
    if (!entry->IsLoadedFile() || entry->m_handle < 0)
        return false;
    if (entry->Has(CCacheEntry::TempCopy) && entry->TempCopyName.empty())
        return false;
    bool wantsView = m_mapAll || entry->Has(CCacheEntry::MacroDocument) || entry->Has(CCacheEntry::MapFile);
    return !wantsView || entry->m_hasView;
}

CCacheEntry* CDocumentCache::LookupLocked(const std::string& path, const std::string& key, std::uint64_t changeTick,
                                          int* handle, int* error)
{
    CHTTPServerConfig* server = nullptr;
    std::uint64_t loadTick = 0;
    {
        CShareLock::Exclusive hold(m_lock);
        CHeapSwitch heap(nullptr);
        if (!m_server)
            return nullptr;
        if (m_loadTick < changeTick) {
            std::uint64_t tick = GlobalLastModStamp().LoadTick();
            Flush(true);
            m_loadTick = tick;
        }
        auto found = m_table.find(key);
        if (found != m_table.end()) {
            CCacheEntry* entry = found->second;
            entry->m_lastUse.store(m_useClock.fetch_add(1, std::memory_order_relaxed) + 1,
                                   std::memory_order_relaxed);
            if (!entry->IsLoadedFile() || Reopen(entry, handle, error)) {
                ++entry->m_referenceCount;
                return entry;
            }
            // The file is no longer what the entry says: load it afresh.
            Discard(entry);
        }
        server = m_server;
        loadTick = m_loadTick;
    }
    return LoadEntry(path, key, server, loadTick, handle, error);
}

CCacheEntry* CDocumentCache::LoadEntry(const std::string& path, const std::string& key, CHTTPServerConfig* server,
                                       std::uint64_t loadTick, int* handle, int* error)
{
    // Loaded with the table free: a load reads the disk and the
    // configuration, and a flood of misses (404s) held every hit of the
    // server up behind it.
    CHeapSwitch heap(nullptr);
    auto entry = std::make_unique<CCacheEntry>();
    entry->m_referenceCount = 1;
    *handle = entry->Load(*server, path, m_temporaryCopies, m_mapAll, error);
    entry->Key = key;
    // Not found, or overtaken (another request loaded the URL, or the
    // configuration changed meanwhile): the entry serves this request only.
    auto keepPrivate = [&] {
        entry->Flags |= CCacheEntry::Discard;
        entry->m_private = true;
        return entry.release();
    };
    if (entry->Has(CCacheEntry::NotFound))
        return keepPrivate();
    CShareLock::Exclusive hold(m_lock);
    if (m_server != server || m_loadTick != loadTick || m_table.count(key) != 0)
        return keepPrivate();
    Insert(entry.get());
    return entry.release();
}

void CDocumentCache::Release(CCacheEntry* entry, int handle)
{
    if (!entry) {
        CloseHandle(handle);
        return;
    }
    if (entry->m_private) {
        entry->PutHandle(handle);
        CHeapSwitch heap(nullptr);
        delete entry;
        return;
    }
    if (CShareLock::Share share(m_lock, CShareLock::kWait); share) {
        // Shared unless the entry's resources go now or the entry itself.
        bool done = false;
        {
            CHeapSwitch heap(nullptr);
            std::lock_guard use(entry->m_useLock);
            if (entry->m_referenceCount > 1 || (m_flushInterval != 0 && !entry->Has(CCacheEntry::Discard))) {
                entry->PutHandle(handle);
                if (--entry->m_referenceCount == 0)
                    entry->m_expiryTick = platform::MonotonicMs() + m_flushInterval;
                done = true;
            }
        }
        if (done)
            return;
    }
    CShareLock::Exclusive hold(m_lock);
    CHeapSwitch heap(nullptr);
    entry->PutHandle(handle);
    if (--entry->m_referenceCount > 0)
        return;
    if (m_flushInterval == 0)
        entry->ReleaseResources();
    if (entry->Has(CCacheEntry::Discard)) {
        m_orphans.erase(entry);
        delete entry;
        return;
    }
    entry->m_expiryTick = platform::MonotonicMs() + m_flushInterval;
}

void CDocumentCache::Flush(bool all)
{
    std::vector<CCacheEntry*> stale;
    for (CCacheEntry* entry : m_recency) {
        if (all || !entry->IsLoadedFile() || !MatchesPath(entry))
            stale.push_back(entry);
    }
    for (CCacheEntry* entry : stale)
        Discard(entry);
    WatchDirectories();
}

void CDocumentCache::WatchDirectories()
{
    if (!m_server || !m_watcherOpen)
        return;
    std::vector<std::string> roots{m_server->GetHTTPSettings()->rootDir};
    CVirtualPathMap* paths = &m_server->GetPaths();
    for (int depth = 0; paths && depth < kMaxMapChainDepth; ++depth) {
        for (const auto& [name, path] : paths->GetEntries())
            roots.push_back(path.Location);
        CVirtualPathMap* parent = paths->GetParent();
        if (!parent && paths != &GlobalVirtualPaths())
            parent = &GlobalVirtualPaths();
        paths = parent;
    }
    for (std::string& root : roots)
        if (root.empty())
            root = "/";
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    // The watches follow new directories themselves; only a new set of
    // roots needs them rebuilt.
    if (roots == m_watchedRoots)
        return;
    m_watcher.WatchTrees(roots);
    m_watchedRoots = std::move(roots);
}

void CDocumentCache::ChangeThread()
{
    for (;;) {
        // Changes come in bursts (an editor saves, a tool copies a tree):
        // wait out the interval so one flush takes them all.
        if (m_flushInterval != 0 && m_watcher.WaitForStop(m_flushInterval))
            return;
        platform::DirectoryWatcher::WaitResult result = m_watcher.Wait(platform::kInfinite);
        if (result == platform::DirectoryWatcher::kStopped)
            return;
        if (result != platform::DirectoryWatcher::kChanged) {
            // Nothing can be watched: still never spin.
            if (m_watcher.WaitForStop(kRetryAfterFailureMs))
                return;
            continue;
        }
        CShareLock::Exclusive hold(m_lock);
        CHeapSwitch heap(nullptr);
        if (m_server)
            Flush(false);
    }
}

void CDocumentCache::ExpiryThread()
{
    while (!m_expiryStop->Wait(m_flushInterval)) {
        CShareLock::Exclusive hold(m_lock);
        CHeapSwitch heap(nullptr);
        std::uint64_t now = platform::MonotonicMs();
        for (CCacheEntry* entry : m_recency) {
            if (entry->m_referenceCount == 0 && entry->m_expiryTick <= now) {
                entry->ReleaseResources();
                entry->m_expiryTick = UINT64_MAX;
            }
        }
    }
}
