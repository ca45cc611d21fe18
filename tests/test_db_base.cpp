// The database client base in-process, with a scripted driver: the one
// retry, closing after lost and fatal failures, unexpected exceptions,
// pooling with a discriminator, and results delivered only by the loop.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

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
    bool hold = false;        // wait in the query until the test releases it
};

// Settings of the SQLite type, the rest scripted. The driver's side runs on
// the connections' workers: what it shares with the test is locked.
class scripted_client_t : public lp_db_client_t {
public:
    explicit scripted_client_t(lp_inventory_t& inventory) : lp_db_client_t(inventory) {}
    ~scripted_client_t() override { close_all(); }

    bool has_tag(const std::string& tag) override { return inventory.settings->sqlite_has_tag(tag); }
    int lookup_type() const override { return lp::LOOKUP_SQLITE; }
    bool user_in_description() const override { return !secret_user; }

    void queue(std::vector<step_t> next)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        steps.assign(next.begin(), next.end());
    }
    bool steps_left() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return !steps.empty();
    }
    // Waits until n queries in all have reached their hold.
    bool wait_held(int n) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return held >= n; });
    }
    // Lets one held query go on.
    void release()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        ++released;
        changed.notify_all();
    }

    mutable std::deque<int> connect_failures;  // codes for the next connects, 0 for success
    mutable int connect_timeouts = 0;          // the next connects that run out of time
    mutable std::atomic<int> connects{0};
    mutable std::atomic<int> disconnects{0};
    mutable std::atomic<int> open{0};
    mutable std::atomic<int> queries{0};
    bool secret_user = false;
    mutable std::vector<std::string> texts;  // expanded requests
    mutable std::vector<std::vector<std::string>> bound;

protected:
    const std::string& conn_for_tag(const std::string& tag) override { return inventory.settings->sqlite_conn(tag); }
    const std::string& default_conn() override { return inventory.settings->sqlite_default_conn(); }
    bool is_conn_configured(const std::string& conn) override
    {
        return inventory.settings->sqlite_conn_configured(conn);
    }
    const std::string& request_for_tag(const std::string& tag) override
    {
        return inventory.settings->sqlite_request(tag);
    }
    // Tags whose name starts with "tls" get connections of their own.
    std::string pool_discriminator(const std::string& tag) override
    {
        return tag.compare(0, 3, "tls") == 0 ? "tls" : "";
    }
    void query(lp_db_connection_t& entry, lp_db_call_t& call) const override
    {
        get_connection(entry, call);
        ++queries;
        step_t step;
        {
            const std::string& text = expand_request(call);
            std::unique_lock<std::mutex> lock(mutex);
            texts.push_back(text);
            bound.push_back(call.params);
            if (steps.empty())
                throw std::logic_error("no step left");
            step = steps.front();
            steps.pop_front();
            if (step.hold) {
                ++held;
                changed.notify_all();
                changed.wait(lock, [&] { return released > 0; });
                --released;
            }
        }
        if (step.unexpected)
            throw std::runtime_error("driver exploded");
        if (step.timed_out)
            fail_timed_out(call, "Cannot execute the request: scripted time-out", static_cast<qv::ErrorCode>(step.code));
        if (step.code != 0)
            fail(call, "Cannot execute the request: scripted\n failure", static_cast<qv::ErrorCode>(step.code),
                 step.fatal);
        call.rows.insert(call.rows.end(), step.rows.begin(), step.rows.end());
    }
    void disconnect(void* handle) const override
    {
        ++disconnects;
        --open;
        delete static_cast<int*>(handle);
    }
    void* connect(lp_db_connection_t&, const lp_db_call_t& call) const override
    {
        int code = 0;
        bool timeout = false;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++connects;
            if (connect_timeouts > 0) {
                --connect_timeouts;
                timeout = true;
            } else if (!connect_failures.empty()) {
                code = connect_failures.front();
                connect_failures.pop_front();
            }
        }
        if (timeout)
            fail_timed_out(call, "Cannot connect to database: scripted time-out", qv::EC_DB_OPEN_ERROR);
        if (code != 0)
            fail(call, "Cannot connect to database: scripted", static_cast<qv::ErrorCode>(code));
        ++open;
        return new int(connects);
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    mutable std::deque<step_t> steps;
    mutable int held = 0;
    mutable int released = 0;
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
        int calls = 0;
        boost::system::error_code ec;
        std::vector<std::string> rows;
    };

    // Runs the loop until done() holds, for at most ten seconds.
    template <class Done>
    bool run_until(Done done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            inventory->io_context.restart();
            if (inventory->io_context.run_one_for(std::chrono::milliseconds(5)) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Sends a lookup whose answer lands in the returned record.
    std::shared_ptr<answer_t> send(const std::string& tag, const std::string& user = "u",
                                   const std::string& domain = "d")
    {
        auto answer = std::make_shared<answer_t>();
        client->lookup(tag, user, domain, [answer](const boost::system::error_code& ec, const std::vector<std::string>& rows) {
            answer->called = true;
            ++answer->calls;
            answer->ec = ec;
            answer->rows = rows;
        });
        EXPECT_FALSE(answer->called) << "answered inside the call";
        return answer;
    }

    answer_t lookup(const std::string& tag, const std::string& user = "u", const std::string& domain = "d")
    {
        const std::shared_ptr<answer_t> answer = send(tag, user, domain);
        EXPECT_TRUE(run_until([&] { return answer->called; }));
        return *answer;
    }

    bool logged(const std::string& text) const { return times_logged(text) != 0; }
    size_t times_logged(const std::string& text) const
    {
        const std::lock_guard<std::mutex> lock(test_log().mutex);
        size_t n = 0;
        for (const auto& line : test_log().lines)
            n += line.second.find(text) != std::string::npos;
        return n;
    }
    void clear_log()
    {
        const std::lock_guard<std::mutex> lock(test_log().mutex);
        test_log().lines.clear();
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
        client->queue(c.steps);
        client->connect_failures.assign(c.connect_failures.begin(), c.connect_failures.end());
        client->texts.clear();
        clear_log();
        const answer_t answer = lookup("a");
        EXPECT_EQ(answer.ec, c.code == qv::EC_OK ? boost::system::error_code() : make_error_code(c.code));
        EXPECT_EQ(answer.rows, c.rows);
        EXPECT_EQ(client->connects, c.connects);
        EXPECT_EQ(client->disconnects, c.disconnects);
        EXPECT_EQ(client->open, c.open);
        EXPECT_FALSE(client->steps_left()) << "no third attempt";
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
        client->queue({step});
        std::optional<std::pair<boost::system::error_code, bool>> answer;
        client->check("b", "u", "d", value,
                      [&](const boost::system::error_code& ec, bool found) { answer.emplace(ec, found); });
        EXPECT_FALSE(answer.has_value());
        EXPECT_TRUE(run_until([&] { return answer.has_value(); }));
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
    client->queue(std::vector<step_t>(4, step_t{{"r"}}));
    EXPECT_FALSE(lookup("a").ec);
    EXPECT_FALSE(lookup("b").ec);
    EXPECT_EQ(client->connects, 1) << "two tags, one connection string";
    EXPECT_FALSE(lookup("tls").ec);
    EXPECT_EQ(client->connects, 2) << "the discriminator keeps its own connection";
    EXPECT_FALSE(lookup("a", "first", "second").ec);
    EXPECT_EQ(client->bound.back(), (std::vector<std::string>{"first", "second"}));

    // A parse failure answers without connecting and repeats at each request.
    clear_log();
    EXPECT_EQ(lookup("bad").ec, make_error_code(qv::EC_BAD_CONFIG));
    EXPECT_EQ(lookup("bad").ec, make_error_code(qv::EC_BAD_CONFIG));
    EXPECT_EQ(times_logged("Path to database file \"relative\" must be absolute"), 2u);
    EXPECT_EQ(client->connects, 2);

    // Idle workers end at once, each closing its connection.
    client->reconfigure();
    EXPECT_EQ(client->open, 0);
    EXPECT_EQ(client->disconnects, 2);
}

TEST_F(DbBaseTest, BelowOneSecondEveryRequestClosesItsConnection)
{
    configure("db_idle_timeout: 999\n");
    client->queue(std::vector<step_t>(3, step_t{{"r"}}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(lookup("a").ec);
        EXPECT_EQ(client->open, 0);
    }
    EXPECT_EQ(client->connects, 3);
    // No timer is armed: nothing is left for the loop.
    inventory->io_context.restart();
    EXPECT_EQ(inventory->io_context.poll(), 0u);
}

// A request that times out fails at once every request waiting for its
// connection string, from any caller and without the driver, and those read
// before it ended that arrive later; the string is then suspect: the next
// request goes alone as the probe, those arriving while it is out fail at
// once, and an answer of the server ends it. Other connection strings are
// answered meanwhile.
TEST_F(DbBaseTest, ATimeOutFailsTheWaitingRequestsAndTheNextOneProbes)
{
    configure("db_idle_timeout: 60000\n");
    const std::string not_sent = "]: Not sent: the server timed out while this request waited";
    const std::string probing = "]: Not sent: the server timed out, and another request is probing it";
    const auto open_error = make_error_code(qv::EC_DB_OPEN_ERROR);
    const step_t ok{{"r"}};
    const step_t held_timeout{{}, qv::EC_DB_CONN_CLOSED, false, false, true, true};

    client->queue({ok});
    EXPECT_FALSE(lookup("a").ec);

    // The query times out, and so does the reconnect of the retry.
    client->queue({held_timeout, ok});
    const auto first = send("a");
    ASSERT_TRUE(client->wait_held(1));
    const auto same = send("a");
    const auto shared = send("b");
    std::optional<std::pair<boost::system::error_code, bool>> checked;
    client->check("b", "u", "d", "r", [&](const boost::system::error_code& ec, bool found) { checked.emplace(ec, found); });
    // Another connection string is not held back.
    EXPECT_FALSE(lookup("tls").ec);
    EXPECT_FALSE(same->called);
    clear_log();
    client->connect_timeouts = 1;
    const auto read_before = std::chrono::steady_clock::now();
    client->release();
    ASSERT_TRUE(run_until([&] { return first->called && same->called && shared->called && checked; }));
    EXPECT_EQ(first->ec, open_error);
    EXPECT_EQ(same->ec, open_error);
    EXPECT_EQ(shared->ec, open_error);
    EXPECT_EQ(checked, std::make_pair(open_error, false));
    EXPECT_EQ(times_logged(not_sent), 3u);
    EXPECT_TRUE(logged("Datasource [b.sqlite" + not_sent));
    EXPECT_EQ(client->connects, 3) << "the first, the other string's, the retry's";
    EXPECT_EQ(client->queries, 3);

    // Read before the time-out ended, taken only now: it waited already.
    {
        clear_log();
        const lp_request_scope_t scope(read_before);
        const auto waited = send("b");
        ASSERT_TRUE(run_until([&] { return waited->called; }));
        EXPECT_EQ(waited->ec, open_error);
        EXPECT_TRUE(logged("Datasource [b.sqlite" + not_sent));
        EXPECT_EQ(client->queries, 3);
    }

    // Suspect: the next request read afterwards probes, those behind it
    // fail at once.
    client->queue({step_t{{}, qv::EC_DB_OPEN_ERROR, false, false, true, true}});
    const auto probe = send("a");
    ASSERT_TRUE(client->wait_held(2));
    clear_log();
    const answer_t refused = lookup("b");
    EXPECT_EQ(refused.ec, open_error);
    EXPECT_TRUE(logged("Datasource [b.sqlite" + probing));
    EXPECT_EQ(client->queries, 4);
    // The probe times out too: the next request is the next probe, and
    // the server answers it.
    client->release();
    ASSERT_TRUE(run_until([&] { return probe->called; }));
    EXPECT_EQ(probe->ec, open_error);
    client->queue({ok, ok});
    EXPECT_FALSE(lookup("a").ec);
    EXPECT_FALSE(lookup("b").ec);
    EXPECT_EQ(client->queries, 6);

    // A connection that cannot be opened fails the waiting requests alike,
    // with its own line; a server's own error heals as an answer does.
    client->queue({step_t{{}, qv::EC_DB_CONN_CLOSED, false, false, false, true}, step_t{{}, qv::EC_DB_COMMON_ERROR}});
    client->connect_failures = {qv::EC_DB_OPEN_ERROR};
    const auto lost = send("a");
    ASSERT_TRUE(client->wait_held(3));
    const auto behind = send("a");
    clear_log();
    client->release();
    ASSERT_TRUE(run_until([&] { return lost->called && behind->called; }));
    EXPECT_EQ(lost->ec, open_error);
    EXPECT_EQ(behind->ec, open_error);
    EXPECT_TRUE(logged("Datasource [a.sqlite]: Not sent: no connection to the server could be opened while this request waited"));
    EXPECT_EQ(lookup("a").ec, make_error_code(qv::EC_DB_COMMON_ERROR));
    client->queue({ok, ok});
    const auto one = send("a");
    const auto two = send("b");
    ASSERT_TRUE(run_until([&] { return one->called && two->called; }));
    EXPECT_FALSE(one->ec);
    EXPECT_FALSE(two->ec);
    EXPECT_EQ(one->calls + two->calls, 2);
}

// A new configuration ends the idle workers, and leaves one in a call to
// finish its queue on its old connection while new requests get a new one.
TEST_F(DbBaseTest, ANewConfigurationWaitsForNoServer)
{
    configure("db_idle_timeout: 60000\n");
    client->queue({step_t{{"old"}, 0, false, false, false, true}});
    const auto held = send("a");
    ASSERT_TRUE(client->wait_held(1));
    const auto queued = send("b");
    const auto started = std::chrono::steady_clock::now();
    client->reconfigure();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));

    client->queue({step_t{{"new"}}});
    const answer_t fresh = lookup("a");
    EXPECT_EQ(fresh.rows, std::vector<std::string>{"new"});
    EXPECT_EQ(client->connects, 2);
    EXPECT_FALSE(held->called);
    EXPECT_FALSE(queued->called);

    client->queue({step_t{{"queued"}}});
    client->release();
    ASSERT_TRUE(run_until([&] { return held->called && queued->called && client->disconnects == 1; }));
    EXPECT_EQ(held->rows, std::vector<std::string>{"old"});
    EXPECT_EQ(queued->rows, std::vector<std::string>{"queued"});
    EXPECT_EQ(held->calls + queued->calls, 2);
    EXPECT_EQ(client->open, 1) << "the old connection closed once its queue was done";
}

} // namespace
