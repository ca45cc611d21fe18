// Frame I/O shared by the tools: a 4-byte body length in host byte order,
// then the body, over blocking stream sockets waited on with poll.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace google {
namespace protobuf {
class Message;
}
}

// Largest body either link of the daemon accepts.
constexpr uint32_t max_frame_body = 64u * 1024u * 1024u;

using io_clock = std::chrono::steady_clock;

// A fault of the peer's framing or of a message it sent.
class protocol_error_t : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bytes received on a stream, cut into whole frames however they arrived.
class frame_buffer_t {
public:
    enum class status_t { frame, incomplete, bad_length };

    void append(const char* data, size_t size);
    // Moves the next whole body into `body` (frame). A length of 0 or above
    // max_frame_body leaves the buffer as it is and stores the length in
    // `bad` (bad_length): the stream cannot be cut any further.
    status_t next(std::string& body, uint32_t& bad);
    size_t pending() const { return bytes.size() - start; }

private:
    std::string bytes;
    size_t start = 0;
};

std::string make_frame(const std::string& body);
// The message as it is: required fields are not checked.
std::string make_frame(const google::protobuf::Message& message);

// The checking parse of one body (every required field present).
bool parse_body(google::protobuf::Message& message, const std::string& body);
// Why a body failed parse_body: "message of N bytes does not parse" and,
// for a well-formed one, ": missing required fields: ..." with their names.
std::string parse_failure_text(const google::protobuf::Message& prototype, const std::string& body);

enum class read_result_t { data, timeout, closed };

// Waits until the descriptor is readable or the deadline passes and reads
// what is there into `buffer`. End of stream and a reset connection are
// `closed`; any other failure throws std::runtime_error.
read_result_t read_available(int fd, frame_buffer_t& buffer, io_clock::time_point deadline);

// Writes every byte. While the socket is full, whatever the peer sends is read
// into `incoming` (until it is seen closed, which sets `incoming_closed`) so
// that two blocking writers cannot stall each other. Returns false when the
// peer has gone (EPIPE, ECONNRESET); throws std::runtime_error on a timeout or
// any other failure.
bool write_all(int fd, const std::string& bytes, frame_buffer_t& incoming, bool& incoming_closed,
               io_clock::time_point deadline);

// Milliseconds until the deadline, for poll: 0 once it has passed.
int poll_timeout(io_clock::time_point deadline);

// "what: strerror(errno)"
std::string errno_text(const std::string& what, int error);
