#pragma once
// CCacheFill: one reply on its way from the origin to the client and into a
// new cache file at once. Each piece reaches the client as it arrives, so a
// slow origin never starves the client while the copy is stored; a reply
// that grows beyond what the cache may hold stops being stored and its file
// is deleted at once, while the client still gets all of it.
//
// The client's share depends on the request: the whole reply for a GET; the
// header block alone (as the cache path answers a HEAD) for a HEAD; and for
// a revalidation nothing until the first line shows its status: only a new
// document or one that is gone is the reply, and any other answer leaves
// the stored copy to be served instead.

#include <cstdint>
#include <string>
#include <string_view>

class WSocket;
struct CProxyRequest;

class CCacheFill {
public:
    // file is open for writing at path (the fill neither closes it nor
    // owns it); limit is the most the file may hold.
    CCacheFill(WSocket& client, CProxyRequest& request, int file, std::string path, std::uint64_t limit, bool head,
               bool revalidation);
    CCacheFill(const CCacheFill&) = delete;
    CCacheFill& operator=(const CCacheFill&) = delete;

    // Stores the bytes and sends the client its share (buffered or not);
    // a failure of the client is thrown as WSocketException.
    void Put(std::string_view bytes, bool buffered);
    // After the last byte: the share still owed to the client (a HEAD's
    // header block that never ended), then the client's output flushed.
    void Finish();

    WSocket& Client() { return m_client; }
    // True while every byte so far is in the file.
    bool IsStoring() const { return m_storing; }
    // The client was given (or is being given) the origin's reply, so the
    // caller answers nothing more.
    bool Answered() const { return m_copy == Copy::Whole || m_copy == Copy::Header || m_copy == Copy::Done; }
    // False once nobody needs further bytes: the file gave up and the
    // client has its share.
    bool WantsMore() const { return m_storing || m_copy == Copy::Whole || m_copy == Copy::Header ||
                                    m_copy == Copy::Undecided; }

private:
    enum class Copy { Undecided, Whole, Header, Done, None };

    void Store(std::string_view bytes);
    // The client's share of the bytes; atEnd: no more will come.
    void Pass(std::string_view bytes, bool buffered, bool atEnd);
    void SendToClient(std::string_view bytes, bool buffered);
    // Header mode: sends the block once its blank line is in.
    void SendHeaderWhenComplete(bool atEnd);

    WSocket& m_client;
    CProxyRequest& m_request;
    int m_file;
    std::string m_path;
    std::uint64_t m_limit;
    std::uint64_t m_stored = 0;
    bool m_storing = true;
    bool m_head;
    Copy m_copy;
    // The first bytes of the reply: its first line while undecided, its
    // header block for a HEAD.
    std::string m_start;
};

// A revalidation answered with this status gives the client the answer and
// drops the stored copy: 200, 404 and 410.
bool RevalidationReplaces(int status);

// The header block of a stored reply: its status line and header lines,
// each with CR LF, when it begins with "HTTP/"; else empty. The blank line
// is not included; headerBytes is where the body starts (-1: no blank line).
std::string StoredHeaderBlock(std::string_view block, std::int64_t* headerBytes);
