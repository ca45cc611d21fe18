#include "support/hung_server.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/server_process.h"

namespace velbo_test {

hung_server_t::hung_server_t()
{
    listener_ = listen_on_loopback(64, port_, "hung server");
    if (::pipe2(stop_pipe_, O_CLOEXEC) < 0) {
        const int e = errno;
        ::close(listener_);
        throw std::system_error(e, std::generic_category(), "hung server");
    }
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
