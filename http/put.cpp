#include "http/put.h"

#include "framework/error_reply.h"
#include "framework/wsocket.h"
#include "http/dispatch.h"
#include "http/document_cache.h"
#include "http/form.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "platform/files.h"

#include <algorithm>
#include <vector>

namespace {

// The body is copied to the file through a buffer of this size.
constexpr int kPutCopyBufferSize = 65536;

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
    platform::ReplacementFile temp;
    if (entry == nullptr || !entry->IsLoadedFile() || !temp.Create(entry->FilePath)) {
        // The body stays unread.
        request.KeepAlive.clear();
        reply(409, "%http-cantput%");
        return 0;
    }

    // A body that would make the document a macro document runs with the
    // server's rights on the next GET, so it needs EXEC as well as PUT.
    const bool execChecked = entry->Has(CCacheEntry::MacroDocument) || request.ExecAllowed != 0 ||
                             !CCacheEntry::CanBecomeMacroDocument(entry->MimeType);
    std::string head;
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
        if (!execChecked && head.size() < CCacheEntry::kMacroMarkerSpan) {
            head.append(buffer.data(), std::min<std::size_t>(static_cast<std::size_t>(got),
                                                             CCacheEntry::kMacroMarkerSpan - head.size()));
            if ((head.size() == CCacheEntry::kMacroMarkerSpan || count == 0) && CCacheEntry::HasExpandMarker(head)) {
                // The rest of the body is not read: the connection ends.
                request.KeepAlive.clear();
                SendAuthRequired(socket, request);
            }
        }
        // After a failed write the rest is still read, so the connection
        // stays in step.
        if (written)
            written = temp.Write(buffer.data(), static_cast<std::size_t>(got));
    }
    if (!written || !temp.Commit()) {
        reply(409, "%http-cantput%");
        return 0;
    }
    // The next request must see the new document, not the cached old one.
    GetDocumentCache().DiscardFile(entry->FilePath);
    reply(201, "%http-created%");
    return 1;
}
