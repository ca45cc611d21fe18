#include "bare_peer.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "bench_common.h"

namespace {

constexpr size_t read_chunk = 256 * 1024;
constexpr uint32_t max_frame = 64 * 1024 * 1024;

struct connection_t {
    int fd = -1;
    std::vector<uint8_t> in = std::vector<uint8_t>(read_chunk);
    size_t have = 0;
    std::vector<uint8_t> out;
    size_t written = 0;  // of out
    bool want_write = false;
};

// The request's kind (1 lookup, 2 check) and serial; false for a body that
// is not a well-formed message.
bool scan_request(const uint8_t* p, const uint8_t* end, uint64_t& kind, uint64_t& serial)
{
    kind = 0;
    serial = 0;
    while (p < end) {
        uint64_t key, value;
        if (!bench::read_varint(p, end, key))
            return false;
        switch (key & 7) {
        case 0:
            if (!bench::read_varint(p, end, value))
                return false;
            if (key >> 3 == 1)
                kind = value;
            else if (key >> 3 == 2)
                serial = value;
            break;
        case 2:
            if (!bench::read_varint(p, end, value) || value > uint64_t(end - p))
                return false;
            p += value;
            break;
        default:
            return false;
        }
    }
    return kind == 1 || kind == 2;
}

class bare_server_t {
public:
    bare_server_t(const std::string& path, const std::string& lookup_fields)
        : lookup_fields(lookup_fields.begin(), lookup_fields.end())
    {
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 1024) != 0)
            fail("listen");
        epoll = ::epoll_create1(EPOLL_CLOEXEC);
        watch(listener, EPOLLIN, EPOLL_CTL_ADD);
    }

    void run()
    {
        std::vector<epoll_event> events(256);
        for (;;) {
            const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail("epoll_wait");
            for (int i = 0; i < n; ++i) {
                if (events[i].data.fd == listener) {
                    accept_all();
                    continue;
                }
                auto found = connections.find(events[i].data.fd);
                if (found == connections.end())
                    continue;
                connection_t& c = *found->second;
                bool open = true;
                if (c.want_write && (events[i].events & (EPOLLOUT | EPOLLHUP | EPOLLERR)))
                    open = flush(c);
                else if (!c.want_write && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                    open = on_readable(c);
                if (!open)
                    drop(c.fd);
            }
        }
    }

private:
    [[noreturn]] static void fail(const char* what)
    {
        std::fprintf(stderr, "bare peer: %s: %s\n", what, std::strerror(errno));
        std::_Exit(1);
    }

    void watch(int fd, uint32_t events, int op)
    {
        epoll_event event {};
        event.events = events;
        event.data.fd = fd;
        if (::epoll_ctl(epoll, op, fd, &event) != 0)
            fail("epoll_ctl");
    }

    void accept_all()
    {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            auto c = std::make_unique<connection_t>();
            c->fd = fd;
            connections[fd] = std::move(c);
            watch(fd, EPOLLIN, EPOLL_CTL_ADD);
        }
    }

    void drop(int fd)
    {
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        connections.erase(fd);
    }

    // Reads what is there, answers every complete frame, writes once.
    bool on_readable(connection_t& c)
    {
        if (!bench::read_available(c.fd, c.in, c.have, read_chunk / 2))
            return false;
        size_t at = 0;
        while (c.have - at >= 4) {
            uint32_t length;
            std::memcpy(&length, c.in.data() + at, 4);
            if (length == 0 || length > max_frame)
                return false;
            if (c.have - at - 4 < length) {
                if (size_t(length) + 4 > c.in.size())
                    c.in.resize(size_t(length) + 4);
                break;
            }
            uint64_t kind, serial;
            if (!scan_request(c.in.data() + at + 4, c.in.data() + at + 4 + length, kind, serial))
                return false;
            answer(c, kind, serial);
            at += 4 + size_t(length);
        }
        std::memmove(c.in.data(), c.in.data() + at, c.have - at);
        c.have -= at;
        if (c.in.size() > 4 * read_chunk && c.have < read_chunk)
            c.in.resize(read_chunk);
        return flush(c);
    }

    void answer(connection_t& c, uint64_t kind, uint64_t serial)
    {
        const size_t header = c.out.size();
        c.out.resize(header + 4);
        c.out.push_back(0x08);  // tag: LOOKUP_RESPONSE 1, CHECK_RESPONSE 2
        c.out.push_back(static_cast<uint8_t>(kind));
        c.out.push_back(0x10);  // serial
        char varint[10];
        const size_t n = bench::put_varint(varint, serial & 0xffffffffu);
        c.out.insert(c.out.end(), varint, varint + n);
        if (kind == 1) {
            c.out.insert(c.out.end(), lookup_fields.begin(), lookup_fields.end());
        } else {
            c.out.push_back(0x20);  // result: false
            c.out.push_back(0x00);
        }
        const uint32_t length = static_cast<uint32_t>(c.out.size() - header - 4);
        std::memcpy(c.out.data() + header, &length, 4);
    }

    bool flush(connection_t& c)
    {
        if (!bench::write_pending(c.fd, c.out.data(), c.out.size(), c.written))
            return false;
        const bool pending = c.written < c.out.size();
        if (!pending) {
            // The capacity stays: large answers come again.
            c.out.clear();
            c.written = 0;
        }
        // While answers wait for the socket, no more requests are read, so
        // that the answer buffer drains and is reused.
        if (pending != c.want_write) {
            c.want_write = pending;
            watch(c.fd, pending ? EPOLLOUT : EPOLLIN, EPOLL_CTL_MOD);
        }
        return true;
    }

    std::vector<uint8_t> lookup_fields;
    int listener = -1;
    int epoll = -1;
    std::unordered_map<int, std::unique_ptr<connection_t>> connections;
};

} // namespace

void run_bare_peer(const std::string& socket_path, const std::string& lookup_fields)
{
    bare_server_t server(socket_path, lookup_fields);
    server.run();
    std::_Exit(1);
}
