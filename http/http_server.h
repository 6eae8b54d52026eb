#pragma once
// CHTTPServer: one configured HTTP server. It is a CConfiguredServer (the
// server base answered from the registry configuration) whose configuration
// part is a CHTTPServerConfig, and it owns one document cache.
//
// For every accepted connection the base calls ServerRequest, the HTTP/1.0
// request loop: it reads the request line and the headers into a
// CHTTPRequest, hands the record to ProcessRequest (dispatch.cpp), logs the
// hit, and reads the next request while the connection is kept alive. Every
// failure inside a request is thrown and caught once, at the top of the loop,
// where the error reply is sent with its status and the hit is logged.
//
// The routines of one request live in several files:
//   http_server.cpp    construction, Start/Stop, the request loop, ProcessURL
//   dispatch.cpp       ProcessRequest, authentication, access checks
//   url_mapping.cpp    MapURLToPath, MakeAbsoluteURL, SendRedirect, GetMimeType
//   put.cpp            HandlePut
//   file_reply.cpp     SendFile
//   access_log.cpp     RunLogMacro, WriteAccessLog

#include "config/http_server_config.h"
#include "framework/event_lock.h"
#include "macro/configured_server.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class CCacheEntry;
class CDocumentCache;
class CMacroContext;
class WSocket;
struct CHTTPRequest;

// The request line may hold a long query, but nothing a browser or a form
// sends comes near 8 KiB; a longer line is answered 414 and the connection ends.
inline constexpr std::size_t kMaxRequestLineBytes = 8 * 1024;
// How often one request may be served again under another URL (a map
// answering a local URL, an extension's ProcessURL) before it is refused.
inline constexpr int kMaxURLDepth = 8;
// One header line and all of them together: a longer line or block is
// answered 400 and the connection ends, so a peer cannot make us hold more.
inline constexpr std::size_t kMaxHeaderLineBytes = 8 * 1024;
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// A header name is copied into a buffer of this size (NUL included); a
// longer name is cut and then matches none of the recognised names.
inline constexpr std::size_t kHeaderNameCapacity = 48;
// A body that no handler read is skipped before the next kept-alive request;
// one larger than this costs more than a new connection, so it ends the
// connection instead.
inline constexpr std::int64_t kMaxSkippedBodyBytes = 1024 * 1024;
// What a PUT may store unless the server is given another limit: far above
// any document, low enough that a client cannot fill the disk in one go.
inline constexpr std::int64_t kDefaultMaxPutBytes = 256LL * 1024 * 1024;

// Event ids of the HTTP server's reports.
inline constexpr std::uint32_t kEventHTTPServerStarted = 0x40004004;
inline constexpr std::uint32_t kEventHTTPServerStopped = 0x40004005;
inline constexpr std::uint32_t kEventSocketWarning = 0x80004000;
inline constexpr std::uint32_t kEventUnexpectedException = 0xC0004003;

// The strings scope shared by all HTTP servers (its parent is the global
// scope): engine start sets it, and every HTTP server's own scope chains to
// it when the server starts. Null until set.
void SetHTTPStringsScope(CMacroContext* scope);
CMacroContext* GetHTTPStringsScope();

// "METHOD URL PROTOCOL" cut in place in RequestLine: the blanks after the
// method and the URL become NULs, the method is upper-cased ('a'..'z'), the
// URL is split at its first '?' and Protocol is the rest of the line.
void SplitRequestLine(CHTTPRequest& request);
// One header line (without its line end): the recognised names fill their
// fields; Accept and Connection count only on the first request.
void ParseHeaderLine(CHTTPRequest& request, std::string_view line, bool firstRequest, const CHTTPSettings& http);

class CHTTPServer : public CConfiguredServer, public CHTTPServerConfig {
public:
    // Copies config (service part, HTTP values and lists) into the server.
    explicit CHTTPServer(const CHTTPServerConfig& config);
    ~CHTTPServer() override;
    CHTTPServer(const CHTTPServer&) = delete;
    CHTTPServer& operator=(const CHTTPServer&) = delete;

    // The base's Start, then the list fallbacks, the document cache, the
    // server macros and the init macro. Returns the base's result.
    int Start(unsigned index) override;
    // 0 when nothing of the server ran; else stops it, empties the cache
    // and returns 1.
    int Stop() override;
    std::uint32_t GetServerType() const override { return 1; }
    // The configuration's Load; a reload (a change seen while running) also
    // checks the root folder again.
    void Load(int keepStrings, int reload) override;
    // The keep-alive request loop of one connection.
    void ServerRequest(WSocket* socket) override;

    // Serves the request again under url (clickable maps, ISAPI): the held
    // document goes back, the request's macros are dropped, and the URL is
    // split as a request line's URL is. The copy stays in the request.
    // A URL that leads back here more than kMaxURLDepth times is answered 500.
    void ProcessURL(std::string_view url, WSocket& socket, CHTTPRequest& request);
    // Authenticates, looks the URL up, checks the access lists and routes
    // the request. Every refusal is a thrown CHTTPException.
    void ProcessRequest(WSocket& socket, CHTTPRequest& request);
    // Throws the 401 reply with its WWW-Authenticate line.
    [[noreturn]] void SendAuthRequired(WSocket& socket, CHTTPRequest& request);
    // Returns when every directory from the root down to the document may be
    // traversed; otherwise throws the 401 reply.
    void CheckTraverse(WSocket& socket, CHTTPRequest& request);
    // A program's own access list (beside the file at path) must grant the
    // method and must not refuse EXEC; otherwise 401.
    void CheckProgramAccess(WSocket& socket, CHTTPRequest& request, const std::string& path);

    // out = the MIME type of the path's extension, else the "*" type, else "".
    void GetMimeType(std::string& out, std::string_view path);
    // The file path a URL names (virtual path or RootDir); empty when the
    // URL does not normalise (see NormalizeURLPath).
    void MapURLToPath(std::string& out, std::string_view url);
    // "http://host[:port]" or "https://host[:port]" followed by path.
    void MakeAbsoluteURL(WSocket& socket, std::string_view path, std::string& out);
    // The 302 reply; the connection ends after it.
    void SendRedirect(WSocket& socket, CHTTPRequest& request, const std::string& url, bool sendHeaders,
                      bool sendBody);
    // Stores the request body over the document. 1 after 201, 0 otherwise.
    int HandlePut(WSocket& socket, CHTTPRequest& request);
    // Bodies above this are answered 413 (kDefaultMaxPutBytes until set).
    void SetMaxPutBytes(std::int64_t bytes) { m_maxPutBytes = bytes; }
    std::int64_t GetMaxPutBytes() const { return m_maxPutBytes; }

    // Defined beside the file replies and the log.
    void RunLogMacro(WSocket& socket, CHTTPRequest& request);
    void WriteAccessLog(CHTTPRequest& request);
    int SendFile(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody);

    // Programs and maps (cgi_script.cpp, clickable_map.cpp).
    int CGIScript(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody);
    int ClickableMap(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody);
    int ISAPIScript(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody);
    // wincgi_script.cpp: the program runs to its end, then its output file is sent.
    int WinCGIScript(WSocket& socket, CHTTPRequest& request, bool sendHeaders, bool sendBody);

    CDocumentCache& GetDocumentCache() { return *m_cache; }

protected:
    // Runs inside the base's Start before the listeners accept, so the first
    // connection finds the cache, the list fallbacks and the server macros.
    void PrepareStart() override;

private:
    // One request: read, dispatch, log. Returns false when the connection
    // is to end.
    bool ServeOneRequest(WSocket& socket, CHTTPRequest& request, int served);
    // Reads and drops a body no handler read, or ends the keep-alive.
    void SkipUnreadBody(WSocket& socket, CHTTPRequest& request);
    void ResetForNextRequest(WSocket& socket, CHTTPRequest& request);
    // A RootDir that is no folder makes every URL a 404 with no other word,
    // so it is logged, once for each value it takes (at start and on
    // reloads).
    void CheckRootDir(bool afresh);

    std::unique_ptr<CDocumentCache> m_cache;
    std::mutex m_rootDirCheckLock;
    std::optional<std::string> m_checkedRootDir;
    std::int64_t m_maxPutBytes = kDefaultMaxPutBytes;
    // WinCGI programs of this server are started one at a time.
    CEventLock m_winCGIMutex;
};

// Holds a request's document for the document cache: whatever ends the
// request loop, a held entry and its handle go back to the cache.
class CDocumentRef {
public:
    CDocumentRef(CDocumentCache& cache, CCacheEntry** document, int* fileHandle)
        : m_cache(&cache), m_document(document), m_fileHandle(fileHandle)
    {
    }
    ~CDocumentRef() { Release(); }
    CDocumentRef(const CDocumentRef&) = delete;
    CDocumentRef& operator=(const CDocumentRef&) = delete;

    // Hands a held entry back and clears the request's two fields.
    void Release();

private:
    CDocumentCache* m_cache;
    CCacheEntry** m_document;
    int* m_fileHandle;
};
