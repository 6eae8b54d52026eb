#include "http/form.h"

#include "framework/text_buffer.h"
#include "framework/text_util.h"
#include "framework/wsocket.h"
#include "http/header_macros.h"
#include "http/http_request.h"
#include "http/http_text.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/clock.h"
#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<std::int64_t> g_maxFormBodyBytes{kDefaultMaxFormBodyBytes};

constexpr const char* kURLEncodedType = "application/x-www-form-urlencoded";
constexpr const char* kMultipartType = "multipart/form-data";

// The connection is read in pieces of this size, never past the body.
constexpr int kBodyReadPiece = 16 * 1024;

constexpr const char* kTooLargePage =
    "<HTML><HEAD><TITLE>413 Request Too Large</TITLE></HEAD><BODY><H1>413 Request Too Large</H1>"
    "The form sent is larger than this server accepts.</BODY></HTML>";

std::string OccurrenceKey(std::string_view folded, std::string_view occurrence)
{
    std::string key(folded);
    key += '"';
    key.append(occurrence);
    return key;
}

// A body over the limit is refused before a byte of it is read; the
// connection then ends, so its unread bytes are never taken for a request.
void CheckBodySize(std::int64_t length, std::int64_t serverLimit)
{
    if (length > (serverLimit > 0 ? serverLimit : GetMaxFormBodyBytes()))
        throw CHTTPException(413, kTooLargePage);
}

// Reads the body's lines from the connection without ever taking a byte
// past its Content-length: what follows belongs to the next request.
class CBodyLineReader {
public:
    CBodyLineReader(WSocket& socket, std::int64_t length) : m_socket(socket), m_length(length), m_remaining(length) {}

    // The next line with its line end (the last may have none); false at
    // the end of the body.
    bool ReadLine(std::string& line)
    {
        line.clear();
        for (;;) {
            const std::size_t lineFeed = m_pending.find('\n', m_start);
            if (lineFeed != std::string::npos) {
                line.assign(m_pending, m_start, lineFeed + 1 - m_start);
                m_start = lineFeed + 1;
                return true;
            }
            if (!Refill()) {
                line.assign(m_pending, m_start);
                m_pending.clear();
                m_start = 0;
                return !line.empty();
            }
        }
    }
    bool AtEnd() const { return m_ended && m_start >= m_pending.size(); }
    std::int64_t GetBytesRead() const { return m_length - m_remaining; }
    // Reads and drops what is left of the body.
    void Drain()
    {
        m_pending.clear();
        m_start = 0;
        while (Refill())
            m_pending.clear();
    }

private:
    bool Refill()
    {
        if (m_remaining <= 0) {
            m_ended = true;
            return false;
        }
        if (m_start > 0) {
            m_pending.erase(0, m_start);
            m_start = 0;
        }
        char piece[kBodyReadPiece];
        const int want = static_cast<int>(std::min<std::int64_t>(m_remaining, kBodyReadPiece));
        const int got = m_socket.Read(piece, want);
        if (got <= 0) {
            m_remaining = 0;
            m_ended = true;
            return false;
        }
        m_remaining -= got;
        m_pending.append(piece, static_cast<std::size_t>(got));
        return true;
    }

    WSocket& m_socket;
    std::int64_t m_length;
    std::int64_t m_remaining;
    std::string m_pending;
    std::size_t m_start = 0;
    bool m_ended = false;
};

// One token of a Content-Disposition value: name[=value], the value quoted
// or running to the next blank or ';'.
struct DispositionToken {
    std::string name;
    std::string value;
    bool hasValue = false;
};

std::vector<DispositionToken> SplitDisposition(std::string_view text)
{
    std::vector<DispositionToken> tokens;
    std::size_t at = 0;
    auto isSeparator = [](char c) { return c == ' ' || c == '\t' || c == ';'; };
    while (at < text.size()) {
        while (at < text.size() && isSeparator(text[at]))
            ++at;
        if (at >= text.size())
            break;
        DispositionToken token;
        const std::size_t start = at;
        while (at < text.size() && !isSeparator(text[at]) && text[at] != '=')
            ++at;
        token.name = LowerCaseString(text.substr(start, at - start));
        if (at < text.size() && text[at] == '=') {
            token.hasValue = true;
            ++at;
            if (at < text.size() && text[at] == '"') {
                const std::size_t close = text.find('"', ++at);
                const std::size_t end = close == std::string_view::npos ? text.size() : close;
                token.value.assign(text.substr(at, end - at));
                at = end == text.size() ? end : end + 1;
            } else {
                const std::size_t valueStart = at;
                while (at < text.size() && !isSeparator(text[at]))
                    ++at;
                token.value.assign(text.substr(valueStart, at - valueStart));
            }
        } else if (at < text.size() && !isSeparator(text[at])) {
            ++at;
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::string_view StripLineEnd(std::string_view line)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// 1 for a delimiter line, 2 for the closing one, 0 otherwise. The closing
// delimiter may also end the body without a line end.
int DelimiterKind(std::string_view line, std::string_view boundary, bool bodyEnded)
{
    if (boundary.empty() || line.size() < boundary.size() + 2 || line.substr(0, 2) != "--" ||
        line.substr(2, boundary.size()) != boundary)
        return 0;
    std::string_view rest = line.substr(boundary.size() + 2);
    auto endsLine = [](std::string_view tail, bool atEnd) {
        return tail.empty() ? atEnd : tail.front() == '\r' || tail.front() == '\n';
    };
    if (rest.substr(0, 2) == "--" && endsLine(rest.substr(2), bodyEnded))
        return 2;
    return !rest.empty() && (rest.front() == '\r' || rest.front() == '\n') ? 1 : 0;
}

void ReadURLEncodedBody(WSocket& socket, CHTTPRequest& request, std::int64_t length)
{
    request.Body.clear();
    while (static_cast<std::int64_t>(request.Body.size()) < length) {
        char piece[kBodyReadPiece];
        const std::int64_t left = length - static_cast<std::int64_t>(request.Body.size());
        const int got = socket.ReadExact(piece, static_cast<int>(std::min<std::int64_t>(left, kBodyReadPiece)));
        if (got <= 0)
            break;
        request.Body.append(piece, static_cast<std::size_t>(got));
    }
}

} // namespace

void SetMaxFormBodyBytes(std::int64_t limit) { g_maxFormBodyBytes = limit > 0 ? limit : kDefaultMaxFormBodyBytes; }

std::int64_t GetMaxFormBodyBytes() { return g_maxFormBodyBytes.load(); }

void CheckFormBodySize(std::int64_t length, std::int64_t serverLimit) { CheckBodySize(length, serverLimit); }

CContentType ParseContentType(std::string_view value)
{
    CContentType result;
    const std::size_t semicolon = value.find(';');
    std::string_view type = value.substr(0, semicolon);
    const std::size_t first = type.find_first_not_of(" \t");
    const std::size_t last = type.find_last_not_of(" \t");
    result.type = first == std::string_view::npos ? std::string() : std::string(type.substr(first, last - first + 1));
    if (semicolon == std::string_view::npos)
        return result;
    constexpr std::string_view kSeparators = " \t=;";
    std::string_view rest = value.substr(semicolon + 1);
    std::size_t at = rest.find_first_not_of(kSeparators);
    if (at == std::string_view::npos)
        return result;
    std::size_t end = rest.find_first_of(kSeparators, at);
    const std::string_view name = rest.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    if (!EqualsIgnoringCase(name, "boundary") || end == std::string_view::npos)
        return result;
    at = rest.find_first_not_of(kSeparators, end);
    if (at == std::string_view::npos)
        return result;
    if (rest[at] == '"') {
        // A quoted boundary may hold any character but the quote.
        const std::size_t close = rest.find('"', at + 1);
        if (close != std::string_view::npos)
            result.boundary.assign(rest.substr(at + 1, close - at - 1));
        return result;
    }
    end = rest.find_first_of(kSeparators, at);
    result.boundary.assign(rest.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
    return result;
}

std::string FindHeaderValue(std::string_view headers, std::string_view name)
{
    std::string found;
    ForEachHeaderLine(headers, [&](std::string_view lineName, std::string_view value) {
        if (!EqualsIgnoringCase(lineName, name))
            return true;
        found.assign(value);
        return false;
    });
    return found;
}

std::int64_t ParseContentLength(std::string_view value)
{
    std::size_t at = value.find_first_not_of(" \t");
    if (at == std::string_view::npos)
        return 0;
    if (value[at] == '-')
        return 0;
    if (value[at] == '+')
        ++at;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t length = 0;
    for (; at < value.size() && value[at] >= '0' && value[at] <= '9'; ++at) {
        const int digit = value[at] - '0';
        length = length > (kMax - digit) / 10 ? kMax : length * 10 + digit;
    }
    return length;
}

void CFormFields::AddField(CMacroContext* scope, std::string_view name, std::string_view value,
                           std::string_view rawBytes)
{
    const std::string folded = LowerCaseString(name);
    auto joined = values.find(folded);
    if (joined == values.end()) {
        values.emplace(folded, std::string(value));
    } else {
        joined->second += ',';
        joined->second.append(value);
    }
    int& count = counts[folded];
    if (count == 0 && scope && !folded.empty() && !scope->FindMacro(std::string_view(folded)))
        scope->Register(folded, std::make_unique<CFormFieldMacro>(std::string(name), shared_from_this()));
    const std::string key = OccurrenceKey(folded, std::to_string(count));
    values.insert_or_assign(key, std::string(value));
    raw.insert_or_assign(key, std::string(rawBytes));
    ++count;
}

const std::string* CFormFields::Find(std::string_view name, const char* occurrence) const
{
    std::string key = LowerCaseString(name);
    if (occurrence)
        key = LowerCaseString(OccurrenceKey(key, occurrence));
    auto found = values.find(key);
    return found == values.end() ? nullptr : &found->second;
}

void ParseURLEncodedFields(CFormFields& fields, CMacroContext* scope, std::string_view text)
{
    ForEachFormPiece(text, "\r\n", [&](std::string_view name, std::string_view value) {
        fields.AddField(scope, URLDecodeString(name), URLDecodeString(value), value);
    });
}

CForm::CForm(std::string query, const std::string* body)
    : m_query(std::move(query)), m_body(body), m_fields(std::make_shared<CFormFields>())
{
}

void CForm::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (!m_parsed) {
        m_parsed = true;
        ParseURLEncodedFields(*m_fields, scope, m_query);
        if (m_body)
            ParseURLEncodedFields(*m_fields, scope, *m_body);
    }
    if (argc < 1)
        return;
    if (const std::string* value = m_fields->Find(argv[0], argc >= 2 ? argv[1] : nullptr))
        out->Append(*value);
}

CMultipartForm::CMultipartForm(CMacroContext* scope, std::string query, WSocket& socket, std::string_view boundary,
                               std::int64_t contentLength)
    : CForm(std::move(query), nullptr)
{
    MarkParsed();
    ReadParts(scope, socket, boundary, contentLength);
}

void CMultipartForm::ReadParts(CMacroContext* scope, WSocket& socket, std::string_view boundary,
                               std::int64_t contentLength)
{
    CFormFields& fields = *Fields();
    ParseURLEncodedFields(fields, scope, QueryText());
    CBodyLineReader reader(socket, contentLength);
    std::string line;
    std::string data;
    std::string name;
    std::string fileName;
    bool haveName = false;
    bool haveFileName = false;
    bool inPart = false;
    while (reader.ReadLine(line)) {
        const int kind = DelimiterKind(line, boundary, reader.AtEnd());
        if (kind == 0) {
            if (inPart)
                data += line;
            continue;
        }
        if (inPart && haveName) {
            std::string_view content = StripLineEnd(data);
            fields.AddField(scope, name, haveFileName ? std::string_view(fileName) : content, content);
        }
        if (kind == 2)
            break;
        inPart = true;
        data.clear();
        name.clear();
        fileName.clear();
        haveName = haveFileName = false;
        // The part's header lines, up to an empty one.
        std::string headerName;
        std::string headerValue;
        while (reader.ReadLine(line)) {
            const std::string_view text = StripLineEnd(line);
            if (text.empty())
                break;
            SplitHeaderLine(headerName, headerValue, text);
            if (!EqualsIgnoringCase(headerName, "content-disposition"))
                continue;
            const std::vector<DispositionToken> tokens = SplitDisposition(headerValue);
            const bool formData = std::any_of(tokens.begin(), tokens.end(),
                                              [](const DispositionToken& t) { return t.name == "form-data"; });
            if (!formData)
                continue;
            for (const DispositionToken& token : tokens) {
                if (token.name == "name" && token.hasValue) {
                    name = token.value;
                    haveName = true;
                } else if (token.name == "filename" && token.hasValue) {
                    fileName = token.value;
                    haveFileName = true;
                }
            }
        }
    }
    // The epilogue after the closing delimiter is still part of the body.
    reader.Drain();
    m_bytesRead = reader.GetBytesRead();
    scope->Register("form-saveas", std::make_unique<CFormSaveAsMacro>(Fields()));
}

void CFormFieldMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc)
{
    if (const std::string* value = m_fields->Find(m_name, argc >= 1 ? argv[0] : nullptr))
        out->Append(*value);
}

void CEnumFormMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 1 || !scope)
        return;
    std::string name;
    std::string value;
    CMacroContext nested(scope);
    nested.Register("name", std::make_unique<CStringRefMacro>(&name));
    nested.Register("value", std::make_unique<CStringRefMacro>(&value));
    const std::string_view text = argv[0];
    auto expandPiece = [&](std::string_view pieceName, std::string_view pieceValue) {
        URLDecode(name, pieceName);
        URLDecode(value, pieceValue);
        nested.ExpandArgument(out, text);
    };
    ForEachFormPiece(m_query, "", expandPiece);
    if (m_body)
        ForEachFormPiece(*m_body, "", expandPiece);
}

void RegisterFormMacros(WSocket& socket, CHTTPRequest& request)
{
    if (request.RequestFlags & kFormMacrosRegistered)
        return;
    CMacroContext& scope = request.Scope;
    const std::string query = request.QueryText;
    const std::string_view method = request.Method;
    scope.Register("'enumform", std::make_unique<CConstantMacro>("'"));
    if (method == "GET") {
        scope.Register("form", std::make_unique<CForm>(query, nullptr));
        scope.Register("enumform", std::make_unique<CEnumFormMacro>(query, nullptr));
        scope.Register("form-content-encoding", std::make_unique<CConstantMacro>("GET"));
    } else if (method == "POST") {
        const CContentType type = ParseContentType(FindHeaderValue(request.HeaderText.View(), "content-type"));
        const std::int64_t length = ParseContentLength(FindHeaderValue(request.HeaderText.View(), "content-length"));
        if (EqualsIgnoringCase(type.type, kURLEncodedType)) {
            CheckBodySize(length, request.MaxFormBytes);
            ReadURLEncodedBody(socket, request, length);
            request.BodyBytesRead = static_cast<std::int64_t>(request.Body.size());
            scope.Register("form", std::make_unique<CForm>(query, &request.Body));
            scope.Register("enumform", std::make_unique<CEnumFormMacro>(query, &request.Body));
            scope.Register("form-content-encoding", std::make_unique<CConstantMacro>(kURLEncodedType));
            scope.Register("form-saveas", std::make_unique<CConstantMacro>(""));
        } else if (EqualsIgnoringCase(type.type, kMultipartType)) {
            CheckBodySize(length, request.MaxFormBytes);
            auto form = std::make_unique<CMultipartForm>(&scope, query, socket, type.boundary, length);
            request.BodyBytesRead = form->GetBytesRead();
            scope.Register("form", std::move(form));
            scope.Register("enumform", std::make_unique<CEnumFormMacro>(query, nullptr));
            scope.Register("form-content-encoding", std::make_unique<CConstantMacro>(kMultipartType));
        }
    }
    request.RequestFlags |= kFormMacrosRegistered;
}

namespace {

constexpr const char* kSaveAsName = "form-saveas";
// The system error numbers form-saveas reports.
constexpr unsigned kErrorPathNotFound = 3;
constexpr unsigned kErrorAccessDenied = 5;
constexpr unsigned kErrorWriteFault = 29;
constexpr unsigned kErrorSharingViolation = 32;
constexpr unsigned kErrorDiskFull = 112;
// A saved upload is a document like any other: readable by all.
constexpr mode_t kSavedFileMode = 0644;

unsigned SystemError(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return kErrorAccessDenied;
    case ENOSPC:
    case EDQUOT:
        return kErrorDiskFull;
    case EBUSY:
    case ETXTBSY:
        return kErrorSharingViolation;
    default:
        return kErrorWriteFault;
    }
}

enum class SaveResult { saved, busy, createFailed, writeFailed };

// Writes bytes to a new file beside path and renames it over path.
SaveResult SaveFile(const std::string& path, std::string_view bytes, int& error)
{
    const std::size_t slash = path.rfind('/');
    std::string temporary = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    temporary += ".saveas-XXXXXX";
    const int handle = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (handle < 0) {
        error = errno;
        return SystemError(error) == kErrorSharingViolation ? SaveResult::busy : SaveResult::createFailed;
    }
    bool written = platform::WriteAll(handle, bytes) && ::fchmod(handle, kSavedFileMode) == 0 && ::fsync(handle) == 0;
    if (!written)
        error = errno;
    if (::close(handle) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        return SaveResult::writeFailed;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        ::unlink(temporary.c_str());
        return SystemError(error) == kErrorSharingViolation ? SaveResult::busy : SaveResult::createFailed;
    }
    return SaveResult::saved;
}

} // namespace

void CFormSaveAsMacro::Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc)
{
    if (argc < 2 || !argv[0][0] || !argv[1][0])
        return;
    const std::string key = LowerCaseString(OccurrenceKey(argv[1], argc >= 3 ? argv[2] : "0"));
    auto found = m_fields->raw.find(key);
    if (found == m_fields->raw.end())
        return;
    const std::string path = argv[0];
    for (int attempt = 1;; ++attempt) {
        int error = 0;
        switch (SaveFile(path, found->second, error)) {
        case SaveResult::saved:
            return;
        case SaveResult::writeFailed:
            MacroError(out, scope, kSaveAsName, SystemError(error), "Error writing data to file", 1);
            return;
        case SaveResult::createFailed:
            MacroError(out, scope, kSaveAsName, SystemError(error), "Error creating file", 1);
            return;
        case SaveResult::busy:
            if (attempt >= kSaveAsAttempts) {
                MacroError(out, scope, kSaveAsName, SystemError(error), "File busy", 1);
                return;
            }
            platform::SleepMs(kSaveAsRetryMs);
            break;
        }
    }
}
