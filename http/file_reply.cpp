#include "http/file_reply.h"

#include "framework/error_reply.h"
#include "framework/http_date.h"
#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "framework/wsocket.h"
#include "http/access_log.h"
#include "http/document_cache.h"
#include "http/form.h"
#include "http/http_exception.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/http_text.h"
#include "http/request_macros.h"
#include "macro/macro.h"

#include <algorithm>

// fstat: the platform layer has no file status call of its own.
#include <sys/stat.h>

namespace {

bool TypePartMatches(std::string_view pattern, std::string_view part)
{
    return pattern == "*" || EqualsIgnoringCase(pattern, part);
}

enum class RangeSpec {
    Invalid,       // not a range spec: skipped
    Unsatisfiable, // starts at or past the end of the file
    Valid,
};

// One spec of a range set.
RangeSpec ParseRangeSpec(std::string_view spec, std::int64_t size, CByteRange* range)
{
    spec = TrimBlanks(spec);
    std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos)
        return RangeSpec::Invalid;
    std::string_view firstText = TrimBlanks(spec.substr(0, dash));
    std::string_view lastText = TrimBlanks(spec.substr(dash + 1));
    std::int64_t first = 0;
    std::int64_t last = size - 1;
    bool haveFirst = !firstText.empty();
    bool haveLast = !lastText.empty();
    if (!haveFirst && !haveLast)
        return RangeSpec::Invalid;
    if ((haveFirst && !ParseDecimal(firstText, &first)) || (haveLast && !ParseDecimal(lastText, &last)))
        return RangeSpec::Invalid;
    // A last before the first names no bytes at all. Served as the whole
    // file under 206, it would pass for the range asked for, and a client
    // would write the file where it wanted the bytes it named.
    if (haveFirst && haveLast && last < first)
        return RangeSpec::Invalid;
    // Cutting such a first back to the last byte would answer a resume of a
    // complete download with bytes it did not ask for.
    if (haveFirst && first >= size)
        return RangeSpec::Unsatisfiable;
    // The last no bytes: nothing of the file can be sent for it.
    if (!haveFirst && last == 0)
        return RangeSpec::Unsatisfiable;
    if (!haveFirst) {
        // The last count bytes; a count beyond the file means all of it.
        first = last >= size ? 0 : size - last;
        last = size - 1;
    }
    first = std::min(first, size - 1);
    last = std::min(last, size - 1);
    *range = {first, last};
    return RangeSpec::Valid;
}

void SendHeaderLine(WSocket& socket, std::string_view name, std::string_view value)
{
    std::string line(name);
    line += value;
    socket.SendTextLine(line);
}

std::string CurrentDateText()
{
    std::string date;
    FormatRFC1123DateString(date, CurrentSystemTime());
    return date;
}

// The page of a named string, expanded in the request's scope with the
// request macros registered.
std::string ExpandPage(CHTTPServer& server, WSocket& socket, CHTTPRequest& request, std::string_view reference)
{
    RegisterRequestMacros(server, socket, request);
    CTextBuffer page(kErrorPageCapacity);
    request.Scope.Expand(&page, reference);
    return page.ToString();
}

// The http-kaverror page for a failed expansion, thrown as a server error.
// Sent with 200, the error page would pass for the document itself: caches
// and proxies would keep it and clients would take the failure for success.
[[noreturn]] void ThrowKAVError(CHTTPServer& server, WSocket& socket, CHTTPRequest& request,
                                const std::string& type, const std::string& number, const std::string& message)
{
    InitRequestMacros(server, request);
    if (!request.Scope.IsReadOnly()) {
        request.Scope.Register("type", std::make_unique<CValueMacro>(type));
        request.Scope.Register("number", std::make_unique<CValueMacro>(number));
        request.Scope.Register("message", std::make_unique<CValueMacro>(message));
    }
    throw CHTTPException(500, ExpandPage(server, socket, request, "%http-kaverror%"));
}

void SendExpiryLines(WSocket& socket, std::int64_t expires, const std::string& dateText)
{
    if (expires == kExpiresNever)
        return;
    if (expires == kExpiresNow) {
        SendHeaderLine(socket, "Expires: ", dateText);
    } else {
        // A time outside the dates we can write gets no Expires line.
        std::string date;
        SystemTime time = SystemTimeFromUnixSeconds(expires);
        if (SystemTimeToUnixSeconds(time) == expires) {
            FormatRFC1123DateString(date, time);
            SendHeaderLine(socket, "Expires: ", date);
        }
    }
    socket.SendTextLine("Pragma: no-cache");
}

// Every range of the request lies past the end of the file: nothing is sent
// but the size, so a client resuming a complete download knows it is done.
// Answered with the whole file and 200 instead, the client would append the
// file to its complete copy.
void SendUnsatisfiableRange(WSocket& socket, CHTTPRequest& request, std::int64_t size)
{
    socket.SendTextLine("HTTP/1.0 416 Requested range not satisfiable");
    SendHeaderLine(socket, "Server: ", ProductToken());
    SendHeaderLine(socket, "Content-range: bytes */", std::to_string(size));
    SendHeaderLine(socket, "Date: ", CurrentDateText());
    socket.SendTextLine("Content-length: 0");
    if (!request.KeepAlive.empty())
        socket.SendTextLine("Connection: Keep-alive");
    socket.SendTextLine("");
    request.Status = 416;
    request.BytesSent = 0;
}

} // namespace

std::vector<CByteRange> ParseByteRanges(std::string_view set, std::int64_t size, bool* unsatisfiable)
{
    std::vector<CByteRange> ranges;
    bool outside = false;
    if (unsatisfiable)
        *unsatisfiable = false;
    if (size <= 0)
        return ranges;
    std::size_t specs = 0;
    std::size_t at = 0;
    while (at <= set.size()) {
        std::size_t end = set.find(',', at);
        if (end == std::string_view::npos)
            end = set.size();
        std::string_view spec = set.substr(at, end - at);
        at = end + 1;
        if (TrimBlanks(spec).empty())
            continue;
        if (++specs > kMaxByteRanges)
            return {};
        CByteRange range;
        RangeSpec kind = ParseRangeSpec(spec, size, &range);
        if (kind == RangeSpec::Valid)
            ranges.push_back(range);
        outside = outside || kind == RangeSpec::Unsatisfiable;
    }
    if (unsatisfiable)
        *unsatisfiable = outside && ranges.empty();
    // Overlapping and touching ranges become one, so no set of ranges can
    // make a reply much larger than the file.
    std::sort(ranges.begin(), ranges.end(),
              [](const CByteRange& a, const CByteRange& b) { return a.first < b.first; });
    std::size_t kept = 0;
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first <= ranges[kept].last + 1)
            ranges[kept].last = std::max(ranges[kept].last, ranges[i].last);
        else
            ranges[++kept] = ranges[i];
    }
    if (!ranges.empty())
        ranges.resize(kept + 1);
    return ranges;
}

bool IsAcceptableType(std::string_view type, std::string_view acceptList)
{
    if (EqualsIgnoringCase(type, "text/html") || EqualsIgnoringCase(type, "text/plain"))
        return true;
    std::size_t slash = type.find('/');
    std::string_view major = type.substr(0, slash);
    std::string_view minor = slash == std::string_view::npos ? std::string_view() : type.substr(slash + 1);
    std::size_t at = 0;
    while (at < acceptList.size()) {
        std::size_t end = acceptList.find(',', at);
        if (end == std::string_view::npos)
            end = acceptList.size();
        std::string_view entry = acceptList.substr(at, end - at);
        if (entry.empty())
            break;
        std::size_t entrySlash = entry.find('/');
        std::string_view entryMajor = entry.substr(0, entrySlash);
        std::string_view entryMinor =
            entrySlash == std::string_view::npos ? std::string_view() : entry.substr(entrySlash + 1);
        if (TypePartMatches(entryMajor, major) && TypePartMatches(entryMinor, minor))
            return true;
        at = end + 1;
    }
    return false;
}

bool IsModifiedSince(std::int64_t lastWriteSeconds, std::string_view dateText)
{
    std::optional<std::int64_t> since = SystemTimeToUnixSeconds(ParseHTTPDate(dateText));
    return !since || lastWriteSeconds > *since;
}

bool IsModifiedSince(int handle, std::string_view dateText)
{
    struct stat status {};
    if (handle < 0 || ::fstat(handle, &status) != 0)
        return true;
    return IsModifiedSince(static_cast<std::int64_t>(status.st_mtim.tv_sec), dateText);
}

void ParseAccept(std::string& out, std::string_view headerText)
{
    out = "text/plain,text/html";
    std::size_t at = 0;
    while (at < headerText.size()) {
        std::size_t end = headerText.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = headerText.size();
        std::string_view line = headerText.substr(at, end - at);
        if (line.empty())
            break;
        // Past this line's end: CR LF counts as one line end.
        at = end + 1;
        if (end < headerText.size() && headerText[end] == '\r' && at < headerText.size() && headerText[at] == '\n')
            ++at;
        std::string name;
        std::string value;
        SplitHeaderLine(name, value, line);
        if (!EqualsIgnoringCase(name, "Accept"))
            continue;
        std::size_t item = 0;
        while (item < value.size()) {
            std::size_t itemEnd = value.find_first_of(", ", item);
            if (itemEnd == std::string::npos)
                itemEnd = value.size();
            std::string_view text = std::string_view(value).substr(item, itemEnd - item);
            item = itemEnd + 1;
            while (!text.empty() && text.front() == ';')
                text.remove_prefix(1);
            text = text.substr(0, text.find(';'));
            if (text.empty())
                continue;
            out += ',';
            out += text;
        }
    }
}

int CHTTPServer::SendFile(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody)
{
    CCacheEntry* entry = request.Document;
    if (!entry || !entry->IsLoadedFile() || (request.FileHandle < 0 && !entry->GetView()))
        throw CHTTPException(500, ExpandPage(*this, socket, request, "%http-servererror%"));
    if (GetHTTPSettings()->checkAccept && !IsAcceptableType(entry->MimeType, request.AcceptList.View()))
        throw CHTTPException(400, ExpandPage(*this, socket, request, "%http-badtype%"));

    const bool macro = entry->Has(CCacheEntry::MacroDocument);
    const std::int64_t size = entry->GetSize();
    CTextBuffer output(0, static_cast<int>(std::max<std::int64_t>(2 * size, kMacroOutputMinGrowStep)));
    if (macro) {
        try {
            RegisterRequestMacros(*this, socket, request);
            RegisterFormMacros(socket, request);
            CPageClientScope client(socket);
            request.Scope.Expand(&output, entry->GetView(), static_cast<int>(size));
        } catch (const CRedirectionException& redirect) {
            SendRedirect(socket, request, redirect.url, sendHeaders, sendBody);
            request.Status = 302;
            return 1;
        } catch (const CMacroException& failure) {
            ThrowKAVError(*this, socket, request, failure.type, std::to_string(static_cast<int>(failure.number)),
                          failure.message);
        } catch (const CHTTPException&) {
            throw;
        } catch (const WSocketException&) {
            throw;
        } catch (const std::exception&) {
            ThrowKAVError(*this, socket, request, "(Unknown)", "0", "Unknown exception");
        }
        if (GetStats().IsMapped())
            GetStats().Add(server_stat_offset::kKAVHits, 1);
    }

    std::vector<CByteRange> ranges;
    bool unsatisfiable = false;
    if (!macro && !request.Range.empty())
        ranges = ParseByteRanges(request.Range, size, &unsatisfiable);

    // A simple request gets the body alone; the log still shows what it got.
    request.Status = 200;
    if (sendHeaders) {
        bool modified = macro || request.IfModifiedSince.empty() ||
                        (request.FileHandle >= 0 ? IsModifiedSince(request.FileHandle, request.IfModifiedSince)
                                                 : IsModifiedSince(entry->GetLastWriteSeconds(), request.IfModifiedSince));
        if (!modified) {
            socket.SendTextLine("HTTP/1.0 304 Not modified");
            request.Status = 304;
            sendBody = false;
            ranges.clear();
        } else if (unsatisfiable) {
            SendUnsatisfiableRange(socket, request, size);
            return 1;
        } else if (!ranges.empty()) {
            socket.SendTextLine("HTTP/1.0 206 Partial content");
            request.Status = 206;
        } else {
            socket.SendTextLine("HTTP/1.0 200 OK");
            request.Status = 200;
        }
        const std::string date = CurrentDateText();
        if (!ranges.empty()) {
            SendHeaderLine(socket, "Server: ", ProductToken());
            socket.SendTextLine("Accept: GET HEAD");
            socket.SendTextLine("Accept-Ranges: bytes");
            if (!entry->LastModified.empty())
                SendHeaderLine(socket, "Last-modified: ", entry->LastModified);
            if (ranges.size() == 1) {
                // One range goes as plain bytes, as resuming clients expect:
                // a multipart body would be written into their file, boundary
                // lines and all.
                if (!entry->MimeType.empty())
                    SendHeaderLine(socket, "Content-type: ", entry->MimeType);
                SendHeaderLine(socket, "Content-range: bytes ",
                               std::to_string(ranges[0].first) + "-" + std::to_string(ranges[0].last) + "/" +
                                   std::to_string(size));
                SendHeaderLine(socket, "Content-length: ", std::to_string(ranges[0].last - ranges[0].first + 1));
            } else {
                SendHeaderLine(socket, "Content-type: multipart/x-byteranges; boundary=",
                               std::string("\"") + kByteRangesBoundary + "\"");
            }
            // The reply's end is the connection's end.
            request.KeepAlive.clear();
        } else {
            socket.SendText(entry->Header.View());
        }
        SendHeaderLine(socket, "Date: ", date);
        if (macro) {
            SendHeaderLine(socket, "Content-length: ", std::to_string(output.GetLength()));
            request.BytesSent = sendBody ? output.GetLength() : 0;
            SendHeaderLine(socket, "Content-type: ", request.ContentType.empty() ? entry->MimeType : request.ContentType);
            SendExpiryLines(socket, request.Expires, date);
        } else {
            request.BytesSent = sendBody ? size : 0;
        }
        if (!request.KeepAlive.empty())
            socket.SendTextLine("Connection: Keep-alive");
        socket.SendTextLine("");
    }

    if (!sendBody)
        return 1;
    const bool keep = !request.KeepAlive.empty();
    if (macro) {
        socket.Send(output.GetData(), output.GetLength());
        request.BytesSent = output.GetLength();
    } else if (ranges.size() == 1) {
        std::int64_t count = ranges[0].last - ranges[0].first + 1;
        socket.SendFile(request.FileHandle, count, entry->GetView(), ranges[0].first, keep);
        request.BytesSent = count;
    } else if (!ranges.empty()) {
        request.BytesSent = 0;
        const std::string separator = std::string("--") + kByteRangesBoundary;
        for (const CByteRange& range : ranges) {
            socket.SendTextLine(separator);
            SendHeaderLine(socket, "Content-type: ", entry->MimeType);
            SendHeaderLine(socket, "Content-range: bytes ",
                           std::to_string(range.first) + "-" + std::to_string(range.last) + "/" + std::to_string(size));
            socket.SendTextLine("");
            std::int64_t count = range.last - range.first + 1;
            socket.SendFile(request.FileHandle, count, entry->GetView(), range.first, keep);
            socket.SendTextLine("");
            request.BytesSent += count;
        }
        socket.SendTextLine(separator + "--");
    } else {
        socket.SendFile(request.FileHandle, size, entry->GetView(), 0, keep);
        request.BytesSent = size;
    }
    return 1;
}
