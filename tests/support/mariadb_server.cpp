#include "support/mariadb_server.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <stdexcept>
#include <thread>

#include <mysql.h>
#include <sys/stat.h>

#include "support/child_process.h"

namespace velbo_test {

namespace {

using mysql_ptr = std::unique_ptr<MYSQL, decltype(&mysql_close)>;
using mysql_result_ptr = std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)>;

mysql_ptr connect_root(const std::string& socket, std::string& error)
{
    mysql_ptr conn(mysql_init(nullptr), &mysql_close);
    if (!conn)
        throw std::runtime_error("mysql_init failed");
    const unsigned timeout = 5;
    mysql_optionsv(conn.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(conn.get(), nullptr, "root", "", nullptr, 0, socket.c_str(), CLIENT_MULTI_STATEMENTS)) {
        error = mysql_error(conn.get());
        conn.reset();
    }
    return conn;
}

} // namespace

std::string mariadb_literal(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += c == '\\' ? '\\' : '\'';
        out += c;
    }
    return out + "'";
}

mariadb_server_t::mariadb_server_t()
{
    data_dir_ = dir.file("data");
    socket_path_ = dir.file("mysqld.sock");
    // Temporary tables of concurrent servers must not meet in /tmp.
    tmp_dir_ = dir.file("tmp");
    if (::mkdir(tmp_dir_.c_str(), 0700) != 0)
        throw std::runtime_error("cannot create " + tmp_dir_);
    const child_result_t init = run_program("/usr/bin/mariadb-install-db",
        {"mariadb-install-db", "--no-defaults", "--user=root", "--datadir=" + data_dir_,
         "--auth-root-authentication-method=normal", "--skip-test-db", "--tmpdir=" + tmp_dir_},
        {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, 120);
    if (!init.exited || init.status != 0)
        throw std::runtime_error("mariadb-install-db failed: " + describe(init));
    start();
}

mariadb_server_t::~mariadb_server_t()
{
    process_.stop(SIGKILL);
}

void mariadb_server_t::start()
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (port_ == 0 || attempt > 0)
            port_ = free_tcp_port();
        process_.start({}, {"/usr/sbin/mariadbd", "--no-defaults", "--user=root", "--datadir=" + data_dir_,
                            "--tmpdir=" + tmp_dir_, "--socket=" + socket_path_, "--port=" + std::to_string(port_),
                            "--bind-address=127.0.0.1,::1",
                            "--skip-name-resolve", "--skip-log-bin", "--innodb-buffer-pool-size=32M",
                            "--innodb-log-file-size=8M", "--pid-file=" + dir.file("mysqld.pid"),
                            "--log-error=" + dir.file("server.log")},
                       dir.file("server.out"));
        try {
            wait_ready();
            return;
        } catch (const std::exception&) {
            process_.stop(SIGKILL);
        }
    }
    throw std::runtime_error("MariaDB did not start: " + read_file(dir.file("server.log")));
}

void mariadb_server_t::wait_ready()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string error;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process_.running())
            throw std::runtime_error("MariaDB ended");
        if (connect_root(socket_path_, error)) {
            // The TCP listener is up together with the socket.
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("MariaDB not ready: " + error);
}

void mariadb_server_t::stop()
{
    if (paused_)
        resume();
    process_.stop(SIGTERM);
}

void mariadb_server_t::restart()
{
    stop();
    start();
}

void mariadb_server_t::pause()
{
    if (!process_.running())
        throw std::logic_error("MariaDB does not run");
    stop_and_wait(process_.pid());
    paused_ = true;
}

void mariadb_server_t::resume()
{
    ::kill(process_.pid(), SIGCONT);
    paused_ = false;
}

std::vector<std::string> mariadb_server_t::query(const std::string& sql) const
{
    std::string error;
    mysql_ptr conn = connect_root(socket_path_, error);
    if (!conn)
        throw std::runtime_error("cannot connect to MariaDB: " + error);
    if (mysql_real_query(conn.get(), sql.data(), sql.size()) != 0)
        throw std::runtime_error(sql + ": " + mysql_error(conn.get()));
    std::vector<std::string> rows;
    for (;;) {
        mysql_result_ptr result(mysql_store_result(conn.get()), &mysql_free_result);
        if (result) {
            rows.clear();
            while (MYSQL_ROW row = mysql_fetch_row(result.get()))
                rows.push_back(row[0] ? row[0] : "<null>");
        } else if (mysql_field_count(conn.get()) != 0) {
            throw std::runtime_error(sql + ": " + mysql_error(conn.get()));
        }
        const int next = mysql_next_result(conn.get());
        if (next > 0)
            throw std::runtime_error(sql + ": " + mysql_error(conn.get()));
        if (next < 0)
            break;
    }
    return rows;
}

void mariadb_server_t::exec(const std::string& sql) const
{
    query(sql);
}

void mariadb_server_t::add_user(const std::string& user, const std::string& password, const std::string& db) const
{
    for (const char* host : {"127.0.0.1", "::1", "localhost"}) {
        const std::string account = mariadb_literal(user) + "@" + mariadb_literal(host);
        exec("CREATE USER " + account + (password.empty() ? "" : " IDENTIFIED BY " + mariadb_literal(password)) +
             "; GRANT ALL ON `" + db + "`.* TO " + account);
    }
}

std::vector<std::string> mariadb_server_t::connections_of(const std::string& user) const
{
    return query("SELECT id FROM information_schema.processlist WHERE user = " + mariadb_literal(user));
}

size_t mariadb_server_t::kill_connections(const std::string& user) const
{
    const std::vector<std::string> ids = connections_of(user);
    for (const std::string& id : ids)
        exec("KILL CONNECTION " + id);
    return ids.size();
}

} // namespace velbo_test
