// PostgreSQL and MySQL/MariaDB latency: lookups and checks through the daemon
// against the daemon's driver calls made per lookup in this process (same
// server, same row), and a bare socket round trip of the same sizes, one
// connection, in one run. The servers are started here, on 127.0.0.1, and
// the connections kept (db_idle_timeout 60 s), as a deployment would.
//
//   velbo-bench-pq-mysql [-n ITERATIONS] [-w WARMUP] [--daemon PATH]
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <libpq-fe.h>
#include <mysql.h>

#include "bench_common.h"
#include "support/mariadb_server.h"
#include "support/pg_server.h"
#include "trawl_client.h"

namespace {

constexpr int user_count = 10000;
const std::string password = "bench-pw";

// INSERT statements of the rows: user<i>, example.org, user<i>@example.org.
std::string rows_sql()
{
    std::string sql = "INSERT INTO aliases VALUES ";
    for (int i = 0; i < user_count; ++i) {
        const std::string user = "user" + std::to_string(i);
        sql += (i ? ", ('" : "('") + user + "', 'example.org', '" + user + "@example.org')";
    }
    return sql;
}

void fill_pg(const velbo_test::pg_server_t& pg)
{
    pg.add_user("bench", password);
    pg.add_database("benchdb", "bench");
    pg.exec("SET ROLE bench; CREATE TABLE aliases (username text, domain text, alias text);"
            "CREATE INDEX by_user ON aliases (username, domain);" + rows_sql() + "; ANALYZE aliases",
            "benchdb");
}

void fill_mysql(const velbo_test::mariadb_server_t& my)
{
    my.exec("CREATE DATABASE benchdb; USE benchdb;"
            "CREATE TABLE aliases (username varchar(40), domain varchar(40), alias varchar(80),"
            " INDEX by_user (username, domain));" + rows_sql());
    my.add_user("bench", password, "benchdb");
}

// What the daemon's PostgreSQL driver does per lookup.
void pq_lookup(PGconn* conn, const char* text, const char* const* values, std::vector<std::string>& rows)
{
    rows.clear();
    const std::unique_ptr<PGresult, decltype(&PQclear)> result(
        PQexecParams(conn, text, 2, nullptr, values, nullptr, nullptr, 0), &PQclear);
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK)
        throw std::runtime_error(std::string("PQexecParams: ") + PQerrorMessage(conn));
    for (int i = 0, n = PQntuples(result.get()); i < n; ++i)
        rows.emplace_back(PQgetvalue(result.get(), i, 0), size_t(PQgetlength(result.get(), i, 0)));
}

// What the daemon's MySQL driver does per lookup: prepare, bind, execute,
// store, fetch, close.
void mysql_lookup(MYSQL* conn, const std::string& text, const std::string& user, const std::string& domain,
                  std::vector<std::string>& rows)
{
    rows.clear();
    const std::unique_ptr<MYSQL_STMT, decltype(&mysql_stmt_close)> statement(mysql_stmt_init(conn), &mysql_stmt_close);
    MYSQL_STMT* stmt = statement.get();
    if (!stmt || mysql_stmt_prepare(stmt, text.data(), text.size()))
        throw std::runtime_error(std::string("prepare: ") + mysql_error(conn));
    MYSQL_BIND in[2] = {};
    for (int i = 0; i < 2; ++i) {
        const std::string& value = i ? domain : user;
        in[i].buffer_type = MYSQL_TYPE_STRING;
        in[i].buffer = const_cast<char*>(value.data());
        in[i].buffer_length = value.size();
    }
    if (mysql_stmt_bind_param(stmt, in))
        throw std::runtime_error(std::string("bind: ") + mysql_stmt_error(stmt));
    const std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> metadata(mysql_stmt_result_metadata(stmt),
                                                                             &mysql_free_result);
    if (!metadata || mysql_stmt_execute(stmt))
        throw std::runtime_error(std::string("execute: ") + mysql_stmt_error(stmt));
    unsigned long length = 0;
    MYSQL_BIND out = {};
    out.buffer_type = MYSQL_TYPE_STRING;
    out.length = &length;
    if (mysql_stmt_bind_result(stmt, &out) || mysql_stmt_store_result(stmt))
        throw std::runtime_error(std::string("store: ") + mysql_stmt_error(stmt));
    for (;;) {
        out.buffer = nullptr;
        out.buffer_length = 0;
        const int fetched = mysql_stmt_fetch(stmt);
        if (fetched == MYSQL_NO_DATA)
            break;
        if (fetched != 0 && fetched != MYSQL_DATA_TRUNCATED)
            throw std::runtime_error(std::string("fetch: ") + mysql_stmt_error(stmt));
        std::string& value = rows.emplace_back(length + 1, '\0');
        out.buffer = &value[0];
        out.buffer_length = length;
        if (mysql_stmt_fetch_column(stmt, &out, 0, 0))
            throw std::runtime_error(std::string("fetch column: ") + mysql_stmt_error(stmt));
        value.resize(length);
    }
}

// The machine's load drifts during a run: the four series are measured in
// turns of a tenth each, so that every figure sees the same conditions.
struct series_t {
    std::vector<double> direct, bare, lookups, checks;
};

template <typename F>
void append(std::vector<double>& to, F&& measure)
{
    const std::vector<double> part = measure();
    to.insert(to.end(), part.begin(), part.end());
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const bench::bench_options_t options = bench::parse_options(argc, argv, "velbo-bench-pq-mysql");
        bench::bench_dir_t dir;
        velbo_test::pg_server_t pg;
        fill_pg(pg);
        velbo_test::mariadb_server_t my;
        fill_mysql(my);

        const std::string user = "user" + std::to_string(user_count / 2), domain = "example.org";
        const std::vector<std::string> expected = {user + "@example.org"};
        const std::string pq_conn = "tcp://bench:" + password + "@127.0.0.1:" + std::to_string(pg.port()) + "/benchdb";
        const std::string my_conn = "tcp://bench:" + password + "@127.0.0.1:" + std::to_string(my.port()) + "/benchdb";
        const std::string request = "SELECT alias FROM aliases WHERE username = $u AND domain = $d";
        bench::bench_daemon_t daemon(dir.path(),
                                     "db_idle_timeout: 60000\n"
                                     "pq { item { tag: \"aliases\" conn: \"" + pq_conn + "\" request: \"" + request +
                                         "\" } }\n"
                                     "mysql { item { tag: \"aliases\" conn: \"" + my_conn + "\" request: \"" +
                                         request + "\" } }\n",
                                     options.daemon);

        std::printf("One connection, %d requests after %d warm-up, %d rows in the table, servers on 127.0.0.1\n",
                    options.iterations, options.warmup, user_count);
        std::vector<std::string> rows;
        for (const lp::LookupType type : {lp::LOOKUP_PQ, lp::LOOKUP_MYSQL}) {
            const std::string name = type == lp::LOOKUP_PQ ? "pq" : "mysql";
            const std::string lookup = bench::frame_of(make_lookup_request(1, type, "aliases", user, domain));
            const std::string check = bench::frame_of(make_check_request(2, type, "aliases", expected[0], user, domain));
            bench::expect_answer(daemon.socket(), lookup, expected);
            if (!bench::expect_answer(daemon.socket(), check).result())
                throw std::runtime_error(name + ": the check answered false");
            bench::frame_conn_t probe(daemon.socket());
            const size_t response_size = probe.round_trip(lookup).size() + 4;

            constexpr int turns = 10;
            bench::bench_options_t turn = options;
            turn.iterations = std::max(1, options.iterations / turns);
            turn.warmup = std::max(1, options.warmup / turns);
            series_t series;
            std::function<void()> direct_call;
            std::shared_ptr<void> direct_conn;
            if (type == lp::LOOKUP_PQ) {
                const std::string conninfo = "host=127.0.0.1 port=" + std::to_string(pg.port()) +
                                             " user=bench dbname=benchdb password=" + password;
                PGconn* conn = PQconnectdb(conninfo.c_str());
                direct_conn.reset(conn, &PQfinish);
                if (PQstatus(conn) != CONNECTION_OK)
                    throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(conn));
                direct_call = [conn, &user, &domain, &rows]() {
                    const char* values[] = {user.c_str(), domain.c_str()};
                    pq_lookup(conn, "SELECT alias FROM aliases WHERE username = $1 AND domain = $2", values, rows);
                };
            } else {
                MYSQL* conn = mysql_init(nullptr);
                direct_conn.reset(conn, &mysql_close);
                if (!mysql_real_connect(conn, "127.0.0.1", "bench", password.c_str(), "benchdb", my.port(), nullptr, 0))
                    throw std::runtime_error(std::string("MariaDB: ") + mysql_error(conn));
                direct_call = [conn, &user, &domain, &rows]() {
                    mysql_lookup(conn, "SELECT alias FROM aliases WHERE username = ? AND domain = ?", user, domain,
                                 rows);
                };
            }
            for (int i = 0; i < turns; ++i) {
                append(series.direct, [&]() { return bench::time_calls(direct_call, turn); });
                if (rows != expected)
                    throw std::runtime_error(name + ": the direct lookup found other rows");
                append(series.bare, [&]() { return bench::time_bare_round_trips(lookup.size(), response_size, turn); });
                append(series.lookups, [&]() { return bench::time_requests(daemon.socket(), lookup, turn); });
                append(series.checks, [&]() { return bench::time_requests(daemon.socket(), check, turn); });
            }
            bench::print_figures(name + " lookup", series.lookups, series.direct, series.bare);
            bench::print_figures(name + " check", series.checks, series.direct, series.bare);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velbo-bench-pq-mysql: %s\n", e.what());
        return 1;
    }
}
