#include "frame_io.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>

void frame_buffer_t::append(const char* data, size_t size)
{
    if (start > 0 && start >= bytes.size() / 2) {
        bytes.erase(0, start);
        start = 0;
    }
    bytes.append(data, size);
}

frame_buffer_t::status_t frame_buffer_t::next(std::string& body, uint32_t& bad)
{
    if (pending() < 4)
        return status_t::incomplete;
    uint32_t length = 0;
    std::memcpy(&length, bytes.data() + start, 4);
    if (length == 0 || length > max_frame_body) {
        bad = length;
        return status_t::bad_length;
    }
    if (pending() - 4 < length)
        return status_t::incomplete;
    body.assign(bytes, start + 4, length);
    start += 4 + size_t(length);
    if (start == bytes.size()) {
        bytes.clear();
        start = 0;
    }
    return status_t::frame;
}

std::string make_frame(const std::string& body)
{
    const uint32_t length = uint32_t(body.size());
    std::string frame(4, '\0');
    std::memcpy(&frame[0], &length, 4);
    frame += body;
    return frame;
}

std::string make_frame(const google::protobuf::Message& message)
{
    std::string body;
    message.SerializePartialToString(&body);
    return make_frame(body);
}

bool parse_body(google::protobuf::Message& message, const std::string& body)
{
    google::protobuf::io::ArrayInputStream input(body.data(), int(body.size()));
    return message.ParseFromZeroCopyStream(&input);
}

std::string parse_failure_text(const google::protobuf::Message& prototype, const std::string& body)
{
    std::string text = "message of " + std::to_string(body.size()) + " bytes does not parse";
    std::unique_ptr<google::protobuf::Message> partial(prototype.New());
    if (partial->ParsePartialFromString(body) && !partial->IsInitialized())
        text += ": missing required fields: " + partial->InitializationErrorString();
    return text;
}

int poll_timeout(io_clock::time_point deadline)
{
    const auto now = io_clock::now();
    if (now >= deadline)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return left > 1000000 ? 1000000 : int(left);
}

std::string errno_text(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

namespace {

// Reads once from a descriptor known to be readable (or about to fail).
read_result_t read_once(int fd, frame_buffer_t& buffer)
{
    char chunk[256 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            buffer.append(chunk, size_t(n));
            return read_result_t::data;
        }
        if (n == 0)
            return read_result_t::closed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return read_result_t::timeout;
        if (errno == ECONNRESET)
            return read_result_t::closed;
        throw std::runtime_error(errno_text("read", errno));
    }
}

}

read_result_t read_available(int fd, frame_buffer_t& buffer, io_clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, poll_timeout(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                if (io_clock::now() >= deadline)
                    return read_result_t::timeout;
                continue;
            }
            throw std::runtime_error(errno_text("poll", errno));
        }
        if (ready == 0)
            return read_result_t::timeout;
        if (p.revents & POLLNVAL)
            throw std::runtime_error("poll: descriptor not open");
        const read_result_t result = read_once(fd, buffer);
        if (result != read_result_t::timeout || io_clock::now() >= deadline)
            return result;
    }
}

bool write_all(int fd, const std::string& bytes, frame_buffer_t& incoming, bool& incoming_closed,
               io_clock::time_point deadline)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET))
            return false;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw std::runtime_error(errno_text("send", errno));
        // The socket is full: wait for room, reading what the peer sends meanwhile.
        if (io_clock::now() >= deadline)
            throw std::runtime_error("send: timed out");
        pollfd p{fd, short(POLLOUT | (incoming_closed ? 0 : POLLIN)), 0};
        const int ready = ::poll(&p, 1, poll_timeout(deadline));
        if (ready < 0 && errno != EINTR)
            throw std::runtime_error(errno_text("poll", errno));
        if (ready > 0 && (p.revents & POLLIN) && !incoming_closed
            && read_once(fd, incoming) == read_result_t::closed)
            incoming_closed = true;
    }
    return true;
}
