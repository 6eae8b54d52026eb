#include "proxy/http_proxy.h"

#include "framework/http_date.h"
#include "framework/system_time.h"
#include "framework/wsocket.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/net.h"
#include "proxy/cache_policy.h"
#include "proxy/cache_fill.h"
#include "proxy/proxy_cache.h"

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// MaxFileAge counts days, as the cache page labels it; a unit of 1440
// seconds would drop a copy kept "7 days" after less than three hours.
constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kSecondsPerMinute = 60;
// A stored reply's header block is read up to this size.
constexpr std::size_t kMaxStoredHeader = 64 * 1024;

// The header block of a stored reply (StoredHeaderBlock) read from the
// file's start.
std::string ReadStoredHeader(int file, std::int64_t* headerBytes)
{
    std::string block(kMaxStoredHeader, '\0');
    long got = platform::ReadFileAt(file, block.data(), block.size(), 0);
    block.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return StoredHeaderBlock(block, headerBytes);
}

// Seconds since 1970 of an HTTP date; nullopt for text that is no date.
std::optional<std::int64_t> HeaderTime(const std::string& headers, std::string_view name)
{
    std::string value;
    GetHeaderValue(value, name, headers, 0);
    if (value.empty())
        return std::nullopt;
    return SystemTimeToUnixSeconds(ParseHTTPDate(value));
}

std::int64_t FileSize(int file)
{
    struct stat info {};
    return ::fstat(file, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

// The stored reply's header block of a cache file; empty when it cannot be read.
std::string StoredHeaderOf(const std::string& path)
{
    int file = platform::OpenFile(path.c_str(), O_RDONLY);
    if (file < 0)
        return {};
    std::int64_t headerBytes = -1;
    std::string headers = ReadStoredHeader(file, &headerBytes);
    platform::CloseHandle(file);
    return headers;
}

// The seconds since the stored reply was made or last confirmed by the
// origin: the Age it arrived with, and the time since its file was written
// (a 304 touches the file).
std::int64_t CurrentAge(int file, const std::string& headers, std::int64_t now)
{
    std::int64_t age = 0;
    std::string value;
    GetHeaderValue(value, "age", headers, 0);
    for (char c : value) {
        if (c < '0' || c > '9')
            break;
        age = age > 999999999 ? age : age * 10 + (c - '0');
    }
    struct stat info {};
    if (::fstat(file, &info) == 0)
        age += std::max<std::int64_t>(0, now - static_cast<std::int64_t>(info.st_mtime));
    return age;
}

// The header block with its Age lines replaced by one of age seconds.
std::string WithAge(const std::string& headers, std::int64_t age)
{
    std::string out;
    std::size_t at = 0;
    while (at < headers.size()) {
        std::size_t end = headers.find('\n', at);
        end = end == std::string::npos ? headers.size() : end + 1;
        std::string_view line(headers.data() + at, end - at);
        std::size_t colon = line.find(':');
        if (at == 0 || colon == std::string_view::npos || !platform::EqualsIgnoringCase(line.substr(0, colon), "age"))
            out.append(line);
        at = end;
    }
    return out + "Age: " + std::to_string(age) + "\r\n";
}

bool FileExists(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// What a request holds of the cache: given back on every way out.
class CCacheHold {
public:
    explicit CCacheHold(CProxyCache& cache) : m_cache(cache) {}
    ~CCacheHold()
    {
        CloseFile();
        m_cache.Release(entry);
    }
    CCacheHold(const CCacheHold&) = delete;
    CCacheHold& operator=(const CCacheHold&) = delete;
    void CloseFile()
    {
        if (file >= 0)
            platform::CloseHandle(file);
        file = -1;
    }

    CProxyCacheEntry* entry = nullptr;
    int file = -1;

private:
    CProxyCache& m_cache;
};

} // namespace

int CHTTPProxy::CacheResponse(WSocket& client, CProxyRequest& request, CProxyCacheEntry*& entry, bool& answered,
                              const CUrlParts& url, std::int64_t since)
{
    entry = nullptr;
    answered = false;
    std::string path;
    if (!m_cache->PathForURL(path, url))
        return -1;
    int handle = platform::OpenFile(path.c_str(), O_RDWR | O_TRUNC);
    if (handle < 0) {
        ::unlink(path.c_str());
        return -1;
    }
    // Every way that does not index the file deletes it.
    auto discard = [&] {
        platform::CloseHandle(handle);
        ::unlink(path.c_str());
    };
    int status;
    // The client gets the reply as it arrives, and the file a copy of it.
    CCacheFill fill(client, request, handle, path, m_cache->GetMaxSize(), request.method == "HEAD", since != 0);
    try {
        unsigned flags = since != 0 ? (kDropAuthorization | kDropRange | kSendAnyAccept | kSendSince)
                                    : (kDropAuthorization | kDropRange | kSendAnyAccept | kDropSince);
        // The client gets what the fill fetched, so a request with
        // credentials fetches with them: without, the origin answers 401.
        // Its reply is still shared only when it says public.
        if (CarriesCredentials(request.headerText.View()))
            flags &= ~kDropAuthorization;
        request.fill = &fill;
        status = SchemeRequest("GET", client, request, url, flags, since);
        request.fill = nullptr;
        fill.Finish();
    } catch (...) {
        request.fill = nullptr;
        discard();
        throw;
    }
    answered = fill.Answered();
    if (status != 200 || !fill.IsStoring()) {
        discard();
        return status;
    }

    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::int64_t headerBytes = -1;
    std::string headers = ReadStoredHeader(handle, &headerBytes);
    std::string value;
    bool keep = headerBytes > 0;
    // A body whose end the file cannot show is never kept: an encoded
    // (chunked) body, or fewer bytes than the length promised.
    GetHeaderValue(value, "transfer-encoding", headers, 0);
    keep = keep && value.empty();
    GetHeaderValue(value, "content-length", headers, 0);
    if (keep && !value.empty()) {
        char* end = nullptr;
        long long length = std::strtoll(value.c_str(), &end, 10);
        keep = end && *end == '\0' && length >= 0 && FileSize(handle) - headerBytes == length;
    }
    // A reply meant for one client, or one that varies with the request, is
    // relayed but never stored.
    keep = keep && MayStoreReply(request.headerText.View(), headers);
    std::shared_ptr<const CProxySettings> p = GetProxySettings();
    std::int64_t expires = now + static_cast<std::int64_t>(p->maxFileAge) * kSecondsPerDay;
    GetHeaderValue(value, "expires", headers, 0);
    if (!value.empty()) {
        // A date that cannot be read counts as already past.
        expires = HeaderTime(headers, "expires").value_or(0);
    }
    // A copy that must be revalidated is kept only while it is fresh: one
    // past its lifetime goes at its next lookup, and the origin is asked.
    if (std::optional<std::int64_t> lifetime = FreshLifetime(headers, now))
        expires = std::min(expires, now + *lifetime);
    std::int64_t lastModified =
        HeaderTime(headers, "last-modified").value_or(HeaderTime(headers, "date").value_or(now));
    if (!keep || now >= expires) {
        discard();
        return status;
    }
    entry = m_cache->Insert(url, path, expires, lastModified,
                            now + static_cast<std::int64_t>(p->syncInterval) * kSecondsPerMinute);
    platform::CloseHandle(handle);
    return status;
}

int CHTTPProxy::ServeFromCache(WSocket& client, CProxyRequest& request, const CUrlParts& url)
{
    auto relay = [&]() {
        int status = SchemeRequest(request.method, client, request, url, kRelayFlag, 0);
        if (status == -1)
            ThrowPage(request, 405, "%http-badcommand%");
        return status;
    };
    // A request with a body is no plain fetch of the document: it goes to
    // the origin with its body.
    if (!m_cache->IsRunning() || request.noCache || request.url.find('?') != std::string::npos ||
        request.framing.HasBody() || GetNoCacheList().Contains(url.Format()))
        return relay();

    CCacheHold hold(*m_cache);
    std::shared_ptr<const CProxySettings> p = GetProxySettings();
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    int status = 200;
    hold.entry = m_cache->Lookup(url);
    // A stored copy is fit for a request without credentials.
    if (hold.entry && CarriesCredentials(request.headerText.View()) &&
        !MayAnswerFromCopy(request.headerText.View(), StoredHeaderOf(hold.entry->path))) {
        // Filled for another client: this one's request goes to the origin.
        m_cache->Release(hold.entry);
        hold.entry = nullptr;
        return relay();
    }
    auto openEntry = [&] {
        hold.file = platform::OpenFile(hold.entry->path.c_str(), O_RDONLY);
    };
    bool answered = false;
    if (hold.entry == nullptr) {
        status = CacheResponse(client, request, hold.entry, answered, url, 0);
        // The fill gave the client its reply, stored or not.
        if (answered)
            return status;
    } else if (p->syncInterval > 0 && hold.entry->checkTime < now) {
        CProxyCacheEntry* fresh = nullptr;
        int answer = CacheResponse(client, request, fresh, answered, url, hold.entry->lastModified);
        if (answered) {
            // A new copy replaces the old; one that could not be kept leaves
            // no stale copy behind either.
            if (fresh == nullptr)
                m_cache->Remove(hold.entry);
            m_cache->Release(hold.entry);
            hold.entry = fresh;
            return answer;
        } else {
            openEntry();
            // The origin confirmed the copy: its age starts again.
            if (hold.file >= 0 && answer == 304)
                ::futimens(hold.file, nullptr);
            m_cache->SetCheckTime(hold.entry, now + static_cast<std::int64_t>(p->syncInterval) * kSecondsPerMinute);
        }
    } else {
        openEntry();
    }

    if (hold.file < 0) {
        if (hold.entry && !FileExists(hold.entry->path))
            m_cache->Remove(hold.entry);
        return relay();
    }
    std::int64_t size = FileSize(hold.file);
    if (size <= 0) {
        if (hold.entry)
            m_cache->Remove(hold.entry);
        ThrowPage(request, 504, "%http-noreply%");
    }
    // A stored reply goes out with its Age; a file without a header block
    // goes as it is.
    std::int64_t headerBytes = -1;
    std::string headers = ReadStoredHeader(hold.file, &headerBytes);
    if (headerBytes > 0)
        headers = WithAge(headers, CurrentAge(hold.file, headers, now));
    headers += "\r\n";
    if (request.method == "GET") {
        std::int64_t sent = 0;
        if (headerBytes > 0) {
            if (client.SendText(headers, true) < 0)
                throw WSocketException(&client, platform::LastSocketError());
            request.bytes += headers.size();
            sent = client.SendFile(hold.file, size - headerBytes, nullptr, headerBytes);
        } else {
            sent = client.SendFile(hold.file, size, nullptr, 0);
        }
        if (sent > 0)
            request.bytes += static_cast<std::uint64_t>(sent);
        return 200;
    }
    client.SendText(headers, false);
    request.bytes += headers.size();
    static_cast<void>(status);
    return 200;
}
