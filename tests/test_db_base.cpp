// The database client base in-process, with a scripted driver: the one
// retry, closing after lost and fatal failures, unexpected exceptions,
// pooling with a discriminator, and results delivered only by the loop.
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "cf_errors.h"
#include "db/lp_db_client.h"
#include "lp_inventory.h"
#include "pilotd_standin.h"
#include "support/capture_log.h"
#include "support/test_files.h"
#include "trawld_client_ipc.pb.h"

namespace {

using velbo_test::test_log;

// One scripted step of query: rows to answer, or a failure to throw.
struct step_t {
    std::vector<std::string> rows;
    int code = 0;          // a qv::ErrorCode to throw, 0 for none
    bool fatal = false;
    bool unexpected = false;  // throw a std::runtime_error
    bool timed_out = false;   // the failure is a time-out
};

// Settings of the SQLite type, the rest scripted.
class scripted_client_t : public lp_db_client_t {
public:
    explicit scripted_client_t(lp_inventory_t& inventory) : lp_db_client_t(inventory) {}
    ~scripted_client_t() override { close_all(); }

    bool has_tag(const std::string& tag) override { return inventory.settings->sqlite_has_tag(tag); }
    int lookup_type() const override { return lp::LOOKUP_SQLITE; }
    bool user_in_description() const override { return !secret_user; }

    std::deque<step_t> steps;
    std::deque<int> connect_failures;  // codes for the next connects, 0 for success
    int connect_timeouts = 0;          // the next connects that run out of time
    int connects = 0;
    int disconnects = 0;
    int open = 0;
    bool secret_user = false;
    std::vector<std::string> texts;  // expanded requests
    std::vector<std::vector<std::string>> bound;

protected:
    const std::string& conn_for_tag(const std::string& tag) override { return inventory.settings->sqlite_conn(tag); }
    const std::string& default_conn() override { return inventory.settings->sqlite_default_conn(); }
    bool is_conn_configured(const std::string& conn) override
    {
        return inventory.settings->sqlite_conn_configured(conn);
    }
    // Tags whose name starts with "tls" get connections of their own.
    std::string pool_discriminator(const std::string& tag) override
    {
        return tag.compare(0, 3, "tls") == 0 ? "tls" : "";
    }
    void query(const std::string& tag, const std::string& user, const std::string& domain) override
    {
        get_connection(tag);
        texts.push_back(expand_request(tag, connection_for_tag(tag), inventory.settings->sqlite_request(tag), user,
                                       domain));
        bound.push_back(params);
        if (steps.empty())
            throw std::logic_error("no step left");
        const step_t step = steps.front();
        steps.pop_front();
        if (step.unexpected)
            throw std::runtime_error("driver exploded");
        if (step.timed_out)
            fail_timed_out(tag, "Cannot execute the request: scripted time-out", static_cast<qv::ErrorCode>(step.code));
        if (step.code != 0)
            fail(tag, "Cannot execute the request: scripted\n failure", static_cast<qv::ErrorCode>(step.code),
                 step.fatal);
        rows.insert(rows.end(), step.rows.begin(), step.rows.end());
    }
    void disconnect(void* handle) override
    {
        ++disconnects;
        --open;
        delete static_cast<int*>(handle);
    }
    void* connect(lp_db_connection_t&, const std::string& tag) override
    {
        ++connects;
        if (connect_timeouts > 0) {
            --connect_timeouts;
            fail_timed_out(tag, "Cannot connect to database: scripted time-out", qv::EC_DB_OPEN_ERROR);
        }
        if (!connect_failures.empty()) {
            const int code = connect_failures.front();
            connect_failures.pop_front();
            if (code != 0)
                fail(tag, "Cannot connect to database: scripted", static_cast<qv::ErrorCode>(code));
        }
        ++open;
        return new int(connects);
    }
};

class DbBaseTest : public ::testing::Test {
protected:
    DbBaseTest()
    {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        inventory = std::make_unique<lp_inventory_t>(fds[0]);
        test_log();
        cf_log_threshold = CF_LOG_DEBUG;
    }
    ~DbBaseTest() override
    {
        client.reset();
        inventory.reset();
        ::close(fds[1]);
    }

    void configure(const std::string& globals = "")
    {
        const std::string file = dir.write("db", "");
        inventory->settings->set_config(parse_config_text(
            globals + "sqlite {\n"
                      "  item { tag: \"a\" conn: \"file://" + file + "\" request: \"SELECT $u, $d\" }\n"
                      "  item { tag: \"b\" conn: \"file://" + file + "\" request: \"SELECT 1\" }\n"
                      "  item { tag: \"tls\" conn: \"file://" + file + "\" request: \"SELECT 2\" }\n"
                      "  item { tag: \"bad\" conn: \"file://relative\" request: \"SELECT 3\" }\n"
                      "}\n"));
        client = std::make_unique<scripted_client_t>(*inventory);
    }

    struct answer_t {
        bool called = false;
        boost::system::error_code ec;
        std::vector<std::string> rows;
    };

    answer_t lookup(const std::string& tag, const std::string& user = "u", const std::string& domain = "d")
    {
        answer_t answer;
        client->lookup(tag, user, domain, [&](const boost::system::error_code& ec, const std::vector<std::string>& rows) {
            answer.called = true;
            answer.ec = ec;
            answer.rows = rows;
        });
        EXPECT_FALSE(answer.called) << "answered inside the call";
        inventory->io_context.restart();
        inventory->io_context.poll();
        EXPECT_TRUE(answer.called);
        return answer;
    }

    bool logged(const std::string& text) const { return times_logged(text) != 0; }
    size_t times_logged(const std::string& text) const
    {
        size_t n = 0;
        for (const auto& line : test_log().lines)
            n += line.second.find(text) != std::string::npos;
        return n;
    }

    int fds[2] = {-1, -1};
    velbo_test::temp_dir_t dir;
    std::unique_ptr<lp_inventory_t> inventory;
    std::unique_ptr<scripted_client_t> client;
};

using qv::make_error_code;

TEST_F(DbBaseTest, ALostConnectionIsRetriedOnceOnANewConnection)
{
    configure("db_idle_timeout: 60000\n");
    struct case_t {
        const char* name;
        std::vector<step_t> steps;
        std::vector<int> connect_failures;
        qv::ErrorCode code;
        std::vector<std::string> rows;
        int connects, disconnects, open;
    };
    const step_t lost{{}, qv::EC_DB_CONN_CLOSED, false, false};
    const std::vector<case_t> cases = {
        {"retry answers", {lost, step_t{{"x", "y"}}}, {}, qv::EC_OK, {"x", "y"}, 2, 1, 1},
        {"second loss delivered and closed", {lost, lost}, {}, qv::EC_DB_CONN_CLOSED, {}, 2, 2, 0},
        {"reconnect fails", {lost}, {0, qv::EC_DB_OPEN_ERROR}, qv::EC_DB_OPEN_ERROR, {}, 2, 1, 0},
        {"other error after the loss", {lost, step_t{{}, qv::EC_DB_COMMON_ERROR}}, {}, qv::EC_DB_COMMON_ERROR, {}, 2, 1, 1},
        {"unexpected in the retry", {lost, step_t{{}, 0, false, true}}, {}, qv::EC_UNEXPECTED_ERROR, {}, 2, 1, 1},
        {"plain error kept open", {step_t{{"partial"}, qv::EC_DB_COMMON_ERROR}}, {}, qv::EC_DB_COMMON_ERROR, {}, 1, 0, 1},
        {"fatal error closes", {step_t{{}, qv::EC_DB_COMMON_ERROR, true}}, {}, qv::EC_DB_COMMON_ERROR, {}, 1, 1, 0},
        {"unexpected", {step_t{{}, 0, false, true}}, {}, qv::EC_UNEXPECTED_ERROR, {}, 1, 0, 1},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        client->reconfigure();
        client->connects = client->disconnects = 0;
        client->steps.assign(c.steps.begin(), c.steps.end());
        client->connect_failures.assign(c.connect_failures.begin(), c.connect_failures.end());
        client->texts.clear();
        test_log().lines.clear();
        const answer_t answer = lookup("a");
        EXPECT_EQ(answer.ec, c.code == qv::EC_OK ? boost::system::error_code() : make_error_code(c.code));
        EXPECT_EQ(answer.rows, c.rows);
        EXPECT_EQ(client->connects, c.connects);
        EXPECT_EQ(client->disconnects, c.disconnects);
        EXPECT_EQ(client->open, c.open);
        EXPECT_TRUE(client->steps.empty()) << "no third attempt";
        for (const std::string& text : client->texts)
            EXPECT_EQ(text, "SELECT ?, ?");
        if (c.code == qv::EC_UNEXPECTED_ERROR) {
            EXPECT_TRUE(logged("Datasource [a.sqlite]: Cannot retrieve data from database: Unexpected error"));
        }
        // Driver messages are escaped.
        if (c.code == qv::EC_DB_COMMON_ERROR) {
            EXPECT_TRUE(logged("Datasource [a.sqlite]: Cannot execute the request: scripted\\n failure"));
        }
    }
}

TEST_F(DbBaseTest, ChecksCompareWholeValuesAndFailClosed)
{
    configure("db_idle_timeout: 60000\n");
    const auto check = [&](const std::string& value, const step_t& step) {
        client->steps.push_back(step);
        std::optional<std::pair<boost::system::error_code, bool>> answer;
        client->check("b", "u", "d", value,
                      [&](const boost::system::error_code& ec, bool found) { answer.emplace(ec, found); });
        EXPECT_FALSE(answer.has_value());
        inventory->io_context.restart();
        inventory->io_context.poll();
        return answer.value_or(std::make_pair(make_error_code(qv::EC_UNKNOWN_STATE), false));
    };
    EXPECT_EQ(check("v", step_t{{"a", "v"}}), std::make_pair(boost::system::error_code(), true));
    EXPECT_EQ(check("V", step_t{{"a", "v"}}), std::make_pair(boost::system::error_code(), false));
    EXPECT_EQ(check("v ", step_t{{"a", "v"}}), std::make_pair(boost::system::error_code(), false));
    EXPECT_EQ(check("v", step_t{{"v"}, qv::EC_DB_COMMON_ERROR}),
              std::make_pair(make_error_code(qv::EC_DB_COMMON_ERROR), false));
}

TEST_F(DbBaseTest, PoolEntriesPerConnectionStringAndDiscriminator)
{
    configure("db_idle_timeout: 60000\n");
    for (int i = 0; i < 4; ++i)
        client->steps.push_back(step_t{{"r"}});
    EXPECT_FALSE(lookup("a").ec);
    EXPECT_FALSE(lookup("b").ec);
    EXPECT_EQ(client->connects, 1) << "two tags, one connection string";
    EXPECT_FALSE(lookup("tls").ec);
    EXPECT_EQ(client->connects, 2) << "the discriminator keeps its own connection";
    EXPECT_FALSE(lookup("a", "first", "second").ec);
    EXPECT_EQ(client->bound.back(), (std::vector<std::string>{"first", "second"}));

    // A parse failure answers without connecting and repeats at each request.
    test_log().lines.clear();
    EXPECT_EQ(lookup("bad").ec, make_error_code(qv::EC_BAD_CONFIG));
    EXPECT_EQ(lookup("bad").ec, make_error_code(qv::EC_BAD_CONFIG));
    size_t failures = 0;
    for (const auto& line : test_log().lines)
        failures += line.second.find("Path to database file \"relative\" must be absolute") != std::string::npos;
    EXPECT_EQ(failures, 2u);
    EXPECT_EQ(client->connects, 2);

    client->reconfigure();
    EXPECT_EQ(client->open, 0);
    EXPECT_EQ(client->disconnects, 2);
}

TEST_F(DbBaseTest, BelowOneSecondEveryRequestClosesItsConnection)
{
    configure("db_idle_timeout: 999\n");
    for (int i = 0; i < 3; ++i)
        client->steps.push_back(step_t{{"r"}});
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(lookup("a").ec);
        EXPECT_EQ(client->open, 0);
    }
    EXPECT_EQ(client->connects, 3);
    // No timer is armed: nothing is left for the loop.
    inventory->io_context.restart();
    EXPECT_EQ(inventory->io_context.poll(), 0u);
}

// A request that ends in a time-out fails, at once and without the driver,
// the requests for its connection string that were read before it ended;
// those read later, and those from no client socket, try the server again,
// and a success lets the older ones try too.
TEST_F(DbBaseTest, ATimeOutFailsTheRequestsReadBeforeItEnded)
{
    configure("db_idle_timeout: 60000\n");
    using clock = std::chrono::steady_clock;
    const step_t ok{{"r"}};
    const step_t lost{{}, qv::EC_DB_CONN_CLOSED};
    const step_t query_timeout{{}, qv::EC_DB_CONN_CLOSED, false, false, true};
    const std::string not_sent = "]: Not sent: the server timed out while this request waited";
    const auto queue = [&](std::vector<step_t> steps) { client->steps.assign(steps.begin(), steps.end()); };
    const auto lookup_read_at = [&](clock::time_point read, const std::string& tag) {
        const lp_request_scope_t scope(read);
        return lookup(tag);
    };
    const auto open_error = make_error_code(qv::EC_DB_OPEN_ERROR);

    queue({ok});
    EXPECT_FALSE(lookup("a").ec);
    const clock::time_point before = clock::now();

    // The query times out, and so does the reconnect of the retry.
    queue({query_timeout});
    client->connect_timeouts = 1;
    EXPECT_EQ(lookup_read_at(before, "a").ec, open_error);
    EXPECT_EQ(client->connects, 2);
    EXPECT_EQ(client->open, 0);

    // Read before it ended: the same code, one line each, nothing tried;
    // "b" shares the connection string, checks fail alike.
    test_log().lines.clear();
    EXPECT_EQ(lookup_read_at(before, "a").ec, open_error);
    EXPECT_EQ(lookup_read_at(before, "b").ec, open_error);
    std::optional<std::pair<boost::system::error_code, bool>> checked;
    {
        const lp_request_scope_t scope(before);
        client->check("a", "u", "d", "r", [&](const boost::system::error_code& ec, bool found) { checked.emplace(ec, found); });
    }
    inventory->io_context.restart();
    inventory->io_context.poll();
    EXPECT_EQ(checked, std::make_pair(open_error, false));
    EXPECT_EQ(times_logged(not_sent), 3u);
    EXPECT_TRUE(logged("Datasource [b.sqlite" + not_sent));
    EXPECT_EQ(client->connects, 2);
    EXPECT_TRUE(client->steps.empty());

    // Another connection string is not held back.
    queue({ok});
    EXPECT_FALSE(lookup_read_at(before, "tls").ec);
    EXPECT_EQ(client->connects, 3);

    // Read after it ended: tried again, here timing out once more.
    queue({});
    client->connect_timeouts = 1;
    EXPECT_EQ(lookup_read_at(clock::now(), "a").ec, open_error);
    EXPECT_EQ(client->connects, 4);
    const clock::time_point between = clock::now();
    // The stamp moved on: read before the second time-out, failed at once.
    EXPECT_EQ(lookup_read_at(between - std::chrono::milliseconds(1), "a").ec, open_error);
    EXPECT_EQ(client->connects, 4);

    // From no client socket: tried, and the server answers again.
    queue({ok, ok});
    EXPECT_FALSE(lookup("a").ec);
    EXPECT_EQ(client->connects, 5);
    // So the older requests try it too.
    EXPECT_FALSE(lookup_read_at(before, "a").ec);
    EXPECT_TRUE(client->steps.empty());

    // Failures that are no time-outs hold nothing back: a refused reconnect.
    queue({lost, ok});
    client->connect_failures = {qv::EC_DB_OPEN_ERROR};
    const clock::time_point early = clock::now();
    EXPECT_EQ(lookup_read_at(early, "a").ec, open_error);
    EXPECT_FALSE(lookup_read_at(early, "a").ec);

    // A retry that times out in the query again: its code, 52, is the one given.
    queue({query_timeout, query_timeout});
    const clock::time_point late = clock::now();
    EXPECT_EQ(lookup_read_at(late, "a").ec, make_error_code(qv::EC_DB_CONN_CLOSED));
    EXPECT_EQ(lookup_read_at(late, "b").ec, make_error_code(qv::EC_DB_CONN_CLOSED));
    EXPECT_TRUE(client->steps.empty());

    // A new configuration starts afresh.
    client->reconfigure();
    queue({ok});
    EXPECT_FALSE(lookup_read_at(late, "a").ec);
}

} // namespace
