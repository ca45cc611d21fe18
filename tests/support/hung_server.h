// A TCP server on 127.0.0.1 that accepts connections and never answers:
// a database that hangs.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace velbo_test {

class hung_server_t {
public:
    // Listens on a free port and accepts in a thread of its own.
    hung_server_t();
    // Closes the listener and every accepted connection.
    ~hung_server_t();
    hung_server_t(const hung_server_t&) = delete;
    hung_server_t& operator=(const hung_server_t&) = delete;

    unsigned port() const { return port_; }
    // Connections accepted so far.
    size_t accepted() const { return accepted_.load(); }

private:
    void run();

    int listener_ = -1;
    int stop_pipe_[2] = {-1, -1};
    unsigned port_ = 0;
    std::atomic<size_t> accepted_{0};
    std::vector<int> connections_;
    std::thread thread_;
};

} // namespace velbo_test
