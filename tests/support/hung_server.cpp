#include "support/hung_server.h"

#include <cerrno>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velbo_test {

hung_server_t::hung_server_t()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(listener_, 64) < 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) < 0 || ::pipe2(stop_pipe_, O_CLOEXEC) < 0) {
        const int e = errno;
        ::close(listener_);
        throw std::system_error(e, std::generic_category(), "hung server");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

hung_server_t::~hung_server_t()
{
    const char c = 0;
    (void)!::write(stop_pipe_[1], &c, 1);
    thread_.join();
    for (int fd : connections_)
        ::close(fd);
    ::close(listener_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

void hung_server_t::run()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            connections_.push_back(fd);
            ++accepted_;
        }
    }
}

} // namespace velbo_test
