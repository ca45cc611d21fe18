#include "support/tcp_relay.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/server_process.h"
#include "support/test_files.h"

namespace velbo_test {

namespace {

sockaddr_in loopback(unsigned port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    return addr;
}

} // namespace

tcp_relay_t::tcp_relay_t(unsigned target_port) : target_port_(target_port)
{
    listener_ = listen_on_loopback(16, port_, "tcp relay");
    if (::pipe2(wake_, O_CLOEXEC) < 0) {
        const int e = errno;
        ::close(listener_);
        throw std::system_error(e, std::generic_category(), "tcp relay");
    }
    thread_ = std::thread([this] { run(); });
}

tcp_relay_t::~tcp_relay_t()
{
    ::close(wake_[1]);
    thread_.join();
    close_all();
    ::close(listener_);
    ::close(wake_[0]);
}

void tcp_relay_t::cut_after(size_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = true;
    budget_ = bytes;
}

void tcp_relay_t::close_all()
{
    for (const pair_t& p : pairs_) {
        ::close(p.client);
        ::close(p.server);
    }
    pairs_.clear();
}

bool tcp_relay_t::pass(int from, int to, bool from_server)
{
    char buffer[16384];
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    size_t size = size_t(n);
    bool cut_now = false;
    if (from_server) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (armed_) {
            size = std::min(size, budget_);
            budget_ -= size;
            cut_now = budget_ == 0;
            armed_ = !cut_now;
        }
    }
    if (!write_all(to, buffer, size))
        return false;
    if (cut_now) {
        cut_ += pairs_.size();
        close_all();
    }
    return true;
}

void tcp_relay_t::run()
{
    for (;;) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const pair_t& p : pairs_) {
            fds.push_back({p.client, POLLIN, 0});
            fds.push_back({p.server, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = loopback(target_port_);
            if (client >= 0 && server >= 0 &&
                ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
                pairs_.push_back({client, server});
                ++accepted_;
            } else {
                if (client >= 0)
                    ::close(client);
                if (server >= 0)
                    ::close(server);
            }
            continue;
        }
        // One pair at a time: a cut changes the set.
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const size_t at = (i - 2) / 2;
            const pair_t p = pairs_[at];
            const bool from_server = fds[i].fd == p.server;
            if (!pass(fds[i].fd, from_server ? p.client : p.server, from_server) && at < pairs_.size() &&
                pairs_[at].client == p.client) {
                ::close(p.client);
                ::close(p.server);
                pairs_.erase(pairs_.begin() + long(at));
            }
            break;
        }
    }
}

} // namespace velbo_test
