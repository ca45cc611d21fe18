// A real Redis 7 server for tests, in a temporary directory: a plain port on
// 127.0.0.1, a UNIX socket and a TLS port with a throwaway CA; and a server
// that accepts connections and never answers.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "support/test_files.h"

struct redisContext;

namespace velbo_test {

// A CA with a server certificate (localhost, 127.0.0.1, ::1) and a client
// certificate, the CA in a hashed directory of its own, and a second CA that
// signed neither. Made with the openssl command in dir.
struct redis_tls_files_t {
    explicit redis_tls_files_t(const std::string& dir);

    std::string ca_cert;
    std::string ca_dir;
    std::string server_cert;
    std::string server_key;
    std::string client_cert;
    std::string client_key;
    std::string other_ca_cert;
};

struct redis_options_t {
    bool require_client_certs = false;  // --tls-auth-clients yes
    std::string password;               // --requirepass, when not empty
};

class redis_server_t {
public:
    // Starts the server; throws std::runtime_error when it does not come up.
    explicit redis_server_t(redis_options_t options = {});
    ~redis_server_t();
    redis_server_t(const redis_server_t&) = delete;
    redis_server_t& operator=(const redis_server_t&) = delete;

    // Stops with SIGTERM and starts again on the same ports and socket
    // (the data is not kept).
    void restart();
    // SIGSTOP and SIGCONT: a server that holds its connections and never
    // answers.
    void pause();
    void resume();

    // One command over the UNIX socket (authenticated when a password is
    // set); an error reply throws std::runtime_error. Arrays are returned
    // as their elements, one per line.
    std::string command(const std::vector<std::string>& args);

    // CLIENT KILL for every client but monitors and this call's own.
    // Returns how many were killed.
    int kill_clients();

    // "tcp://" or "unix://" connection strings of this server, with an
    // optional user part and database.
    std::string tcp_conn(const std::string& user = "", const std::string& db = "") const;
    std::string tls_conn(const std::string& user = "", const std::string& db = "") const;
    std::string unix_conn(const std::string& db = "") const;

    const redis_tls_files_t& tls() const { return *tls_files; }

    temp_dir_t dir;
    int port = 0;
    int tls_port = 0;
    std::string socket_path;

private:
    void start();
    void stop();
    bool try_start();

    redis_options_t options;
    std::unique_ptr<redis_tls_files_t> tls_files;
    pid_t pid = -1;
    bool paused = false;
    // One connection for command(), opened on first use.
    std::unique_ptr<redisContext, void (*)(redisContext*)> admin{nullptr, nullptr};
};

// A MONITOR connection: everything the server executes from now on.
class redis_monitor_t {
public:
    explicit redis_monitor_t(const redis_server_t& server, const std::string& password = "");
    ~redis_monitor_t();
    redis_monitor_t(const redis_monitor_t&) = delete;
    redis_monitor_t& operator=(const redis_monitor_t&) = delete;

    // Waits until the monitored text holds text; returns whether it does.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // What was seen so far: one "+<time> [<db> <client>] "<cmd>" ..." line
    // per command.
    const std::string& seen() const { return text; }

private:
    bool read_more(std::chrono::milliseconds timeout);

    int fd = -1;
    std::string text;
};

} // namespace velbo_test
