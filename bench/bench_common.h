// Helpers shared by the benchmarks: the daemon under the PilotD stand-in
// with a given configuration, sequential request round trips on one
// connection, a bare socket round trip of the same sizes, medians, and the
// non-blocking reads and writes of the epoll loops.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "trawld_client_ipc.pb.h"

class pilotd_standin_t;

namespace bench {

using bench_clock = std::chrono::steady_clock;

struct bench_options_t {
    int iterations = 20000;  // timed round trips per figure
    int warmup = 1000;       // untimed round trips before them
    std::string daemon;      // the daemon executable
};

// Reads -n ITERATIONS, -w WARMUP and --daemon PATH; prints the usage and
// exits on anything else.
bench_options_t parse_options(int argc, char** argv, const char* name);

// A temporary directory, removed with its contents by the destructor.
class bench_dir_t {
public:
    bench_dir_t();
    ~bench_dir_t();
    bench_dir_t(const bench_dir_t&) = delete;
    bench_dir_t& operator=(const bench_dir_t&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The daemon under the stand-in, its socket in `dir`, configured with
// run_as_user root, an Error-level STDERR log and the given further lines
// (globals and data-source sections). Stopped with SIGTERM by the destructor.
class bench_daemon_t {
public:
    bench_daemon_t(const std::string& dir, const std::string& config_more, const std::string& daemon_path);
    ~bench_daemon_t();
    bench_daemon_t(const bench_daemon_t&) = delete;
    bench_daemon_t& operator=(const bench_daemon_t&) = delete;
    const std::string& socket() const { return socket_path; }
    std::string stderr_text() const;

private:
    std::string socket_path;
    std::unique_ptr<pilotd_standin_t> pilotd;
};

// A frame: the 4-byte body length in host byte order, then the body.
std::string frame_of(const lp::ClientMessage& request);

// A blocking client connection that sends one frame and waits for one.
class frame_conn_t {
public:
    explicit frame_conn_t(const std::string& socket_path);
    explicit frame_conn_t(int fd);  // takes the descriptor
    ~frame_conn_t();
    frame_conn_t(const frame_conn_t&) = delete;
    frame_conn_t& operator=(const frame_conn_t&) = delete;
    // Sends the frame and returns the body of the next frame received.
    // Throws std::runtime_error when the peer goes.
    const std::string& round_trip(const std::string& frame);

private:
    int fd = -1;
    std::string body;
};

// Sends `frame` once and checks the answer: no error and, for a lookup,
// `expected` values (empty: any). Throws std::runtime_error otherwise.
lp::ServerMessage expect_answer(const std::string& socket_path, const std::string& frame,
                                const std::vector<std::string>& expected = {});

// Latencies in µs of sequential round trips of `frame` on one connection.
std::vector<double> time_requests(const std::string& socket_path, const std::string& frame,
                                  const bench_options_t& options);
// Latencies in µs of the same exchange over a bare socket pair to a thread
// that answers each request of request_bytes with response_bytes.
std::vector<double> time_bare_round_trips(size_t request_bytes, size_t response_bytes,
                                          const bench_options_t& options);
// Latencies in µs of calls of `work` in this process.
std::vector<double> time_calls(const std::function<void()>& work, const bench_options_t& options);

double median(std::vector<double> values);

// One line per figure: the daemon's median, the direct loop's median, the
// bare round trip, and what the daemon adds over the direct calls.
void print_figures(const std::string& name, const std::vector<double>& daemon_us,
                   const std::vector<double>& direct_us, const std::vector<double>& bare_us);

// Protocol-buffer varints: read_varint advances p past one (false when it
// runs past end or over 64 bits); put_varint writes one (at most 10 bytes)
// and answers its length.
bool read_varint(const uint8_t*& p, const uint8_t* end, uint64_t& value);
size_t put_varint(char* out, uint64_t value);

// Reads what a non-blocking socket holds into buffer[have..], doubling the
// buffer whenever fewer than `spare` bytes are free; false once the peer
// has closed or on an error.
bool read_available(int fd, std::vector<uint8_t>& buffer, size_t& have, size_t spare);
// Writes data[written..size) until all of it is written or the socket would
// block; false on an error.
bool write_pending(int fd, const void* data, size_t size, size_t& written);

} // namespace bench
