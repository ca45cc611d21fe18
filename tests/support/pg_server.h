// A PostgreSQL 15 server of a test's own, in a temporary directory: on
// 127.0.0.1 and ::1 with a free port and a UNIX socket, or on a UNIX socket only with
// port 5432 (libpq reaches a socket directory on the default port).
#pragma once

#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/test_files.h"

namespace velbo_test {

class pg_server_t {
public:
    enum mode_t { tcp_and_socket, socket_only };

    // Creates the cluster (superuser "postgres", local connections trusted,
    // TCP ones by password) and starts the server; throws when it cannot.
    explicit pg_server_t(mode_t mode = tcp_and_socket);
    // Stops the server immediately.
    ~pg_server_t();
    pg_server_t(const pg_server_t&) = delete;
    pg_server_t& operator=(const pg_server_t&) = delete;

    unsigned port() const { return port_; }
    // The directory of the UNIX socket, and the socket itself.
    const std::string& socket_dir() const { return socket_dir_; }
    std::string socket_path() const;

    // Runs statements as the superuser over the socket; throws on failure.
    void exec(const std::string& sql, const std::string& db = "postgres") const;
    // Column 0 of every row (NULL as "<null>").
    std::vector<std::string> query(const std::string& sql, const std::string& db = "postgres") const;
    // A role with a password (empty: none) and a database it owns.
    void add_user(const std::string& user, const std::string& password) const;
    void add_database(const std::string& db, const std::string& owner) const;
    // Lets the role connect over TCP without a password.
    void trust_tcp_user(const std::string& user);

    // Client backends of the role (pids), not counting the fixture's own.
    std::vector<std::string> backends_of(const std::string& user) const;
    // pg_terminate_backend for every backend of the role; returns how many.
    size_t terminate_backends(const std::string& user) const;

    // SIGKILL for every backend of the role, then waits until the server has
    // reinitialised after that crash and accepts connections again.
    void kill_backends(const std::string& user);

    // Fast shutdown (SIGINT), waiting for the exit.
    void stop();
    void start();
    void restart();
    // SIGSTOP and SIGCONT for the server and every process it started: a
    // server that holds its connections and never answers.
    void pause();
    void resume();

    temp_dir_t dir;

private:
    void write_hba();
    void wait_ready();

    mode_t mode_;
    unsigned port_ = 0;
    std::string data_dir_;
    std::string socket_dir_;
    std::vector<std::string> trusted_tcp_users_;
    server_process_t process_;
    bool paused_ = false;
};

} // namespace velbo_test
