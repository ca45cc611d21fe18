// The SQLite back-end through the real daemon, on database files the tests
// create.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
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

} // namespace
