#include "http/put.h"

#include "framework/error_reply.h"
#include "framework/wsocket.h"
#include "http/dispatch.h"
#include "http/document_cache.h"
#include "http/form.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The body is copied to the file through a buffer of this size.
constexpr int kPutCopyBufferSize = 65536;

// The temporary file beside the document; removed unless it was renamed
// over the document, so no path of a failed upload leaves it behind.
class CTempFile {
public:
    ~CTempFile()
    {
        if (m_handle >= 0)
            ::close(m_handle);
        if (!m_name.empty())
            ::unlink(m_name.c_str());
    }
    bool Create(const std::string& document)
    {
        std::size_t slash = document.rfind('/');
        std::string folder = slash == std::string::npos ? std::string(".") : document.substr(0, slash);
        std::string pattern = folder + "/" + std::string(kPutTempPrefix) + "XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int handle = ::mkostemp(name.data(), O_CLOEXEC);
        if (handle < 0)
            return false;
        m_handle = handle;
        m_name = name.data();
        // The new document keeps the old one's permissions.
        struct stat info {};
        if (::stat(document.c_str(), &info) == 0)
            ::fchmod(m_handle, info.st_mode & 07777);
        return true;
    }
    bool Write(const char* bytes, std::size_t n)
    {
        while (n > 0) {
            ssize_t written = ::write(m_handle, bytes, n);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            bytes += written;
            n -= static_cast<std::size_t>(written);
        }
        return true;
    }
    // Flushes to disk and renames over the document.
    bool Commit(const std::string& document)
    {
        if (::fsync(m_handle) != 0)
            return false;
        int handle = m_handle;
        m_handle = -1;
        if (::close(handle) != 0)
            return false;
        if (::rename(m_name.c_str(), document.c_str()) != 0)
            return false;
        m_name.clear();
        return true;
    }

private:
    int m_handle = -1;
    std::string m_name;
};

} // namespace

BodyLength GetContentLength(std::string_view headerText, std::int64_t& length)
{
    length = 0;
    const std::string value = FindHeaderValue(headerText, "content-length");
    std::string_view number = TrimBlanks(value);
    if (number.empty())
        return BodyLength::Missing;
    return ParseDecimal(number, &length) ? BodyLength::Valid : BodyLength::Invalid;
}

int CHTTPServer::HandlePut(WSocket& socket, CHTTPRequest& request)
{
    auto reply = [&](int status, const char* page) {
        std::string body = ExpandRequestPage(*this, socket, request, page);
        request.Status = status;
        SendErrorReply(socket, status, body, nullptr, true, true);
    };

    std::int64_t count = 0;
    BodyLength length = GetContentLength(request.HeaderText.View(), count);
    std::uint32_t configured = GetHTTPSettings()->maxPutSize;
    std::int64_t limit = configured ? static_cast<std::int64_t>(configured) : m_maxPutBytes;
    if (length != BodyLength::Valid || count > limit) {
        // The body's end is unknown or it is not going to be read: the
        // connection cannot carry another request.
        request.KeepAlive.clear();
        if (length == BodyLength::Missing)
            reply(411, "%http-cantput%");
        else if (length == BodyLength::Invalid)
            reply(400, "%http-cantput%");
        else
            reply(413, "%http-cantput%");
        return 0;
    }

    const CCacheEntry* entry = request.Document;
    CTempFile temp;
    if (entry == nullptr || !entry->IsLoadedFile() || !temp.Create(entry->FilePath)) {
        // The body stays unread.
        request.KeepAlive.clear();
        reply(409, "%http-cantput%");
        return 0;
    }

    std::vector<char> buffer(kPutCopyBufferSize);
    bool written = true;
    while (count > 0) {
        int want = static_cast<int>(std::min<std::int64_t>(count, kPutCopyBufferSize));
        // Socket errors and time-outs are thrown to the request loop; the
        // temporary file goes with this frame.
        int got = socket.Read(buffer.data(), want);
        if (got <= 0) {
            // The client stopped before the whole body: the document stays.
            request.KeepAlive.clear();
            reply(409, "%http-cantput%");
            return 0;
        }
        count -= got;
        request.BodyBytesRead += got;
        // After a failed write the rest is still read, so the connection
        // stays in step.
        if (written)
            written = temp.Write(buffer.data(), static_cast<std::size_t>(got));
    }
    if (!written || !temp.Commit(entry->FilePath)) {
        reply(409, "%http-cantput%");
        return 0;
    }
    reply(201, "%http-created%");
    return 1;
}
