// Load benchmark: the daemon under the PilotD stand-in, a bare epoll peer
// (the bound) and an echo peer on the daemon's own message link, under
// identical load in the same run.
//
//   velbo-bench [-T THREADS] [-c CONNECTIONS] [-d DEPTH] [-t SECONDS] [-s TEXT] [--daemon PATH]
//
// T load threads each drive C connections with D requests in flight on
// each, for T seconds per scenario and peer after a warm-up. The figure to
// quote is the daemon's throughput as a ratio of the bare peer's. With -s
// only the scenarios whose name holds TEXT run.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "bare_peer.h"
#include "bench_common.h"
#include "echo_peer.h"
#include "pilotd_standin.h"
#include "trawl_client.h"
#include "trawld_client_ipc.pb.h"

extern char** environ;

namespace {

using bench_clock = std::chrono::steady_clock;

struct options_t {
    int threads = 4;
    int connections = 4;  // per thread
    int depth = 64;
    double seconds = 3;
    std::string daemon = VELBO_TRAWLD_BIN;
    std::string only;  // runs only the scenarios whose name holds this
};

// Writes the value of request number k into out (at least 64 bytes) and
// answers its length.
using value_maker_t = std::function<size_t(uint64_t k, char* out)>;

struct scenario_t {
    std::string name;
    bool check;
    lp::LookupType type;
    std::string tag;
    value_maker_t value;  // checks only
};

// Latency histogram: 1 us buckets below 4,096 us, then 64 per power of two.
constexpr size_t latency_exact = 4096;
constexpr size_t latency_buckets = latency_exact + 64 * 40;

size_t latency_bucket(uint64_t us)
{
    if (us < latency_exact)
        return static_cast<size_t>(us);
    const int power = 63 - __builtin_clzll(us);  // 12 or more
    const size_t bucket =
        latency_exact + 64 * static_cast<size_t>(power - 12) + static_cast<size_t>((us >> (power - 6)) & 63);
    return std::min(bucket, latency_buckets - 1);
}

// The smallest latency of a bucket.
uint64_t bucket_latency(size_t bucket)
{
    if (bucket < latency_exact)
        return bucket;
    const size_t power = 12 + (bucket - latency_exact) / 64;
    return (64 + (bucket - latency_exact) % 64) << (power - 6);
}

struct result_t {
    uint64_t requests = 0;
    uint64_t errors = 0;
    double seconds = 0;
    double load_cpu = 0;  // cores used by the load generator
    double peer_cpu = 0;  // cores used by the peer
    std::vector<uint64_t> latency = std::vector<uint64_t>(latency_buckets);
};

size_t put_decimal(char* out, uint64_t value)
{
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    return n;
}

// Requests are encoded by hand: the fields every request of a scenario
// shares, then the check value and the serial.
class request_encoder_t {
public:
    explicit request_encoder_t(const scenario_t& scenario) : scenario(scenario)
    {
        lp::ClientMessage fixed_fields;
        fixed_fields.set_tag(scenario.check ? lp::ClientMessage::CHECK_REQUEST : lp::ClientMessage::LOOKUP_REQUEST);
        fixed_fields.set_lookup_type(scenario.type);
        fixed_fields.set_lookup_tag(scenario.tag);
        fixed_fields.set_user("bench");
        fixed = fixed_fields.SerializeAsString();
    }

    void append(std::vector<char>& out, uint32_t serial, uint64_t k) const
    {
        char value[128];
        char tail[160];
        size_t n = 0;
        if (scenario.check) {
            const size_t length = scenario.value(k, value);
            tail[n++] = 0x3a;  // check, field 7
            n += bench::put_varint(tail + n, length);
            std::memcpy(tail + n, value, length);
            n += length;
        }
        tail[n++] = 0x10;  // serial, field 2
        n += bench::put_varint(tail + n, serial);
        const uint32_t body = static_cast<uint32_t>(fixed.size() + n);
        const size_t at = out.size();
        out.resize(at + 4 + body);
        std::memcpy(out.data() + at, &body, 4);
        std::memcpy(out.data() + at + 4, fixed.data(), fixed.size());
        std::memcpy(out.data() + at + 4 + fixed.size(), tail, n);
    }

private:
    const scenario_t& scenario;
    std::string fixed;
};

// The serial of a response and whether it carries an error, read straight
// from the wire.
bool scan_response(const uint8_t* p, const uint8_t* end, uint32_t& serial, bool& error)
{
    bool have_serial = false;
    error = false;
    while (p < end) {
        uint64_t key;
        if (!bench::read_varint(p, end, key))
            return false;
        const uint64_t field = key >> 3, wire = key & 7;
        uint64_t value;
        if (wire == 0) {
            if (!bench::read_varint(p, end, value))
                return false;
            if (field == 2) {
                serial = static_cast<uint32_t>(value);
                have_serial = true;
            }
        } else if (wire == 2) {
            if (!bench::read_varint(p, end, value) || value > uint64_t(end - p))
                return false;
            if (field == 100)
                error = true;
            p += value;
        } else {
            return false;
        }
    }
    return have_serial;
}

int connect_to(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("cannot connect to " + path + ": " + std::strerror(errno));
}

int64_t nanoseconds(bench_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

struct window_t {
    int64_t measure_from;  // ns: requests sent from here on count
    int64_t end;           // ns: answers until here count; no request after
    int64_t give_up;       // ns: the peer must have answered everything by then
};

// One pipelined connection of a load thread.
struct connection_t {
    static constexpr uint32_t ring = 65536;  // more than the deepest pipeline

    int fd = -1;
    std::vector<uint8_t> in = std::vector<uint8_t>(1 << 20);
    size_t have = 0;
    std::vector<char> out;
    size_t written = 0;
    bool want_write = false;
    uint32_t serial = 0;
    uint64_t next_k = 0;
    uint64_t k_step = 1;
    int outstanding = 0;
    std::vector<int64_t> sent = std::vector<int64_t>(ring);  // 0: nothing in flight
};

class load_thread_t {
public:
    load_thread_t(const std::string& path, const request_encoder_t& encoder, const options_t& options,
                  const window_t& window, uint64_t first_k, uint64_t k_step)
        : encoder(encoder), window(window), connections(static_cast<size_t>(options.connections))
    {
        epoll = ::epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = 0; i < connections.size(); ++i) {
            connection_t& c = connections[i];
            c.fd = connect_to(path);
            ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
            c.next_k = first_k + i;
            c.k_step = k_step;
            epoll_event event {};
            event.events = EPOLLIN;
            event.data.u64 = i;
            ::epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &event);
        }
        depth = options.depth;
    }

    ~load_thread_t()
    {
        for (connection_t& c : connections)
            ::close(c.fd);
        ::close(epoll);
    }

    void run(result_t& result)
    {
        const int64_t start = nanoseconds(bench_clock::now());
        for (connection_t& c : connections) {
            for (int i = 0; i < depth; ++i)
                queue(c, start);
            flush(c);
        }
        std::vector<epoll_event> events(connections.size());
        int outstanding = depth * static_cast<int>(connections.size());
        while (outstanding > 0) {
            const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
            if (n < 0 && errno != EINTR)
                throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
            const int64_t now = nanoseconds(bench_clock::now());
            if (now > window.give_up)
                throw std::runtime_error("the peer left requests unanswered");
            for (int i = 0; i < n; ++i) {
                connection_t& c = connections[events[i].data.u64];
                const int before = c.outstanding;
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    receive(c, now, result);
                flush(c);
                outstanding += c.outstanding - before;
            }
        }
    }

private:
    void queue(connection_t& c, int64_t now)
    {
        ++c.serial;
        int64_t& slot = c.sent[c.serial & (connection_t::ring - 1)];
        if (slot != 0)
            throw std::runtime_error("too many requests in flight");
        slot = now;
        encoder.append(c.out, c.serial, c.next_k);
        c.next_k += c.k_step;
        ++c.outstanding;
    }

    void receive(connection_t& c, int64_t now, result_t& result)
    {
        if (!bench::read_available(c.fd, c.in, c.have, 1))
            throw std::runtime_error("connection closed by the peer");
        size_t at = 0;
        while (c.have - at >= 4) {
            uint32_t length;
            std::memcpy(&length, c.in.data() + at, 4);
            if (c.have - at - 4 < length) {
                if (size_t(length) + 4 > c.in.size())
                    c.in.resize(size_t(length) + 4);
                break;
            }
            uint32_t answered = 0;
            bool error = false;
            if (!scan_response(c.in.data() + at + 4, c.in.data() + at + 4 + length, answered, error))
                throw std::runtime_error("malformed response");
            int64_t& slot = c.sent[answered & (connection_t::ring - 1)];
            if (slot == 0)
                throw std::runtime_error("answer to a request not in flight");
            if (slot >= window.measure_from && now <= window.end) {
                ++result.requests;
                result.errors += error;
                const uint64_t us = static_cast<uint64_t>(now - slot) / 1000;
                ++result.latency[latency_bucket(us)];
            }
            slot = 0;
            --c.outstanding;
            if (now < window.end)
                queue(c, now);
            at += 4 + size_t(length);
        }
        std::memmove(c.in.data(), c.in.data() + at, c.have - at);
        c.have -= at;
    }

    void flush(connection_t& c)
    {
        if (!bench::write_pending(c.fd, c.out.data(), c.out.size(), c.written))
            throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        const bool pending = c.written < c.out.size();
        if (!pending) {
            c.out.clear();
            c.written = 0;
        }
        if (pending != c.want_write) {
            c.want_write = pending;
            epoll_event event {};
            event.events = pending ? EPOLLIN | EPOLLOUT : EPOLLIN;
            event.data.u64 = static_cast<uint64_t>(&c - connections.data());
            ::epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &event);
        }
    }

    const request_encoder_t& encoder;
    const window_t& window;
    std::vector<connection_t> connections;
    int depth = 1;
    int epoll = -1;
};

double process_cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 precede utime (14) and stime (15).
    for (int i = 3; i <= 13 && fields >> field; ++i) {
    }
    fields >> utime >> stime;
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

double own_cpu_seconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

result_t run_load(const std::string& path, pid_t peer, const scenario_t& scenario, const options_t& options)
{
    const request_encoder_t encoder(scenario);
    const double warm_up = std::min(0.5, options.seconds / 2);
    const auto start = bench_clock::now();
    window_t window;
    window.measure_from = nanoseconds(start) + static_cast<int64_t>(warm_up * 1e9);
    window.end = window.measure_from + static_cast<int64_t>(options.seconds * 1e9);
    window.give_up = window.end + 60 * int64_t(1000000000);

    const size_t thread_count = static_cast<size_t>(options.threads);
    const uint64_t k_step = thread_count * static_cast<uint64_t>(options.connections);
    std::vector<std::unique_ptr<load_thread_t>> loads;
    for (size_t t = 0; t < thread_count; ++t)
        loads.push_back(std::make_unique<load_thread_t>(path, encoder, options, window,
                                                        t * static_cast<uint64_t>(options.connections), k_step));
    std::vector<result_t> parts(thread_count);
    std::vector<std::string> failures(thread_count);
    const double own_before = own_cpu_seconds(), peer_before = process_cpu_seconds(peer);
    const auto cpu_from = bench_clock::now();
    std::vector<std::thread> threads;
    for (size_t t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            try {
                loads[t]->run(parts[t]);
            } catch (const std::exception& e) {
                failures[t] = e.what();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const double wall = std::chrono::duration<double>(bench_clock::now() - cpu_from).count();
    for (const std::string& failure : failures) {
        if (!failure.empty())
            throw std::runtime_error(scenario.name + ": " + failure);
    }
    result_t total;
    total.seconds = options.seconds;
    total.load_cpu = (own_cpu_seconds() - own_before) / wall;
    total.peer_cpu = (process_cpu_seconds(peer) - peer_before) / wall;
    for (const result_t& part : parts) {
        total.requests += part.requests;
        total.errors += part.errors;
        for (size_t i = 0; i < latency_buckets; ++i)
            total.latency[i] += part.latency[i];
    }
    return total;
}

uint64_t percentile(const result_t& result, double p)
{
    const uint64_t rank = static_cast<uint64_t>(p * double(result.requests));
    uint64_t seen = 0;
    for (size_t i = 0; i < latency_buckets; ++i) {
        seen += result.latency[i];
        if (seen > rank)
            return bucket_latency(i);
    }
    return 0;
}

// One lookup of the 10,000-line tag from the daemon: its fields after the
// tag and the serial, which the bare peer sends in its lookup answers.
std::string lookup_answer_fields(const std::string& path, const std::string& tag, int expected_entries)
{
    lp::ClientMessage request;
    request.set_tag(lp::ClientMessage::LOOKUP_REQUEST);
    request.set_serial(1);
    request.set_lookup_type(lp::LOOKUP_ALLMATCH);
    request.set_lookup_tag(tag);
    request.set_user("bench");
    std::string frame = request.SerializeAsString();
    const uint32_t length = static_cast<uint32_t>(frame.size());
    frame.insert(0, reinterpret_cast<const char*>(&length), 4);
    const int fd = connect_to(path);
    if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        throw std::runtime_error("cannot send the sample lookup");
    std::string in;
    char buffer[65536];
    uint32_t body = 0;
    while (in.size() < 4 || in.size() < 4 + size_t(body)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            throw std::runtime_error("no answer to the sample lookup");
        in.append(buffer, static_cast<size_t>(n));
        if (in.size() >= 4)
            std::memcpy(&body, in.data(), 4);
    }
    ::close(fd);
    lp::ServerMessage answer;
    if (!answer.ParseFromArray(in.data() + 4, static_cast<int>(body)) || answer.has_error() ||
        answer.data_size() != expected_entries)
        throw std::runtime_error("unexpected answer to the sample lookup");
    answer.clear_tag();
    answer.clear_serial();
    return answer.SerializePartialAsString();
}

pid_t spawn_bare_peer(const std::string& socket, const std::string& fields_file)
{
    const std::string self = boost::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {self, "--bare-peer", socket, fields_file};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start the bare peer");
    return pid;
}

std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Example data: an exact-value tag of 100 words and one of 10,000 lines,
// a CIDR tag of 100,000 networks and a regex tag of 1,000 patterns.
struct data_t {
    std::vector<std::string> words;  // half of them in the file
};

data_t write_data(const std::string& dir)
{
    std::mt19937_64 random(20261210);
    data_t data;
    {
        std::ofstream out(dir + "/words.txt");
        for (int i = 0; i < 100; ++i) {
            data.words.push_back("Word-" + std::to_string(i * 7919));
            if (i % 2 == 0)
                out << data.words.back() << "\n";
        }
    }
    {
        std::ofstream out(dir + "/big.txt");
        for (int i = 0; i < 10000; ++i)
            out << "entry-" << i << "-" << std::hex << random() % 0xffffff << std::dec << "\n";
    }
    {
        std::ofstream out(dir + "/nets.txt");
        for (int i = 0; i < 100000; ++i) {
            if (i % 5 == 4) {
                const int prefix = 32 + static_cast<int>(random() % 97);
                char text[64];
                std::snprintf(text, sizeof text, "2001:db8:%x:%x:%x::%x/%d", unsigned(random() % 0xffff),
                              unsigned(random() % 0xffff), unsigned(random() % 0xffff),
                              unsigned(random() % 0xffff), prefix);
                out << text << "\n";
            } else {
                const uint32_t address = static_cast<uint32_t>(random());
                const int prefix = 16 + static_cast<int>(random() % 17);
                out << (address >> 24) << "." << ((address >> 16) & 255) << "." << ((address >> 8) & 255) << "."
                    << (address & 255) << "/" << prefix << "\n";
            }
        }
    }
    {
        std::ofstream out(dir + "/patterns.txt");
        for (int i = 0; i < 1000; ++i) {
            switch (i % 4) {
            case 0: out << "^svc-" << i << "-[a-z]{3,8}@corp\\.example\\.net$\n"; break;
            case 1: out << "admin" << i << "\\b\n"; break;
            case 2: out << "(ops|dev)-team-" << i << "\n"; break;
            default: out << "^[a-z]+\\." << i << "@(mail|smtp)\\.example\\.org$\n"; break;
            }
        }
    }
    return data;
}

std::string config_text(const std::string& dir, const std::string& socket)
{
    return "run_as_user { uid: 0 }\n"
           "socket_path: \"" + socket + "\"\n"
           "log_level: LOG_LEVEL_WARNING\n"
           "actual_log { type: STDERR }\n"
           "allmatch { item { tag: \"words\" file: \"" + dir + "/words.txt\" }\n"
           "           item { tag: \"big\" file: \"" + dir + "/big.txt\" } }\n"
           "cidr { item { tag: \"nets\" file: \"" + dir + "/nets.txt\" } }\n"
           "regex { item { tag: \"patterns\" file: \"" + dir + "/patterns.txt\" } }\n";
}

long peak_memory_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

const char usage_text[] =
    "usage: velbo-bench [-T THREADS] [-c CONNECTIONS] [-d DEPTH] [-t SECONDS] [-s TEXT] [--daemon PATH]\n"
    "  -T  load threads, 1 to 256 (default 4)\n"
    "  -c  connections per thread, 1 to 1024 (default 4)\n"
    "  -d  requests in flight per connection, 1 to 30000 (default 64)\n"
    "  -t  seconds per run, above 0 and at most 3600 (default 3)\n"
    "  -s  run only the scenarios whose name holds TEXT\n"
    "  --daemon  the daemon to start (default " VELBO_TRAWLD_BIN ")\n";

// Bad usage: the reason and the usage on standard error, status 2.
[[noreturn]] void usage_error(const std::string& message)
{
    std::fprintf(stderr, "velbo-bench: %s\n%s", message.c_str(), usage_text);
    std::exit(2);
}

int whole_number(const std::string& option, const std::string& text, int low, int high)
{
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        usage_error(option + " needs a whole number from " + range + ", not \"" + text + "\"");
    const int value = std::atoi(text.c_str());
    if (value < low || value > high)
        usage_error(option + " must be from " + range + ", not " + text);
    return value;
}

options_t parse_options(int argc, char** argv)
{
    options_t options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage_text, stdout);
            std::exit(0);
        } else if (arg == "-T") {
            options.threads = whole_number(arg, value(), 1, 256);
        } else if (arg == "-c") {
            options.connections = whole_number(arg, value(), 1, 1024);
        } else if (arg == "-d") {
            options.depth = whole_number(arg, value(), 1, 30000);
        } else if (arg == "-t") {
            const std::string text = value();
            const std::optional<double> seconds = parse_seconds(text, 3600);
            if (!seconds)
                usage_error("-t needs a number of seconds above 0 and at most 3600, not \"" + text + "\"");
            options.seconds = *seconds;
        } else if (arg == "--daemon") {
            options.daemon = value();
        } else if (arg == "-s") {
            options.only = value();
        } else {
            usage_error("unknown argument " + arg);
        }
    }
    return options;
}

// The bare peer's own process: velbo-bench --bare-peer SOCKET FIELDS_FILE.
[[noreturn]] void bare_peer_main(const std::string& socket, const std::string& fields_file)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::ifstream in(fields_file, std::ios::binary);
    const std::string fields((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    run_bare_peer(socket, fields);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--bare-peer")
        bare_peer_main(argv[2], argv[3]);
    try {
        const options_t options = parse_options(argc, argv);
        char pattern[] = "/tmp/velbo-bench-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        const std::string dir = pattern;
        const data_t data = write_data(dir);

        const std::vector<scenario_t> scenarios = {
            {"cached checks, allmatch", true, lp::LOOKUP_ALLMATCH, "words",
             [&](uint64_t k, char* out) {
                 const std::string& word = data.words[k % data.words.size()];
                 std::memcpy(out, word.data(), word.size());
                 return word.size();
             }},
            {"uncached checks, cidr 100k", true, lp::LOOKUP_CIDR, "nets",
             [](uint64_t k, char* out) {
                 const uint32_t address = 0x0b000000u + static_cast<uint32_t>(k * 2654435761u % 0xf0000000u);
                 size_t n = 0;
                 for (int shift = 24; shift >= 0; shift -= 8) {
                     n += put_decimal(out + n, (address >> shift) & 255);
                     if (shift != 0)
                         out[n++] = '.';
                 }
                 return n;
             }},
            {"uncached checks, regex 1k", true, lp::LOOKUP_REGEX, "patterns",
             [](uint64_t k, char* out) {
                 size_t n = 0;
                 std::memcpy(out, "user", 4);
                 n = 4 + put_decimal(out + 4, k);
                 std::memcpy(out + n, "@host", 5);
                 n += 5;
                 n += put_decimal(out + n, k % 977);
                 std::memcpy(out + n, ".example.org", 12);
                 return n + 12;
             }},
            {"lookups, allmatch 10k", false, lp::LOOKUP_ALLMATCH, "big", nullptr},
        };

        // The echo peer, in a process of its own like the daemon.
        const std::string echo_socket = dir + "/echo.sock";
        const pid_t echo = ::fork();
        if (echo == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            run_echo_peer(echo_socket);
        }

        pilotd_standin_options_t standin;
        standin.daemon_path = options.daemon;
        pilotd_standin_t pilotd(standin);
        pilotd.start();
        const std::string daemon_socket = dir + "/trawld.sock";
        if (!pilotd.apply_config(1, parse_config_text(config_text(dir, daemon_socket)), std::chrono::seconds(30)))
            throw std::runtime_error("the daemon did not take its configuration: " + pilotd.stderr_text());

        // The bare peer answers lookups with the daemon's own answer bytes.
        const std::string fields_file = dir + "/lookup-fields.bin";
        {
            std::ofstream out(fields_file, std::ios::binary);
            out << lookup_answer_fields(daemon_socket, "big", 10000);
        }
        const std::string bare_socket = dir + "/bare.sock";
        const pid_t bare = spawn_bare_peer(bare_socket, fields_file);

        std::printf("velbo-bench: %d load threads x %d connections x %d requests in flight, %.1f s per run\n",
                    options.threads, options.connections, options.depth, options.seconds);
        std::printf("load average before: %s\n", load_average().c_str());
        std::printf("%-28s %-7s %12s %8s %8s %6s %6s %8s %8s\n", "scenario", "peer", "requests/s", "p50 us",
                    "p99 us", "load", "peer", "vs bare", "vs echo");
        uint64_t daemon_errors = 0;
        for (const scenario_t& scenario : scenarios) {
            if (scenario.name.find(options.only) == std::string::npos)
                continue;
            const result_t daemon = run_load(daemon_socket, pilotd.pid(), scenario, options);
            const result_t peer = run_load(bare_socket, bare, scenario, options);
            const result_t echoed = run_load(echo_socket, echo, scenario, options);
            const double daemon_rate = double(daemon.requests) / daemon.seconds;
            const double bare_rate = double(peer.requests) / peer.seconds;
            const double echo_rate = double(echoed.requests) / echoed.seconds;
            auto row = [](const char* name, const char* who, double rate, const result_t& result) {
                std::printf("%-28s %-7s %12.0f %8llu %8llu %6.2f %6.2f", name, who, rate,
                            static_cast<unsigned long long>(percentile(result, 0.5)),
                            static_cast<unsigned long long>(percentile(result, 0.99)), result.load_cpu,
                            result.peer_cpu);
            };
            row(scenario.name.c_str(), "daemon", daemon_rate, daemon);
            std::printf(" %8.4f %8.3f\n", bare_rate > 0 ? daemon_rate / bare_rate : 0.0,
                        echo_rate > 0 ? daemon_rate / echo_rate : 0.0);
            row("", "bare", bare_rate, peer);
            std::printf("\n");
            row("", "echo", echo_rate, echoed);
            std::printf("\n");
            if (daemon.errors)
                std::printf("%-28s %llu answers of the daemon carried an error\n", "",
                            static_cast<unsigned long long>(daemon.errors));
            daemon_errors += daemon.errors;
            std::fflush(stdout);
        }
        std::printf("load average after: %s\n", load_average().c_str());
        std::printf("daemon peak memory (VmHWM): %ld kB\n", peak_memory_kb(pilotd.pid()));

        pilotd.signal(SIGTERM);
        pilotd.wait_exit(std::chrono::seconds(30));
        for (const pid_t peer : {echo, bare}) {
            ::kill(peer, SIGKILL);
            ::waitpid(peer, nullptr, 0);
        }
        boost::system::error_code ignored;
        boost::filesystem::remove_all(dir, ignored);
        return daemon_errors == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velbo-bench: %s\n", e.what());
        return 1;
    }
}
