#pragma once
// The request protocol between a desktop program and `velmora-reg serve` on
// another machine, spoken over the standard streams of a remote shell. Every
// message is a frame: a 4-byte little-endian length, then that many bytes.
// A request is an operation byte and the same five fields for every
// operation; a reply is a result code and the same five fields. Unused
// fields are zero or empty. Both ends decode with the checks below and drop
// the connection at the first frame that fails them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A frame larger than this is refused before its bytes are read: the
// largest value a configuration holds (a certificate, a string table) is far
// smaller, and a peer must not make the other end allocate without bound.
inline constexpr std::size_t kMaxRemoteFrame = 1u << 20;
// Key paths and value names are short; a longer text is a broken peer.
inline constexpr std::size_t kMaxRemoteText = 16u << 10;
// Open handles one session may hold on the serving side: a loader holds a
// few at a time, so more than this is a leak or an attack.
inline constexpr std::size_t kMaxRemoteHandles = 4096;

// Sent first by the client; the server answers with the same text.
inline constexpr std::string_view kRemoteGreeting = "velmora-reg 1";

// The serving side's predefined handles.
inline constexpr std::uint32_t kRemoteLocalMachine = 1;
inline constexpr std::uint32_t kRemoteCurrentUser = 2;
inline constexpr std::uint32_t kRemoteUsers = 3;

enum class RemoteOp : std::uint8_t {
    Hello = 1,       // text: the greeting
    Open,            // handle, text: path -> handle
    Create,          // handle, text: path -> handle, number: disposition
    Close,           // handle
    SetValue,        // handle, text: name, number: type, data
    QueryValue,      // handle, text: name -> number: type, data
    EnumValue,       // handle, number: index -> text: name, other: type, data
    EnumKey,         // handle, number: index -> text: name
    QueryInfo,       // handle -> number: subkeys, other: values
    QueryPath,       // handle -> text: path
    DeleteValue,     // handle, text: name
    DeleteKey,       // handle, text: path
    DeleteTree,      // handle, text: path
    Begin,           // opens the session's one transaction
    Commit,          // commits it
    Rollback,        // rolls it back
    ServiceQuery,    // text: service -> status
    ServiceStart,    // text: service
    ServiceControl,  // text: service, number: control -> status
};
inline constexpr std::uint8_t kRemoteOpLast = static_cast<std::uint8_t>(RemoteOp::ServiceControl);

struct RemoteRequest {
    RemoteOp op = RemoteOp::Hello;
    std::uint32_t handle = 0;
    std::uint32_t number = 0;
    std::string text;
    std::vector<std::uint8_t> data;
};

struct RemoteReply {
    std::uint32_t result = 0;
    std::uint32_t handle = 0;
    std::uint32_t number = 0;
    std::uint32_t other = 0;
    std::string text;
    // A value's bytes, or a service status as eight 4-byte fields.
    std::vector<std::uint8_t> data;
};

// A frame's payload (without the length prefix).
std::string EncodeRemoteRequest(const RemoteRequest& request);
std::string EncodeRemoteReply(const RemoteReply& reply);
// False when the payload is not exactly one well-formed message within the limits.
bool DecodeRemoteRequest(std::string_view payload, RemoteRequest& request);
bool DecodeRemoteReply(std::string_view payload, RemoteReply& reply);

// The length prefix of a frame; false when it announces more than kMaxRemoteFrame.
bool DecodeRemoteFrameLength(const std::uint8_t prefix[4], std::size_t& length);
std::string RemoteFrame(std::string payload);

} // namespace platform

namespace platform {

// How long a reply may take: a service start or stop on the far side waits
// up to 30 s itself, and a remote shell's connection takes a few seconds.
inline constexpr int kRemoteReplyTimeoutMs = 45000;

// Frame I/O on a pipe or socket, blocking or not. timeoutMs < 0 waits as
// long as it takes (the serving side between requests). True when the
// whole frame went or came; false on end of stream, an error, a frame over
// the limit or the time-out.
bool ReadRemoteFrame(int fd, std::string& payload, int timeoutMs);
bool WriteRemoteFrame(int fd, const std::string& payload, int timeoutMs);

} // namespace platform
