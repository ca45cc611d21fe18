// A TCP relay on 127.0.0.1 in front of a server: the network in between (a
// firewall, a load balancer). It passes bytes on both ways and, when told,
// cuts the connections it carries part-way through what the server sends.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace velbo_test {

class tcp_relay_t {
public:
    // Listens on a free port; each connection accepted gets one to
    // 127.0.0.1:target_port. Relays in a thread of its own.
    explicit tcp_relay_t(unsigned target_port);
    // Closes the listener and every connection.
    ~tcp_relay_t();
    tcp_relay_t(const tcp_relay_t&) = delete;
    tcp_relay_t& operator=(const tcp_relay_t&) = delete;

    unsigned port() const { return port_; }
    // Once `bytes` more bytes from the server have been passed on, closes
    // every connection (both sides) and drops what the server sent beyond.
    void cut_after(size_t bytes);
    // Connections accepted, and connections cut, so far.
    size_t accepted() const { return accepted_.load(); }
    size_t cut() const { return cut_.load(); }

private:
    struct pair_t {
        int client;
        int server;
    };

    void run();
    // Passes what `from` holds on to `to`; false when the pair is done.
    bool pass(int from, int to, bool from_server);
    void close_all();

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    unsigned port_ = 0;
    unsigned target_port_ = 0;
    std::atomic<size_t> accepted_{0};
    std::atomic<size_t> cut_{0};
    std::mutex mutex_;
    bool armed_ = false;
    size_t budget_ = 0;
    std::vector<pair_t> pairs_;  // the relay thread's
    std::thread thread_;
};

} // namespace velbo_test
