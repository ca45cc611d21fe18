#include "bench_common.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <boost/filesystem.hpp>

#include "pilotd_standin.h"

namespace bench {

namespace {

void write_bytes(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void read_bytes(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(n == 0 ? "peer closed the connection" : std::strerror(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void usage(const char* name)
{
    std::fprintf(stderr, "usage: %s [-n ITERATIONS] [-w WARMUP] [--daemon PATH]\n", name);
    std::exit(2);
}

} // namespace

bench_options_t parse_options(int argc, char** argv, const char* name)
{
    bench_options_t options;
    options.daemon = VELBO_TRAWLD_BIN;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage(name);
        if (arg == "-n")
            options.iterations = std::atoi(argv[++i]);
        else if (arg == "-w")
            options.warmup = std::atoi(argv[++i]);
        else if (arg == "--daemon")
            options.daemon = argv[++i];
        else
            usage(name);
    }
    if (options.iterations <= 0 || options.warmup < 0)
        usage(name);
    return options;
}

bench_dir_t::bench_dir_t()
{
    char pattern[] = "/tmp/velbo-bench-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

bench_dir_t::~bench_dir_t()
{
    boost::system::error_code ec;
    boost::filesystem::remove_all(path_, ec);
}

bench_daemon_t::bench_daemon_t(const std::string& dir, const std::string& config_more,
                               const std::string& daemon_path)
    : socket_path(dir + "/trawld.sock")
{
    pilotd_standin_options_t options;
    options.daemon_path = daemon_path;
    pilotd = std::make_unique<pilotd_standin_t>(options);
    pilotd->start();
    const std::string text = "run_as_user { uid: 0 }\n"
                             "socket_path: \"" + socket_path + "\"\n"
                             "log_level: LOG_LEVEL_ERROR\n"
                             "actual_log { type: STDERR }\n" + config_more;
    if (!pilotd->apply_config(1, parse_config_text(text), std::chrono::seconds(30)))
        throw std::runtime_error("the daemon did not take its configuration: " + pilotd->stderr_text());
}

bench_daemon_t::~bench_daemon_t()
{
    pilotd->signal(SIGTERM);
    pilotd->wait_exit(std::chrono::seconds(30));
}

std::string bench_daemon_t::stderr_text() const
{
    return pilotd->stderr_text();
}

std::string frame_of(const lp::ClientMessage& request)
{
    const std::string body = request.SerializeAsString();
    const auto length = static_cast<uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char*>(&length), 4);
    return frame + body;
}

frame_conn_t::frame_conn_t(const std::string& socket_path)
{
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || socket_path.size() >= sizeof address.sun_path)
        throw std::runtime_error("cannot make a socket for " + socket_path);
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot connect to " + socket_path + ": " + std::strerror(errno));
    }
}

frame_conn_t::frame_conn_t(int fd_) : fd(fd_) {}

frame_conn_t::~frame_conn_t()
{
    if (fd >= 0)
        ::close(fd);
}

const std::string& frame_conn_t::round_trip(const std::string& frame)
{
    write_bytes(fd, frame.data(), frame.size());
    uint32_t length = 0;
    read_bytes(fd, reinterpret_cast<char*>(&length), 4);
    body.resize(length);
    read_bytes(fd, &body[0], length);
    return body;
}

lp::ServerMessage expect_answer(const std::string& socket_path, const std::string& frame,
                                const std::vector<std::string>& expected)
{
    frame_conn_t conn(socket_path);
    lp::ServerMessage response;
    if (!response.ParseFromString(conn.round_trip(frame)))
        throw std::runtime_error("the answer does not parse");
    if (response.has_error())
        throw std::runtime_error("the answer carries an error: " + response.ShortDebugString());
    if (!expected.empty() &&
        std::vector<std::string>(response.data().begin(), response.data().end()) != expected)
        throw std::runtime_error("unexpected answer: " + response.ShortDebugString());
    return response;
}

std::vector<double> time_requests(const std::string& socket_path, const std::string& frame,
                                  const bench_options_t& options)
{
    frame_conn_t conn(socket_path);
    for (int i = 0; i < options.warmup; ++i)
        conn.round_trip(frame);
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(options.iterations));
    for (int i = 0; i < options.iterations; ++i) {
        const auto start = bench_clock::now();
        conn.round_trip(frame);
        latencies.push_back(std::chrono::duration<double, std::micro>(bench_clock::now() - start).count());
    }
    return latencies;
}

std::vector<double> time_bare_round_trips(size_t request_bytes, size_t response_bytes,
                                          const bench_options_t& options)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    const size_t request_body = request_bytes > 4 ? request_bytes - 4 : 1;
    const size_t response_body = response_bytes > 4 ? response_bytes - 4 : 1;
    // The peer answers every frame with a frame of the response size.
    std::thread peer([fd = fds[1], response_body]() {
        const auto length = static_cast<uint32_t>(response_body);
        std::string response(reinterpret_cast<const char*>(&length), 4);
        response.append(response_body, 'r');
        std::string body;
        try {
            for (;;) {
                uint32_t in = 0;
                read_bytes(fd, reinterpret_cast<char*>(&in), 4);
                body.resize(in);
                read_bytes(fd, &body[0], in);
                write_bytes(fd, response.data(), response.size());
            }
        } catch (const std::exception&) {
        }
        ::close(fd);
    });
    std::vector<double> latencies;
    {
        frame_conn_t conn(fds[0]);
        const auto length = static_cast<uint32_t>(request_body);
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame.append(request_body, 'q');
        for (int i = 0; i < options.warmup; ++i)
            conn.round_trip(frame);
        latencies.reserve(static_cast<size_t>(options.iterations));
        for (int i = 0; i < options.iterations; ++i) {
            const auto start = bench_clock::now();
            conn.round_trip(frame);
            latencies.push_back(std::chrono::duration<double, std::micro>(bench_clock::now() - start).count());
        }
    }
    peer.join();
    return latencies;
}

std::vector<double> time_calls(const std::function<void()>& work, const bench_options_t& options)
{
    for (int i = 0; i < options.warmup; ++i)
        work();
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(options.iterations));
    for (int i = 0; i < options.iterations; ++i) {
        const auto start = bench_clock::now();
        work();
        latencies.push_back(std::chrono::duration<double, std::micro>(bench_clock::now() - start).count());
    }
    return latencies;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<long>(middle), values.end());
    return values[middle];
}

void print_figures(const std::string& name, const std::vector<double>& daemon_us,
                   const std::vector<double>& direct_us, const std::vector<double>& bare_us)
{
    const double daemon = median(daemon_us), direct = median(direct_us), bare = median(bare_us);
    const double added = daemon - direct;
    std::printf("%s: daemon median %.1f us, direct median %.1f us, bare round trip %.1f us\n", name.c_str(),
                daemon, direct, bare);
    std::printf("%s: the daemon adds %.1f us (aim: at most %.1f us, one bare round trip + 20 us) %s\n",
                name.c_str(), added, bare + 20, added <= bare + 20 ? "met" : "NOT met");
    std::fflush(stdout);
}

bool read_varint(const uint8_t*& p, const uint8_t* end, uint64_t& value)
{
    value = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        const uint8_t byte = *p++;
        value |= uint64_t(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

size_t put_varint(char* out, uint64_t value)
{
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<char>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<char>(value);
    return n;
}

bool read_available(int fd, std::vector<uint8_t>& buffer, size_t& have, size_t spare)
{
    for (;;) {
        if (buffer.size() - have < spare)
            buffer.resize(buffer.size() * 2);
        const ssize_t n = ::read(fd, buffer.data() + have, buffer.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n <= 0)
            return false;
        have += static_cast<size_t>(n);
        if (have < buffer.size())
            return true;
    }
}

bool write_pending(int fd, const void* data, size_t size, size_t& written)
{
    while (written < size) {
        const ssize_t n = ::write(fd, static_cast<const char*>(data) + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

} // namespace bench
