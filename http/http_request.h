#pragma once
// CHTTPRequest: the record of the requests of one connection. It lives on
// the stack of CHTTPServer::ServerRequest for the whole connection and is
// reset between kept-alive requests, keeping its buffers. Every request
// handler and request macro reads its fields by these names.
//
// The request line is split in place: URLPath, QueryText, Query, Protocol
// and Method point into RequestLine (or into URLCopy after ProcessURL).

#include "framework/request_framing.h"
#include "framework/text_buffer.h"
#include "macro/macro_context.h"

#include <cstdint>
#include <string>

class CCacheEntry;

// RequestFlags bits.
inline constexpr int kRequestMacrosRegistered = 1;
inline constexpr int kFormMacrosRegistered = 2;

// Expires: 0 sends an Expires line with the current time, 1 sends none;
// any other value is the time in seconds since 1970.
inline constexpr std::int64_t kExpiresNow = 0;
inline constexpr std::int64_t kExpiresNever = 1;

struct CHTTPRequest {
    static constexpr int kRequestLineCapacity = 512;
    static constexpr int kRequestLineGrowStep = 8192;
    static constexpr int kHeaderTextCapacity = 4096;
    static constexpr int kHeaderTextGrowStep = 4096;

    CHTTPRequest();
    CHTTPRequest(const CHTTPRequest&) = delete;
    CHTTPRequest& operator=(const CHTTPRequest&) = delete;

    std::string Authorization;
    std::string UserName;
    std::string Password;
    std::string AuthUser;
    std::string AuthScheme;
    CTextBuffer RequestLine;
    CTextBuffer HeaderText;
    char ClientAddress[16] = {};
    const char* ClientHost = ClientAddress;
    std::string ClientName;
    char* URLPath;
    int URLPathLength = 0;
    char* QueryText;
    char* Query = nullptr; // null: no '?' at all
    char* Protocol;
    char* Method;
    CCacheEntry* Document = nullptr;
    int FileHandle = -1;
    CTextBuffer AcceptList;
    std::string IfModifiedSince;
    std::string UserAgent;
    std::string Referer;
    std::string Range;
    std::string KeepAlive;
    // The Content-Length lines, and whether a later one disagreed.
    CBodyFraming BodyFraming;
    std::string Body;
    int ExecAllowed = 0;
    std::int64_t BytesSent = 0;
    int Status = 0;
    CMacroContext Scope;
    int RequestFlags = 0;
    std::int64_t Expires = kExpiresNow;
    std::string ContentType;
    // The URL that ProcessURL serves; the split fields point into it, so it
    // lives as long as the request does.
    std::string URLCopy;
    // The server's form body limit in bytes; 0: the process-wide one.
    std::int64_t MaxFormBytes = 0;
    // Body bytes a handler took from the connection (a PUT, a form); the
    // keep-alive loop skips the rest of the Content-length before the next
    // request, so a body is never read as a request.
    std::int64_t BodyBytesRead = 0;
    // How deep ProcessURL calls are nested now.
    int URLDepth = 0;
};
