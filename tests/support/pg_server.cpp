#include "support/pg_server.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/child_process.h"

namespace velbo_test {

namespace {

const std::string pg_bin = "/usr/lib/postgresql/15/bin/";

using pg_conn_ptr = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using pg_result_ptr = std::unique_ptr<PGresult, decltype(&PQclear)>;

void chown_to_postgres(const std::string& path)
{
    const passwd* pw = ::getpwnam("postgres");
    if (!pw)
        throw std::runtime_error("no user postgres");
    if (::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0)
        throw std::runtime_error("cannot chown " + path);
}

std::string quote_literal(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += '\'';
        out += c;
    }
    return out + "'";
}

std::string quote_ident(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

} // namespace

pg_server_t::pg_server_t(mode_t mode) : mode_(mode)
{
    data_dir_ = dir.file("data");
    socket_dir_ = dir.file("sock");
    for (const std::string& d : {data_dir_, socket_dir_}) {
        if (::mkdir(d.c_str(), 0755) != 0)
            throw std::runtime_error("cannot create " + d);
        chown_to_postgres(d);
    }
    const std::string pwfile = dir.write("pwfile", "postgres\n", 0644);
    const child_result_t init = run_program("/usr/sbin/runuser",
        {"runuser", "-u", "postgres", "--", pg_bin + "initdb", "-D", data_dir_, "-U", "postgres",
         "--auth-local=trust", "--auth-host=scram-sha-256", "--pwfile=" + pwfile, "--no-sync"},
        {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"}, 120);
    if (!init.exited || init.status != 0)
        throw std::runtime_error("initdb failed: " + describe(init));
    write_hba();
    start();
}

pg_server_t::~pg_server_t()
{
    if (paused_)
        resume();
    process_.stop(SIGQUIT, 10);
}

std::string pg_server_t::socket_path() const
{
    return socket_dir_ + "/.s.PGSQL." + std::to_string(port_);
}

void pg_server_t::write_hba()
{
    std::string hba = "local all all trust\n";
    for (const std::string& user : trusted_tcp_users_)
        for (const char* net : {"127.0.0.1/32", "::1/128"})
            hba += "host all " + quote_ident(user) + " " + net + " trust\n";
    hba += "host all all 127.0.0.1/32 scram-sha-256\n";
    hba += "host all all ::1/128 scram-sha-256\n";
    std::ofstream(data_dir_ + "/pg_hba.conf", std::ios::trunc) << hba;
}

void pg_server_t::trust_tcp_user(const std::string& user)
{
    trusted_tcp_users_.push_back(user);
    write_hba();
    exec("SELECT pg_reload_conf()");
    if (mode_ == socket_only)
        return;
    // The reload is asynchronous: wait until a connection without password
    // gets in (the role must exist).
    const std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port_) + " user=" + quote_literal(user) +
                                 " dbname=postgres password=''";
    for (int i = 0; i < 250; ++i) {
        pg_conn_ptr conn(PQconnectdb(conninfo.c_str()), &PQfinish);
        if (PQstatus(conn.get()) == CONNECTION_OK)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("the trust rule for " + user + " did not take effect");
}

void pg_server_t::start()
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<std::string> argv{pg_bin + "postgres", "-D", data_dir_, "-c", "unix_socket_directories=" + socket_dir_,
                                      "-c", "fsync=off", "-c", "full_page_writes=off", "-c", "max_connections=40",
                                      "-c", "shared_buffers=16MB"};
        if (mode_ == socket_only) {
            port_ = 5432;
            argv.insert(argv.end(), {"-c", "listen_addresses=", "-p", "5432"});
        } else {
            if (port_ == 0 || attempt > 0)
                port_ = free_tcp_port();
            argv.insert(argv.end(), {"-c", "listen_addresses=127.0.0.1,::1", "-p", std::to_string(port_)});
        }
        process_.start({"--reuid=postgres", "--regid=postgres", "--init-groups"}, argv, dir.file("server.log"));
        try {
            wait_ready();
            return;
        } catch (const std::exception&) {
            process_.stop(SIGKILL);
            if (mode_ == socket_only)
                throw;
        }
    }
    throw std::runtime_error("PostgreSQL did not start: " + read_file(dir.file("server.log")));
}

void pg_server_t::wait_ready()
{
    const std::string conninfo = "host=" + socket_dir_ + " port=" + std::to_string(port_) + " user=postgres dbname=postgres";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process_.running())
            throw std::runtime_error("PostgreSQL ended: " + read_file(dir.file("server.log")));
        if (PQping(conninfo.c_str()) == PQPING_OK) {
            // With TCP, also wait for its listener.
            if (mode_ == socket_only)
                return;
            const std::string tcp = "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=postgres";
            if (PQping(tcp.c_str()) == PQPING_OK)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("PostgreSQL not ready: " + read_file(dir.file("server.log")));
}

void pg_server_t::stop()
{
    if (paused_)
        resume();
    process_.stop(SIGINT);
}

void pg_server_t::restart()
{
    stop();
    start();
}

void pg_server_t::pause()
{
    if (!process_.running())
        throw std::logic_error("PostgreSQL does not run");
    stop_and_wait(process_.pid());
    for (pid_t child : child_pids(process_.pid()))
        stop_and_wait(child);
    paused_ = true;
}

void pg_server_t::resume()
{
    for (pid_t child : child_pids(process_.pid()))
        ::kill(child, SIGCONT);
    ::kill(process_.pid(), SIGCONT);
    paused_ = false;
}

std::vector<std::string> pg_server_t::query(const std::string& sql, const std::string& db) const
{
    const std::string conninfo = "host=" + socket_dir_ + " port=" + std::to_string(port_) +
                                 " user=postgres dbname=" + quote_literal(db);
    pg_conn_ptr conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to PostgreSQL: " + std::string(PQerrorMessage(conn.get())));
    pg_result_ptr result(PQexec(conn.get(), sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
    std::vector<std::string> rows;
    if (status == PGRES_TUPLES_OK)
        for (int i = 0; i < PQntuples(result.get()); ++i)
            rows.push_back(PQgetisnull(result.get(), i, 0) ? "<null>" : PQgetvalue(result.get(), i, 0));
    return rows;
}

void pg_server_t::exec(const std::string& sql, const std::string& db) const
{
    query(sql, db);
}

void pg_server_t::add_user(const std::string& user, const std::string& password) const
{
    exec("CREATE ROLE " + quote_ident(user) + " LOGIN" + (password.empty() ? "" : " PASSWORD " + quote_literal(password)));
}

void pg_server_t::add_database(const std::string& db, const std::string& owner) const
{
    exec("CREATE DATABASE " + quote_ident(db) + " OWNER " + quote_ident(owner));
}

std::vector<std::string> pg_server_t::backends_of(const std::string& user) const
{
    return query("SELECT pid FROM pg_stat_activity WHERE backend_type = 'client backend' AND pid <> pg_backend_pid() "
                 "AND usename = " + quote_literal(user));
}

size_t pg_server_t::terminate_backends(const std::string& user) const
{
    return query("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE backend_type = 'client backend' "
                 "AND pid <> pg_backend_pid() AND usename = " + quote_literal(user)).size();
}

void pg_server_t::kill_backends(const std::string& user)
{
    const std::string ready = "database system is ready to accept connections";
    const size_t before = count_of(read_file(dir.file("server.log")), ready);
    for (const std::string& pid : backends_of(user))
        ::kill(pid_t(std::stol(pid)), SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (count_of(read_file(dir.file("server.log")), ready) == before) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("PostgreSQL did not recover: " + read_file(dir.file("server.log")));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace velbo_test
