#include "support/daemon_exchange.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

lp::ServerMessage ask_daemon(const daemon_fixture_t& daemon, trawl_client_t& client, uint32_t& serial,
                             lp::ClientMessage request, std::chrono::milliseconds timeout)
{
    request.set_serial(++serial);
    const auto responses = client.exchange({request}, timeout);
    const auto found = responses.find(serial);
    if (found == responses.end()) {
        ADD_FAILURE() << "no answer to " << request.ShortDebugString() << "\n" << daemon.pilotd.stderr_text();
        return lp::ServerMessage();
    }
    return found->second;
}

std::vector<std::string> lookup_values(const lp::ServerMessage& response, const std::string& tag)
{
    EXPECT_FALSE(response.has_error()) << tag << ": " << response.ShortDebugString();
    return data_of(response);
}

bool check_result(const lp::ServerMessage& response, const std::string& tag, const std::string& value)
{
    EXPECT_FALSE(response.has_error()) << tag << " \"" << value << "\": " << response.ShortDebugString();
    EXPECT_TRUE(response.has_result()) << tag << " \"" << value << "\"";
    return response.result();
}

std::string daemon_log_since(const daemon_fixture_t& daemon, size_t mark)
{
    const std::string text = daemon.pilotd.stderr_text();
    return mark < text.size() ? text.substr(mark) : std::string();
}

int raw_connect(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("connect " + path + ": " + reason);
    }
    return fd;
}

bool write_bytes(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string frame_of(const lp::ClientMessage& request)
{
    const std::string body = request.SerializeAsString();
    const uint32_t length = static_cast<uint32_t>(body.size());
    return std::string(reinterpret_cast<const char*>(&length), 4) + body;
}

namespace {

// Reads exactly n bytes; false at the end of the stream or on an error.
bool read_exactly(int fd, char* data, size_t n)
{
    size_t have = 0;
    while (have < n) {
        const ssize_t got = ::read(fd, data + have, n - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        have += static_cast<size_t>(got);
    }
    return true;
}

} // namespace

bool read_frame_body(int fd, std::string& body)
{
    // One frame at a time: nothing of the next one is read.
    uint32_t length = 0;
    if (!read_exactly(fd, reinterpret_cast<char*>(&length), sizeof length) || length == 0 || length > (64u << 20))
        return false;
    body.assign(length, '\0');
    return read_exactly(fd, &body[0], length);
}
