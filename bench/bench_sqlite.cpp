// SQLite latency: lookups and checks through the daemon against the same
// SQLite calls made per request in this process (same file, same row), and
// a bare socket round trip of the same sizes, one connection, in one run.
// Connections are kept (db_idle_timeout 60 s), as a deployment would.
//
//   velbo-bench-sqlite [-n ITERATIONS] [-w WARMUP] [--daemon PATH]
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "bench_common.h"
#include "trawl_client.h"

namespace {

constexpr int user_count = 10000;
const char* const request_text = "SELECT alias FROM aliases WHERE user = ? AND domain = ?";

using db_ptr = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

db_ptr open_db(const std::string& path, int flags)
{
    sqlite3* raw = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    db_ptr db(raw, &sqlite3_close);
    if (result != SQLITE_OK)
        throw std::runtime_error("cannot open " + path + ": " + sqlite3_errstr(result));
    return db;
}

void make_db(const std::string& path)
{
    const db_ptr db = open_db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    std::string sql = "CREATE TABLE aliases (user TEXT, domain TEXT, alias TEXT);"
                      "CREATE INDEX by_user ON aliases (user, domain);BEGIN;";
    for (int i = 0; i < user_count; ++i) {
        const std::string user = "user" + std::to_string(i);
        sql += "INSERT INTO aliases VALUES ('" + user + "', 'example.org', '" + user + "@example.org');";
    }
    sql += "COMMIT;";
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("cannot fill the database: ") + sqlite3_errmsg(db.get()));
}

// What the daemon's driver does per request: prepare, bind, step, finalize.
void direct_lookup(sqlite3* db, const std::string& user, const std::string& domain, std::vector<std::string>& rows)
{
    rows.clear();
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, request_text, -1, &raw, nullptr) != SQLITE_OK)
        throw std::runtime_error("prepare failed");
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);
    sqlite3_bind_text(raw, 1, user.data(), static_cast<int>(user.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, domain.data(), static_cast<int>(domain.size()), SQLITE_TRANSIENT);
    int result;
    while ((result = sqlite3_step(raw)) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        rows.emplace_back(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(raw, 0)));
    }
    if (result != SQLITE_DONE)
        throw std::runtime_error("step failed");
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const bench::bench_options_t options = bench::parse_options(argc, argv, "velbo-bench-sqlite");
        bench::bench_dir_t dir;
        const std::string path = dir.file("aliases.db");
        make_db(path);

        const std::string user = "user" + std::to_string(user_count / 2), domain = "example.org";
        const std::vector<std::string> expected = {user + "@example.org"};

        bench::bench_daemon_t daemon(dir.path(),
                                     "db_idle_timeout: 60000\nsqlite { item { tag: \"aliases\" conn: \"file://" + path +
                                         "\" request: \"SELECT alias FROM aliases WHERE user = $u AND "
                                         "domain = $d\" } }\n",
                                     options.daemon);
        const std::string lookup = bench::frame_of(make_lookup_request(1, lp::LOOKUP_SQLITE, "aliases", user, domain));
        const std::string check =
            bench::frame_of(make_check_request(2, lp::LOOKUP_SQLITE, "aliases", expected[0], user, domain));
        bench::expect_answer(daemon.socket(), lookup, expected);
        if (!bench::expect_answer(daemon.socket(), check).result())
            throw std::runtime_error("the check answered false");
        bench::frame_conn_t probe(daemon.socket());
        const size_t response_size = probe.round_trip(lookup).size() + 4;

        std::printf("SQLite, one connection, %d requests after %d warm-up, %d rows in the table\n",
                    options.iterations, options.warmup, user_count);
        const db_ptr db = open_db(path, SQLITE_OPEN_READWRITE);
        std::vector<std::string> rows;
        const auto direct = bench::time_calls([&]() { direct_lookup(db.get(), user, domain, rows); }, options);
        if (rows != expected)
            throw std::runtime_error("the direct lookup found other rows");
        const auto bare = bench::time_bare_round_trips(lookup.size(), response_size, options);
        const auto daemon_lookups = bench::time_requests(daemon.socket(), lookup, options);
        const auto daemon_checks = bench::time_requests(daemon.socket(), check, options);
        bench::print_figures("sqlite lookup", daemon_lookups, direct, bare);
        bench::print_figures("sqlite check", daemon_checks, direct, bare);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velbo-bench-sqlite: %s\n", e.what());
        return 1;
    }
}
