// Load benchmark: the daemon under the PilotD stand-in against a minimal
// echo peer on the same message link, with identical load.
//
//   velbo-bench [-c CONNECTIONS] [-d DEPTH] [-t SECONDS] [--daemon PATH]
//
// C connections each keep D requests in flight for T seconds per scenario;
// the figure to quote is the daemon's throughput as a ratio of the echo
// peer's.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "echo_peer.h"
#include "pilotd_standin.h"
#include "trawld_client_ipc.pb.h"

namespace {

using bench_clock = std::chrono::steady_clock;

struct options_t {
    int connections = 8;
    int depth = 16;
    double seconds = 3;
    std::string daemon = VELBO_TRAWLD_BIN;
};

// Builds the body of request number k (unique across connections).
using request_maker_t = std::function<std::string(uint32_t serial, uint64_t k)>;

struct scenario_t {
    std::string name;
    request_maker_t make;
};

struct result_t {
    uint64_t requests = 0;
    uint64_t errors = 0;
    double seconds = 0;
    std::vector<uint32_t> latencies_us;
};

std::string check_body(uint32_t serial, lp::LookupType type, const std::string& tag, const std::string& value)
{
    lp::ClientMessage request;
    request.set_tag(lp::ClientMessage::CHECK_REQUEST);
    request.set_serial(serial);
    request.set_lookup_type(type);
    request.set_lookup_tag(tag);
    request.set_user("bench");
    request.set_check(value);
    return request.SerializeAsString();
}

std::string lookup_body(uint32_t serial, lp::LookupType type, const std::string& tag)
{
    lp::ClientMessage request;
    request.set_tag(lp::ClientMessage::LOOKUP_REQUEST);
    request.set_serial(serial);
    request.set_lookup_type(type);
    request.set_lookup_tag(tag);
    request.set_user("bench");
    return request.SerializeAsString();
}

void append_frame(std::string& out, const std::string& body)
{
    const uint32_t length = static_cast<uint32_t>(body.size());
    out.append(reinterpret_cast<const char*>(&length), 4);
    out += body;
}

// The serial of a response and whether it carries an error, read straight
// from the wire (tag 1, serial 2 and error 100 as the daemon writes them).
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

bool scan_response(const uint8_t* p, const uint8_t* end, uint32_t& serial, bool& error)
{
    bool have_serial = false;
    error = false;
    while (p < end) {
        uint64_t key;
        if (!read_varint(p, end, key))
            return false;
        const uint64_t field = key >> 3, wire = key & 7;
        uint64_t value;
        if (wire == 0) {
            if (!read_varint(p, end, value))
                return false;
            if (field == 2) {
                serial = static_cast<uint32_t>(value);
                have_serial = true;
            }
        } else if (wire == 2) {
            if (!read_varint(p, end, value) || value > uint64_t(end - p))
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
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("cannot connect to " + path + ": " + std::strerror(errno));
}

void write_all_bytes(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        done += static_cast<size_t>(n);
    }
}

// One connection keeping `depth` requests in flight until `end`; counts the
// answers to requests sent from `measure_from` on.
void drive_connection(const std::string& path, const scenario_t& scenario, int depth,
                      std::atomic<uint64_t>& sequence, bench_clock::time_point measure_from,
                      bench_clock::time_point end, result_t& result)
{
    const int fd = connect_to(path);
    std::vector<bench_clock::time_point> sent(65536);
    uint32_t serial = 0;
    std::string out;
    auto queue_request = [&] {
        ++serial;
        sent[serial & 0xffff] = bench_clock::now();
        append_frame(out, scenario.make(serial, sequence.fetch_add(1, std::memory_order_relaxed)));
    };
    for (int i = 0; i < depth; ++i)
        queue_request();
    write_all_bytes(fd, out);
    out.clear();

    std::vector<uint8_t> in(1 << 20);
    size_t have = 0;
    int outstanding = depth;
    while (outstanding > 0) {
        if (have == in.size())
            in.resize(in.size() * 2);
        const ssize_t n = ::read(fd, in.data() + have, in.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("connection closed by the peer");
        have += static_cast<size_t>(n);
        size_t at = 0;
        const bench_clock::time_point now = bench_clock::now();
        while (have - at >= 4) {
            uint32_t length;
            std::memcpy(&length, in.data() + at, 4);
            if (have - at - 4 < length) {
                if (length + 4 > in.size())
                    in.resize(length + 4);
                break;
            }
            uint32_t answered = 0;
            bool error = false;
            if (!scan_response(in.data() + at + 4, in.data() + at + 4 + length, answered, error))
                throw std::runtime_error("malformed response");
            const bench_clock::time_point started = sent[answered & 0xffff];
            if (started >= measure_from && now <= end) {
                ++result.requests;
                result.errors += error;
                result.latencies_us.push_back(static_cast<uint32_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(now - started).count()));
            }
            --outstanding;
            if (now < end) {
                queue_request();
                ++outstanding;
            }
            at += 4 + length;
        }
        std::memmove(in.data(), in.data() + at, have - at);
        have -= at;
        if (!out.empty()) {
            write_all_bytes(fd, out);
            out.clear();
        }
    }
    ::close(fd);
}

result_t run_load(const std::string& path, const scenario_t& scenario, const options_t& options)
{
    std::atomic<uint64_t> sequence{0};
    const auto start = bench_clock::now();
    const auto measure_from = start + std::chrono::milliseconds(500);
    const auto end = measure_from + std::chrono::microseconds(static_cast<int64_t>(options.seconds * 1e6));
    std::vector<result_t> parts(static_cast<size_t>(options.connections));
    std::vector<std::thread> threads;
    std::vector<std::string> failures(parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                drive_connection(path, scenario, options.depth, sequence, measure_from, end, parts[i]);
            } catch (const std::exception& e) {
                failures[i] = e.what();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& failure : failures) {
        if (!failure.empty())
            throw std::runtime_error(scenario.name + ": " + failure);
    }
    result_t total;
    total.seconds = options.seconds;
    for (result_t& part : parts) {
        total.requests += part.requests;
        total.errors += part.errors;
        total.latencies_us.insert(total.latencies_us.end(), part.latencies_us.begin(), part.latencies_us.end());
    }
    std::sort(total.latencies_us.begin(), total.latencies_us.end());
    return total;
}

uint32_t percentile(const std::vector<uint32_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
    return sorted[index];
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

options_t parse_options(int argc, char** argv)
{
    options_t options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "-c")
            options.connections = std::stoi(value());
        else if (arg == "-d")
            options.depth = std::stoi(value());
        else if (arg == "-t")
            options.seconds = std::stod(value());
        else if (arg == "--daemon")
            options.daemon = value();
        else
            throw std::runtime_error("usage: velbo-bench [-c CONNECTIONS] [-d DEPTH] [-t SECONDS] [--daemon PATH]");
    }
    if (options.connections < 1 || options.depth < 1 || options.depth > 30000 || options.seconds <= 0)
        throw std::runtime_error("bad option value");
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const options_t options = parse_options(argc, argv);
        char pattern[] = "/tmp/velbo-bench-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        const std::string dir = pattern;
        const data_t data = write_data(dir);

        const std::vector<scenario_t> scenarios = {
            {"cached checks, allmatch",
             [&](uint32_t serial, uint64_t k) {
                 return check_body(serial, lp::LOOKUP_ALLMATCH, "words", data.words[k % data.words.size()]);
             }},
            {"uncached checks, cidr 100k",
             [](uint32_t serial, uint64_t k) {
                 const uint32_t address = 0x0b000000u + static_cast<uint32_t>(k * 2654435761u % 0xf0000000u);
                 char text[32];
                 std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255,
                               (address >> 8) & 255, address & 255);
                 return check_body(serial, lp::LOOKUP_CIDR, "nets", text);
             }},
            {"uncached checks, regex 1k",
             [](uint32_t serial, uint64_t k) {
                 return check_body(serial, lp::LOOKUP_REGEX, "patterns",
                                   "user" + std::to_string(k) + "@host" + std::to_string(k % 977) + ".example.org");
             }},
            {"lookups, allmatch 10k",
             [](uint32_t serial, uint64_t) { return lookup_body(serial, lp::LOOKUP_ALLMATCH, "big"); }},
        };

        // The echo peer, in a process of its own like the daemon.
        const std::string echo_socket = dir + "/echo.sock";
        const pid_t echo = ::fork();
        if (echo == 0)
            run_echo_peer(echo_socket);

        pilotd_standin_options_t standin;
        standin.daemon_path = options.daemon;
        pilotd_standin_t pilotd(standin);
        pilotd.start();
        const std::string daemon_socket = dir + "/trawld.sock";
        if (!pilotd.apply_config(1, parse_config_text(config_text(dir, daemon_socket)), std::chrono::seconds(30)))
            throw std::runtime_error("the daemon did not take its configuration: " + pilotd.stderr_text());

        std::printf("velbo-bench: %d connections, %d requests in flight on each, %.1f s per run\n",
                    options.connections, options.depth, options.seconds);
        std::printf("%-28s %-7s %12s %9s %9s %8s\n", "scenario", "peer", "requests/s", "p50 us", "p99 us", "ratio");
        for (const scenario_t& scenario : scenarios) {
            const result_t daemon = run_load(daemon_socket, scenario, options);
            const result_t peer = run_load(echo_socket, scenario, options);
            const double daemon_rate = double(daemon.requests) / daemon.seconds;
            const double peer_rate = double(peer.requests) / peer.seconds;
            std::printf("%-28s %-7s %12.0f %9u %9u %8.3f\n", scenario.name.c_str(), "daemon", daemon_rate,
                        percentile(daemon.latencies_us, 0.5), percentile(daemon.latencies_us, 0.99),
                        peer_rate > 0 ? daemon_rate / peer_rate : 0.0);
            std::printf("%-28s %-7s %12.0f %9u %9u\n", "", "echo", peer_rate, percentile(peer.latencies_us, 0.5),
                        percentile(peer.latencies_us, 0.99));
            if (daemon.errors)
                std::printf("%-28s %llu answers of the daemon carried an error\n", "",
                            static_cast<unsigned long long>(daemon.errors));
            std::fflush(stdout);
        }
        std::printf("daemon peak memory (VmHWM): %ld kB\n", peak_memory_kb(pilotd.pid()));

        pilotd.signal(SIGTERM);
        pilotd.wait_exit(std::chrono::seconds(30));
        ::kill(echo, SIGKILL);
        ::waitpid(echo, nullptr, 0);
        boost::system::error_code ignored;
        boost::filesystem::remove_all(dir, ignored);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velbo-bench: %s\n", e.what());
        return 1;
    }
}
