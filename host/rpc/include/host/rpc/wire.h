// The frame format of the host's RPC channel, shared by the client and the server. Plain functions
// and constants; no state, callable from any thread.
//
// Every message, in both directions, is a 13-byte header and a msgpack body:
//   frame   := body_len:u32le req_id:u64le req_type:u8 body[body_len]
//   request := [name, arg1, ..., argN]            (req_type 0)
//   reply   := [0] | [0, value] | [1, message]     (req_type 0, req_id of the request)
//   publish := [0, key, data]                      (req_type 1, req_id 0, server to client)
//   subscribe := [key, token]                      (req_type 1, req_id 0, client to server)
// A frame whose body_len is 0 is a heartbeat and gets no reply. A body_len of kMaxBodyLen or more
// is invalid and closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace host::rpc {

inline constexpr std::size_t kHeaderSize = 13;
inline constexpr std::uint32_t kMaxBodyLen = 10u * 1024u * 1024u;

enum class RequestType : std::uint8_t { kRequestResponse = 0, kSubscribePublish = 1 };

enum class ResultCode : std::uint8_t { kOk = 0, kFail = 1 };

struct FrameHeader {
    std::uint32_t bodyLen = 0;
    std::uint64_t reqId = 0;
    std::uint8_t reqType = 0;
};

// The texts that travel in failure replies and in the client's exceptions.
inline constexpr std::string_view kArgsNotMatch = "unpack failed: Args not match!";
inline constexpr std::string_view kUnknownFunction = "unknown function: ";
inline constexpr std::string_view kTimeoutOrDeferred = "timeout or deferred";

void encodeHeader(const FrameHeader& header, char* out);
FrameHeader decodeHeader(const char* in);

// A whole frame (header and body) ready to be written.
std::string encodeFrame(std::uint64_t reqId, RequestType type, std::string_view body);

// Reply bodies.
std::string encodeOkReply();                              // [0]
std::string encodeOkReply(std::string_view packedValue);  // [0, value]
std::string encodeFailReply(std::string_view message);    // [1, message]

}  // namespace host::rpc
