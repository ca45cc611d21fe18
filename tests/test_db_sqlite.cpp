// The SQLite back-end through the real daemon, on database files the tests
// create.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <stdexcept>
#include <thread>

#include <sqlite3.h>

#include "support/daemon_db_fixture.h"

namespace {

constexpr auto SQLITE = lp::LOOKUP_SQLITE;

// A database file made from SQL text.
std::string make_db(const std::string& path, const std::string& sql)
{
    sqlite3* raw = nullptr;
    if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK)
        throw std::runtime_error("cannot create " + path);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    char* error = nullptr;
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error("cannot run SQL on " + path + ": " + text);
    }
    return path;
}

const char* const mail_sql =
    "CREATE TABLE aliases (user TEXT, domain TEXT, alias TEXT);"
    "INSERT INTO aliases VALUES ('alice', 'ex.org', 'al@ex.org'), ('alice', 'ex.org', 'alice@ex.org'),"
    "  ('alice', 'other.org', 'a@other.org'), ('bob', 'ex.org', 'bob@ex.org'),"
    "  ('x'' OR ''1''=''1', 'ex.org', 'quoted');"
    "CREATE TABLE mixed (k TEXT, v);"
    "INSERT INTO mixed VALUES ('m', 'text'), ('m', 42), ('m', NULL), ('m', 2.5), ('m', ''), ('m', '  padded ');";

class SqliteTest : public db_fixture_t {
protected:
    std::string db_path() { return make_db(path_of("mail.db"), mail_sql); }

    db_tag_t tag(const std::string& name, const std::string& request, std::optional<std::string> conn = {})
    {
        if (!conn) {
            if (file.empty())
                file = db_path();
            conn = "file://" + file;
        }
        return db_tag_t{SQLITE, name, conn, request, std::nullopt};
    }

    std::string file;
};

TEST_F(SqliteTest, LookupsAndChecksAnswerFromTheFirstColumn)
{
    start({tag("aliases", "SELECT alias, user FROM aliases WHERE user = $u AND domain = $d ORDER BY alias"),
           tag("mixed", "SELECT v FROM mixed WHERE k = 'm' ORDER BY rowid"),
           tag("none", "SELECT alias FROM aliases WHERE user = 'nobody'")});
    EXPECT_EQ(lookup(SQLITE, "aliases", "alice", "ex.org"), (std::vector<std::string>{"al@ex.org", "alice@ex.org"}));
    EXPECT_EQ(lookup(SQLITE, "aliases", "alice", "other.org"), (std::vector<std::string>{"a@other.org"}));
    EXPECT_EQ(lookup(SQLITE, "mixed"), (std::vector<std::string>{"text", "42", "", "2.5", "", "  padded "}));
    EXPECT_TRUE(lookup(SQLITE, "none").empty());

    EXPECT_TRUE(check(SQLITE, "aliases", "alice@ex.org", "alice", "ex.org"));
    EXPECT_FALSE(check(SQLITE, "aliases", "ALICE@ex.org", "alice", "ex.org"));
    EXPECT_FALSE(check(SQLITE, "aliases", "alice@ex.org", "alice", "other.org"));
    EXPECT_TRUE(check(SQLITE, "mixed", "  padded "));
    EXPECT_FALSE(check(SQLITE, "mixed", "padded"));
    EXPECT_FALSE(check(SQLITE, "none", ""));
}

TEST_F(SqliteTest, TemplatesBindPlaceholdersInOrder)
{
    start({tag("both", "SELECT $u || '|' || $D"),
           tag("reversed", "SELECT $d || '|' || $U"),
           tag("dollars", "SELECT '$$u' || ' ' || '$$' || ' cost $x $'"),
           tag("blank", "  \t "),
           tag("injection", "SELECT alias FROM aliases WHERE user = $u"),
           db_tag_t{SQLITE, "no-request", "file://" + file, std::nullopt, std::nullopt}});
    EXPECT_EQ(lookup(SQLITE, "both", "alice", "ex.org"), std::vector<std::string>{"alice|ex.org"});
    EXPECT_EQ(lookup(SQLITE, "reversed", "alice", "ex.org"), std::vector<std::string>{"ex.org|alice"});
    EXPECT_EQ(lookup(SQLITE, "dollars", "alice"), std::vector<std::string>{"$u $ cost $x $"});

    // A value is bound, never part of the statement.
    EXPECT_EQ(lookup(SQLITE, "injection", "x' OR '1'='1"), std::vector<std::string>{"quoted"});
    EXPECT_TRUE(lookup(SQLITE, "injection", "nobody' OR '1'='1").empty());
    EXPECT_EQ(lookup(SQLITE, "both", "a'); DROP TABLE aliases; --", "d"),
              std::vector<std::string>{"a'); DROP TABLE aliases; --|d"});
    EXPECT_EQ(lookup(SQLITE, "injection", "bob"), std::vector<std::string>{"bob@ex.org"});

    for (const char* name : {"blank", "no-request"}) {
        const size_t mark = log_mark();
        EXPECT_EQ(error_of(ask_lookup(SQLITE, name)), qv::EC_BAD_CONFIG) << name;
        EXPECT_NE(log_since(mark).find(std::string("Error: Datasource [") + name +
                                       ".sqlite]: Mandatory \"Request\" parameter is not specified"),
                  std::string::npos)
            << log_since(mark);
    }

    // Values in Debug lines are escaped.
    const size_t mark = log_mark();
    EXPECT_EQ(lookup(SQLITE, "both", "eve\nError: forged", "d\x01"),
              std::vector<std::string>{"eve\nError: forged|d\x01"});
    EXPECT_NE(log_since(mark).find("$u placeholder found, user = \"eve\\nError: forged\""), std::string::npos)
        << log_since(mark);
    EXPECT_NE(log_since(mark).find("$d placeholder found, domain = \"d\\x01\""), std::string::npos);
}

TEST_F(SqliteTest, RequestFailuresGiveTheirCodes)
{
    start({tag("syntax", "SELEC alias FROM aliases"),
           tag("no-table", "SELECT x FROM missing"),
           tag("no-rows", "UPDATE aliases SET alias = alias WHERE 0"),
           tag("comment", "-- nothing to run"),
           tag("block-comment", "/* nothing */ ;"),
           tag("comment-user", "-- $u"),
           tag("semicolon", " ; "),
           tag("good", "SELECT alias FROM aliases WHERE user = 'bob'")});
    struct case_t {
        const char* tag;
        int code;
        std::string message;
    };
    // Text without a statement: binding or stepping it is a misuse.
    const std::string misuse = sqlite3_errstr(SQLITE_MISUSE);
    const std::vector<case_t> cases = {
        {"syntax", qv::EC_DB_COMMON_ERROR, "Cannot prepare the request: SQL logic error"},
        {"no-table", qv::EC_DB_COMMON_ERROR, "Cannot prepare the request: SQL logic error"},
        {"no-rows", 0, ""},
        {"comment", qv::EC_DB_COMMON_ERROR, "Cannot execute the request: " + misuse},
        {"block-comment", qv::EC_DB_COMMON_ERROR, "Cannot execute the request: " + misuse},
        {"comment-user", qv::EC_DB_COMMON_ERROR, "Cannot bind the variable: " + misuse},
        {"semicolon", qv::EC_DB_COMMON_ERROR, "Cannot execute the request: " + misuse},
    };
    for (const case_t& c : cases) {
        const size_t mark = log_mark();
        const lp::ServerMessage response = ask_lookup(SQLITE, c.tag);
        EXPECT_EQ(error_of(response), c.code) << c.tag;
        EXPECT_EQ(response.data_size(), 0) << c.tag;
        if (c.message.empty()) {
            EXPECT_EQ(log_since(mark).find("Error: "), std::string::npos) << log_since(mark);
        } else {
            EXPECT_NE(log_since(mark).find(std::string("Error: Datasource [") + c.tag + ".sqlite]: " + c.message),
                      std::string::npos)
                << log_since(mark);
        }
        const lp::ServerMessage checked = ask_check(SQLITE, c.tag, "");
        EXPECT_EQ(error_of(checked), c.code) << c.tag;
        EXPECT_FALSE(checked.result()) << c.tag;
    }
    EXPECT_EQ(lookup(SQLITE, "good"), std::vector<std::string>{"bob@ex.org"});
}

TEST_F(SqliteTest, ConnectionStringsThroughTheDaemon)
{
    db_path();
    struct case_t {
        std::string conn;
        int code;
        std::string message;
    };
    const std::string file_conn = "file://" + path_of("mail.db");
    const std::string odd = make_db(path_of("mail%4%00.db"), "");
    const std::vector<case_t> cases = {
        {"tcp://", qv::EC_BAD_CONFIG, "Debug: Datasource [c0.sqlite]: Use TCP 127.0.0.1:0\n"},
        {"tcp://", qv::EC_BAD_CONFIG, "Error: Datasource [c1.sqlite]: Only \"file://\" schema prefix allowed\n"},
        {"tcp://u%20x:p%40w@[::1]:65535/db?k=1&k=1", qv::EC_BAD_CONFIG, "Use TCP [::1]:65535\n"},
        {"tcp://h:65536", qv::EC_BAD_CONFIG, "Error: Datasource [c3.sqlite]: Port number is invalid\n"},
        {"tcp://h:4294967296", qv::EC_BAD_CONFIG, "Port number is invalid\n"},
        {"tcp://h?k=1&k=2", qv::EC_BAD_CONFIG, "Multiple parameter \"k\" found in connection URI\n"},
        {"tcp://h?hostaddr=1", qv::EC_BAD_CONFIG, "Cannot use parameter \"hostaddr\" in connection URI\n"},
        {"mysql://h", qv::EC_BAD_CONFIG,
         "Only \"file://\", \"tcp://\" and \"unix://\" schema prefixes are allowed\n"},
        {"unix://sock", qv::EC_BAD_CONFIG, "Path to UNIX socket \"sock\" must be absolute\n"},
        {"file://mail.db", qv::EC_BAD_CONFIG, "Path to database file \"mail.db\" must be absolute\n"},
        {"file://" + path_of("missing.db"), qv::EC_BAD_CONFIG,
         "Cannot read file \"" + path_of("missing.db") + "\": No such file or directory\n"},
        {"tcp://u%zz@h", qv::EC_UNEXPECTED_ERROR, "Cannot retrieve data from database: Unexpected error\n"},
        // A truncated escape and a NUL byte too, before the scheme is checked.
        {"tcp://u%4@h", qv::EC_UNEXPECTED_ERROR, "Cannot retrieve data from database: Unexpected error\n"},
        {"tcp://u%00x@h", qv::EC_UNEXPECTED_ERROR, "Cannot retrieve data from database: Unexpected error\n"},
        // A path is not decoded: "%" is part of the file's name, a NUL byte
        // would cut it.
        {"file://" + odd, 0, "Use FILE " + odd + "\n"},
        {file_conn + std::string("\0x", 2), qv::EC_UNEXPECTED_ERROR,
         "Cannot retrieve data from database: Unexpected error\n"},
        {"tcp://bob:pa@ss@h/db", qv::EC_BAD_CONFIG, "Host name is invalid\n"},
        // Too complex for the pattern matcher (found by fuzzing).
        {std::string("tcp://p\xdd" "\x00" "\xba" "u@\x0e" "\x00" "\x00" "\x00" "\x00" "\x00" "[\x87" "\x87" "\x87" "\x87" "\x87" "\x87" "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\x87" "\x87" "\x87" "\x87" "\x87" "fxxq\x87" "\x87" "\x87" "\x87" "\x87" "\x87" "@[::\x87" "\x87" "\x87" "\x87" "\x87" "\x87" "@[::/]\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" "\xf3" ":/2", 136), qv::EC_UNEXPECTED_ERROR,
         "Cannot retrieve data from database: Unexpected error\n"},
        {file_conn, 0, ""},
    };
    std::vector<db_tag_t> tags;
    for (size_t i = 0; i < cases.size(); ++i)
        tags.push_back(db_tag_t{SQLITE, "c" + std::to_string(i), cases[i].conn, "SELECT 'ok'", std::nullopt});
    // Without conn the default applies; an empty default fails.
    tags.push_back(db_tag_t{SQLITE, "default", std::nullopt, "SELECT 'ok'", std::nullopt});
    start(tags);
    for (size_t i = 0; i < cases.size(); ++i) {
        const size_t mark = log_mark();
        const std::string name = "c" + std::to_string(i);
        EXPECT_EQ(error_of(ask_lookup(SQLITE, name)), cases[i].code) << cases[i].conn;
        EXPECT_NE(log_since(mark).find(cases[i].message), std::string::npos) << cases[i].conn << "\n"
                                                                             << log_since(mark);
    }
    EXPECT_EQ(log().find("pa@ss"), std::string::npos);
    EXPECT_EQ(log().find("ss@h"), std::string::npos);
    size_t mark = log_mark();
    EXPECT_EQ(error_of(ask_lookup(SQLITE, "default")), qv::EC_BAD_CONFIG);
    EXPECT_NE(log_since(mark).find("Error: Datasource [default.sqlite]: Mandatory \"Conn\" parameter is not specified"),
              std::string::npos);
    reconfigure(tags, "sqlite_default_conn: " + config_literal(file_conn) + "\n");
    EXPECT_EQ(lookup(SQLITE, "default"), std::vector<std::string>{"ok"});
}

TEST_F(SqliteTest, AFailedParseIsRepeatedUntilItSucceedsThenKept)
{
    const std::string later = path_of("later.db");
    start({tag("later", "SELECT 'here'", "file://" + later)}, "db_idle_timeout: 60000\n");
    const std::string failure = "Cannot read file \"" + later + "\"";
    size_t mark = log_mark();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(error_of(ask_lookup(SQLITE, "later")), qv::EC_BAD_CONFIG);
    EXPECT_EQ(count_of(log_since(mark), failure), 2u) << log_since(mark);

    make_db(later, "CREATE TABLE t (v TEXT);");
    mark = log_mark();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lookup(SQLITE, "later"), std::vector<std::string>{"here"});
    EXPECT_EQ(count_of(log_since(mark), "resolved to"), 1u) << log_since(mark);
    EXPECT_EQ(count_of(log_since(mark), "Use FILE " + later), 1u);

    // A new configuration parses again.
    reconfigure({tag("later", "SELECT 'here'", "file://" + later)}, "db_idle_timeout: 60000\n");
    mark = log_mark();
    EXPECT_EQ(lookup(SQLITE, "later"), std::vector<std::string>{"here"});
    EXPECT_EQ(count_of(log_since(mark), "resolved to"), 1u);
}

TEST_F(SqliteTest, FilesThatCannotBeOpened)
{
    // The run-as user may not read a file owned by root with mode 0600.
    run_as_uid = 65534;
    const std::string closed = make_db(path_of("closed.db"), "CREATE TABLE t (v TEXT);");
    ASSERT_EQ(chmod(closed.c_str(), 0600), 0);
    const std::string open = make_db(path_of("open.db"), "CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('v');");
    ASSERT_EQ(chmod(open.c_str(), 0644), 0);
    start({tag("closed", "SELECT v FROM t", "file://" + closed), tag("open", "SELECT v FROM t", "file://" + open)});
    size_t mark = log_mark();
    EXPECT_EQ(error_of(ask_lookup(SQLITE, "closed")), qv::EC_DB_OPEN_ERROR);
    EXPECT_NE(log_since(mark).find("Error: Datasource [closed.sqlite]: Cannot connect to database: unable to open "
                                   "database file"),
              std::string::npos)
        << log_since(mark);

    // A file that vanished after its path was resolved is not created again
    // (db_idle_timeout 0: a new connection for every request).
    EXPECT_EQ(lookup(SQLITE, "open"), std::vector<std::string>{"v"});
    ASSERT_EQ(unlink(open.c_str()), 0);
    mark = log_mark();
    EXPECT_EQ(error_of(ask_lookup(SQLITE, "open")), qv::EC_DB_OPEN_ERROR);
    EXPECT_NE(log_since(mark).find("Cannot connect to database: unable to open database file"), std::string::npos);
    EXPECT_NE(access(open.c_str(), F_OK), 0) << "the lookup created the database file";
}

TEST_F(SqliteTest, ALockHeldElsewhereFailsWithinTheBound)
{
    const std::string other = make_db(path_of("other.db"), "CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('free');");
    start({tag("locked", "SELECT alias FROM aliases WHERE user = 'bob'"),
           tag("other", "SELECT v FROM t", "file://" + other)},
          "db_idle_timeout: 60000\n");
    EXPECT_EQ(lookup(SQLITE, "locked"), std::vector<std::string>{"bob@ex.org"});

    // This process holds an exclusive lock on the file.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> holder(raw, &sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    // The request on the other file is answered meanwhile, on its own connection.
    const size_t mark = log_mark();
    const auto started = std::chrono::steady_clock::now();
    const auto responses = client->exchange({lookup_request(100, SQLITE, "locked"), lookup_request(101, SQLITE, "other")},
                                            std::chrono::seconds(20));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(responses.size(), 2u) << log_since(mark);
    EXPECT_EQ(error_of(responses.at(100)), qv::EC_DB_CONN_CLOSED);
    EXPECT_EQ(responses.at(100).data_size(), 0);
    EXPECT_EQ(data_of(responses.at(101)), std::vector<std::string>{"free"});
    EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(8000));
    // The first attempt and the one retry, both reporting the lock.
    EXPECT_EQ(count_of(log_since(mark), "Error: Datasource [locked.sqlite]: Cannot "), 2u) << log_since(mark);
    EXPECT_NE(log_since(mark).find("database is locked"), std::string::npos) << log_since(mark);

    ASSERT_EQ(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(lookup(SQLITE, "locked"), std::vector<std::string>{"bob@ex.org"});
}

TEST_F(SqliteTest, ConnectionsAreSharedKeptAndClosed)
{
    const std::string other = make_db(path_of("other.db"), "CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('o');");
    const std::vector<db_tag_t> tags = {tag("one", "SELECT 1"), tag("two", "SELECT 2"),
                                        tag("other", "SELECT v FROM t", "file://" + other)};
    start(tags, "db_idle_timeout: 60000\n");
    EXPECT_EQ(open_descriptors_on(file), 0u);
    EXPECT_EQ(lookup(SQLITE, "one"), std::vector<std::string>{"1"});
    EXPECT_EQ(lookup(SQLITE, "two"), std::vector<std::string>{"2"});
    EXPECT_EQ(lookup(SQLITE, "one"), std::vector<std::string>{"1"});
    EXPECT_EQ(lookup(SQLITE, "other"), std::vector<std::string>{"o"});
    EXPECT_EQ(open_descriptors_on(file), 1u);
    EXPECT_EQ(open_descriptors_on(other), 1u);

    // A new configuration closes every connection.
    reconfigure(tags, "db_idle_timeout: 60000\n");
    EXPECT_EQ(open_descriptors_on(file), 0u);
    EXPECT_EQ(open_descriptors_on(other), 0u);
    EXPECT_TRUE(check(SQLITE, "two", "2"));
    EXPECT_EQ(open_descriptors_on(file), 1u);

    // Below one second, every request closes its connection; no timer line.
    reconfigure(tags, "db_idle_timeout: 999\n");
    const size_t mark = log_mark();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(check(SQLITE, "one", "1"));
        EXPECT_EQ(open_descriptors_on(file), 0u);
    }
    EXPECT_EQ(lookup(SQLITE, "other"), std::vector<std::string>{"o"});
    EXPECT_EQ(open_descriptors_on(other), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(log_since(mark).find("Inactivity time"), std::string::npos);
}

TEST_F(SqliteTest, TheIdleTimerClosesIdleConnections)
{
    const std::vector<db_tag_t> tags = {tag("one", "SELECT 1")};
    start(tags, "db_idle_timeout: 1000\n");
    // An open connection has a worker thread, which ends with it.
    const std::string threads = "/proc/" + std::to_string(daemon->pilotd.pid()) + "/task";
    const size_t idle_threads = velbo_test::entries_of(threads);
    EXPECT_EQ(lookup(SQLITE, "one"), std::vector<std::string>{"1"});
    EXPECT_EQ(open_descriptors_on(file), 1u);
    EXPECT_EQ(velbo_test::entries_of(threads), idle_threads + 1);
    // Ticks every 500 ms and closes once more than one whole second has
    // passed: idle 2 seconds, or 3 when a tick comes late on a loaded machine.
    const std::string line = "Notice: Datasource [sqlite] (file://" + file + "):  Inactivity time: ";
    const std::regex closed_line(std::regex_replace(line, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                                 "[23] seconds, connection closed\n");
    const auto closings = [&]() {
        const std::string text = log();
        return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), closed_line),
                                                 std::sregex_iterator()));
    };
    const auto wait_closings = [&](size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
        while (closings() < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return closings();
    };
    ASSERT_EQ(wait_closings(1), 1u) << log();
    EXPECT_EQ(open_descriptors_on(file), 0u);
    // The kernel drops a thread's entry a moment after it is joined.
    for (int i = 0; i < 100 && velbo_test::entries_of(threads) != idle_threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(velbo_test::entries_of(threads), idle_threads);

    // Used again, it reconnects; a connection in use stays open.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(lookup(SQLITE, "one"), std::vector<std::string>{"1"});
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    EXPECT_EQ(open_descriptors_on(file), 1u);
    EXPECT_EQ(count_of(log(), "Inactivity time"), 1u);
    EXPECT_EQ(wait_closings(2), 2u) << log();
    EXPECT_EQ(count_of(log(), "Inactivity time"), 2u);
    EXPECT_EQ(open_descriptors_on(file), 0u);
}

} // namespace
