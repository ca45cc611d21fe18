// A MariaDB server of a test's own, in a temporary directory, on 127.0.0.1
// and ::1 with a free port and on a UNIX socket.
#pragma once

#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/test_files.h"

namespace velbo_test {

class mariadb_server_t {
public:
    // Creates the data directory (root without password over the socket) and
    // starts the server; throws when it cannot.
    mariadb_server_t();
    // Kills the server.
    ~mariadb_server_t();
    mariadb_server_t(const mariadb_server_t&) = delete;
    mariadb_server_t& operator=(const mariadb_server_t&) = delete;

    unsigned port() const { return port_; }
    const std::string& socket_path() const { return socket_path_; }

    // Runs statements as root over the socket; throws on failure.
    void exec(const std::string& sql) const;
    // Column 0 of every row of the last statement (NULL as "<null>").
    std::vector<std::string> query(const std::string& sql) const;
    // Accounts for 127.0.0.1, ::1 and localhost (the socket), with the
    // password (empty: none), allowed everything on the database.
    void add_user(const std::string& user, const std::string& password, const std::string& db) const;

    // Connection ids of the account's sessions.
    std::vector<std::string> connections_of(const std::string& user) const;
    // KILL CONNECTION for every session of the account; returns how many.
    size_t kill_connections(const std::string& user) const;

    // SIGTERM, waiting for the exit.
    void stop();
    void start();
    void restart();
    // SIGSTOP and SIGCONT: a server that holds its connections and never
    // answers.
    void pause();
    void resume();

    temp_dir_t dir;

private:
    void wait_ready();

    unsigned port_ = 0;
    std::string data_dir_;
    std::string socket_path_;
    std::string tmp_dir_;
    server_process_t process_;
    bool paused_ = false;
};

// A quoted MariaDB string literal.
std::string mariadb_literal(const std::string& text);

} // namespace velbo_test
