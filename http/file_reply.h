#pragma once
// The file replies: what CHTTPServer::SendFile (file_reply.cpp) sends for a
// document the cache opened: a plain file with 200, 206 (one range as plain
// bytes with a Content-range line, several as multipart/x-byteranges), 304
// (not modified since) or 416 (every range past the end), or a macro document expanded in the request's scope.
// Also the small routines of content negotiation and conditional requests.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The boundary of a multipart/x-byteranges reply.
inline constexpr const char* kByteRangesBoundary = "vcDVjJoKkjHTtF";
// A Range header with more specs than this is ignored (the whole file is
// sent once): many small or overlapping ranges would let a short request
// make us send the file many times over.
inline constexpr std::size_t kMaxByteRanges = 64;
// A macro document's output buffer grows by at least this much.
inline constexpr int kMacroOutputMinGrowStep = 65536;
// The pages thrown from a reply (http-badtype, http-kaverror) are expanded
// into a buffer of this capacity.
inline constexpr int kErrorPageCapacity = 512;

// One satisfiable range of a file: bytes first..last, both included.
struct CByteRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
    bool operator==(const CByteRange&) const = default;
};

// Reads the range set that followed "bytes=" for a file of size bytes:
// "first-last", "first-" (to the end), "-count" (the last count bytes). A
// last past the end is cut to the last byte; an over-long suffix starts at
// byte 0; a spec whose first byte lies at or past the end, or a suffix of
// no bytes ("-0"), cannot be served and is dropped. Specs that are empty,
// hold anything but digits, '-' and blanks, or name a last below their
// first are skipped. Empty when nothing applies: an empty file, no valid
// spec, or more than kMaxByteRanges specs. *unsatisfiable (when given) is
// set when specs were dropped as unservable and none other applies (a 416
// reply).
std::vector<CByteRange> ParseByteRanges(std::string_view set, std::int64_t size, bool* unsatisfiable = nullptr);

// "text/html" and "text/plain" always; otherwise when an entry of the
// ','-separated accept list matches major and minor part ("*" matches any,
// case-insensitive). An empty entry ends the list.
bool IsAcceptableType(std::string_view type, std::string_view acceptList);

// True when the file's last write lies after the HTTP date, compared in
// whole seconds (dates carry no fractions, so a file written within the
// named second is not modified since). A file whose time cannot be read, or
// a date that cannot be read, counts as modified.
bool IsModifiedSince(int handle, std::string_view dateText);
// The same on a last-write time already known (seconds since 1970).
bool IsModifiedSince(std::int64_t lastWriteSeconds, std::string_view dateText);

// out = "text/plain,text/html" followed by ',' and the media type of every
// item of every Accept header in the header text (for CGI and ISAPI).
void ParseAccept(std::string& out, std::string_view headerText);
