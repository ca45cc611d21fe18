#include "support/daemon_exchange.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_files.h"

daemon_session_t::daemon_session_t(const pilotd_standin_options_t& options)
    : daemon(std::make_unique<daemon_fixture_t>(options))
{
}

void daemon_session_t::TearDown()
{
    if (!started)
        return;
    client.reset();
    daemon->stop();
    const std::string text = log();
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
        EXPECT_EQ(text.find(report), std::string::npos) << text;
}

void daemon_session_t::start_text(const std::string& text)
{
    daemon->start();
    started = true;
    revision = 1;
    ASSERT_TRUE(daemon->apply(revision, text)) << log();
    client = daemon->connect();
}

void daemon_session_t::reconfigure_text(const std::string& text)
{
    ++revision;
    ASSERT_TRUE(daemon->pilotd.send_config(revision, parse_config_text(text))) << log();
    for (;;) {
        const auto info = daemon->pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, daemon_timeout);
        ASSERT_TRUE(info.has_value()) << log();
        if (info->config_revision() == revision)
            break;
    }
}

lp::ServerMessage daemon_session_t::ask(lp::ClientMessage request, std::chrono::milliseconds timeout)
{
    request.set_serial(++serial);
    const auto responses = client->exchange({request}, timeout);
    const auto found = responses.find(serial);
    if (found == responses.end()) {
        ADD_FAILURE() << "no answer to " << request.ShortDebugString() << "\n" << log();
        return lp::ServerMessage();
    }
    return found->second;
}

lp::ServerMessage daemon_session_t::ask_lookup(lp::LookupType type, const std::string& tag, const std::string& user,
                                               const std::string& domain)
{
    return ask(lookup_request(0, type, tag, user, domain));
}

lp::ServerMessage daemon_session_t::ask_check(lp::LookupType type, const std::string& tag, const std::string& value,
                                              const std::string& user, const std::string& domain)
{
    return ask(check_request(0, type, tag, value, user, domain));
}

std::vector<std::string> daemon_session_t::lookup(lp::LookupType type, const std::string& tag,
                                                  const std::string& user, const std::string& domain)
{
    const lp::ServerMessage response = ask_lookup(type, tag, user, domain);
    EXPECT_FALSE(response.has_error()) << tag << ": " << response.ShortDebugString();
    return data_of(response);
}

bool daemon_session_t::check(lp::LookupType type, const std::string& tag, const std::string& value,
                             const std::string& user, const std::string& domain)
{
    const lp::ServerMessage response = ask_check(type, tag, value, user, domain);
    EXPECT_FALSE(response.has_error()) << tag << " \"" << value << "\": " << response.ShortDebugString();
    EXPECT_TRUE(response.has_result()) << tag << " \"" << value << "\"";
    return response.result();
}

size_t daemon_session_t::log_mark() const
{
    return daemon->pilotd.stderr_text().size();
}

std::string daemon_session_t::log_since(size_t mark) const
{
    const std::string text = daemon->pilotd.stderr_text();
    return mark < text.size() ? text.substr(mark) : std::string();
}

std::string daemon_session_t::log() const
{
    return daemon->pilotd.stderr_text();
}

bool daemon_session_t::wait_for_log_count(const std::string& text, size_t count,
                                          std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (count_of(log(), text) < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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
    return velbo_test::write_all(fd, bytes.data(), bytes.size());
}

std::string frame_of(const lp::ClientMessage& request)
{
    return frame_of(request.SerializeAsString());
}

std::string frame_of(const std::string& body)
{
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
