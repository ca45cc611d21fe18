#include "bare_peer.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "bench_common.h"

namespace {

constexpr size_t read_chunk = 256 * 1024;
constexpr uint32_t max_frame = 64 * 1024 * 1024;
// Lookup fields of at least this many bytes are written from their one copy
// with a gather write, not copied into every answer.
constexpr size_t shared_fields_size = 64 * 1024;
// At most this many pieces, and about this many bytes, per gather write.
constexpr int write_pieces = 128;
constexpr size_t write_bytes = 1024 * 1024;
// Written answer bytes are dropped from the front of the output once they
// are at least this many and at least half of it.
constexpr size_t compact_size = 4096;

struct connection_t {
    int fd = -1;
    std::vector<uint8_t> in = std::vector<uint8_t>(read_chunk);
    size_t have = 0;
    // The answers' own bytes, out[0] at position out_base of all those ever
    // queued; the shared lookup fields go in before the byte at each
    // position in tails.
    std::vector<uint8_t> out;
    uint64_t out_base = 0;
    std::deque<uint64_t> tails;
    size_t written = 0;    // of out
    size_t tail_at = 0;    // of the fields after tails.front(), once out is written up to it
    size_t unsent = 0;     // bytes queued, shared fields included
    uint32_t events = EPOLLIN;  // watched
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
        : lookup_fields(lookup_fields.begin(), lookup_fields.end()),
          shared_fields(lookup_fields.size() >= shared_fields_size)
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
                if (!serve(*found->second, events[i].events))
                    drop(found->first);
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

    // While at least the output limit is unsent, only writes; below it,
    // answers the frames already read, reads more and answers them, then
    // writes what the socket takes. Requests wait in the socket while the
    // output is at the limit, so that it stays bounded.
    bool serve(connection_t& c, uint32_t events)
    {
        // With output pending and no EPOLLOUT, the socket is still full.
        bool writable = c.unsent == 0 || (events & (EPOLLOUT | EPOLLHUP | EPOLLERR));
        if (c.unsent >= bare_peer_output_limit) {
            if (!flush(c))
                return false;
            writable = c.unsent == 0;
        }
        if (c.unsent < bare_peer_output_limit) {
            if (!answer_frames(c))
                return false;
            if (c.unsent < bare_peer_output_limit && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) &&
                (!bench::read_available(c.fd, c.in, c.have, read_chunk / 2) || !answer_frames(c)))
                return false;
        }
        if (writable && c.unsent != 0 && !flush(c))
            return false;
        const uint32_t wanted =
            (c.unsent < bare_peer_output_limit ? EPOLLIN : 0u) | (c.unsent != 0 ? EPOLLOUT : 0u);
        if (wanted != c.events) {
            c.events = wanted;
            watch(c.fd, wanted, EPOLL_CTL_MOD);
        }
        return true;
    }

    // Answers the complete frames read, in order, until the output reaches
    // the limit; keeps the rest. False for a frame that is not a request.
    bool answer_frames(connection_t& c)
    {
        size_t at = 0;
        while (c.have - at >= 4 && c.unsent < bare_peer_output_limit) {
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
        if (at == 0)
            return true;
        std::memmove(c.in.data(), c.in.data() + at, c.have - at);
        c.have -= at;
        if (c.in.size() > 4 * read_chunk && c.have < read_chunk)
            c.in.resize(read_chunk);
        return true;
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
        size_t shared = 0;
        if (kind == 1 && shared_fields) {
            shared = lookup_fields.size();
            c.tails.push_back(c.out_base + c.out.size());
        } else if (kind == 1) {
            c.out.insert(c.out.end(), lookup_fields.begin(), lookup_fields.end());
        } else {
            c.out.push_back(0x20);  // result: false
            c.out.push_back(0x00);
        }
        const uint32_t length = static_cast<uint32_t>(c.out.size() - header - 4 + shared);
        std::memcpy(c.out.data() + header, &length, 4);
        c.unsent += c.out.size() - header + shared;
    }

    // Where in out the bytes before the tail-th queued shared fields end
    // (out's end when fewer are queued).
    size_t out_stop(const connection_t& c, size_t tail) const
    {
        return tail < c.tails.size() ? static_cast<size_t>(c.tails[tail] - c.out_base) : c.out.size();
    }

    // Writes until everything is written or the socket would block; false
    // on an error.
    bool flush(connection_t& c)
    {
        if (c.tails.empty()) {
            const size_t before = c.written;
            const bool ok = bench::write_pending(c.fd, c.out.data(), c.out.size(), c.written);
            c.unsent -= c.written - before;
            if (!ok)
                return false;
        } else if (!write_gathered(c)) {
            return false;
        }
        if (c.unsent == 0)
            clear_output(c);
        else if (c.written >= compact_size && c.written * 2 >= c.out.size())
            compact_output(c);
        return true;
    }

    // The queued bytes with the shared fields in their places, written
    // until all are or the socket would block; false on an error.
    bool write_gathered(connection_t& c)
    {
        while (c.unsent != 0) {
            iovec pieces[write_pieces];
            int n = 0;
            size_t bytes = 0, at = c.written, tail = 0, tail_at = c.tail_at;
            while (n < write_pieces && bytes < write_bytes) {
                const size_t stop = out_stop(c, tail);
                if (at < stop) {
                    pieces[n++] = {c.out.data() + at, stop - at};
                    bytes += stop - at;
                    at = stop;
                } else if (tail < c.tails.size()) {
                    pieces[n++] = {lookup_fields.data() + tail_at, lookup_fields.size() - tail_at};
                    bytes += lookup_fields.size() - tail_at;
                    tail_at = 0;
                    ++tail;
                } else {
                    break;
                }
            }
            const ssize_t sent = ::writev(c.fd, pieces, n);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && errno == EAGAIN)
                return true;
            if (sent <= 0)
                return false;
            advance(c, static_cast<size_t>(sent));
        }
        return true;
    }

    // Marks `sent` bytes written.
    void advance(connection_t& c, size_t sent)
    {
        c.unsent -= sent;
        while (sent != 0) {
            const size_t stop = out_stop(c, 0);
            if (c.written < stop) {
                const size_t part = std::min(sent, stop - c.written);
                c.written += part;
                sent -= part;
                continue;
            }
            const size_t part = std::min(sent, lookup_fields.size() - c.tail_at);
            c.tail_at += part;
            sent -= part;
            if (c.tail_at == lookup_fields.size()) {
                c.tail_at = 0;
                c.tails.pop_front();
            }
        }
    }

    // The capacity stays: the answers come again.
    static void clear_output(connection_t& c)
    {
        c.out_base += c.out.size();
        c.out.clear();
        c.tails.clear();
        c.written = 0;
        c.tail_at = 0;
    }

    // Drops the written bytes of out while more are queued behind them.
    static void compact_output(connection_t& c)
    {
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.written));
        c.out_base += c.written;
        c.written = 0;
    }

    std::vector<uint8_t> lookup_fields;
    bool shared_fields;
    int listener = -1;
    int epoll = -1;
    std::unordered_map<int, std::unique_ptr<connection_t>> connections;
};

} // namespace

void run_bare_peer(const std::string& socket_path, const std::string& lookup_fields)
{
    std::signal(SIGPIPE, SIG_IGN);  // a client that goes is dropped, not fatal
    bare_server_t server(socket_path, lookup_fields);
    server.run();
    std::_Exit(1);
}
