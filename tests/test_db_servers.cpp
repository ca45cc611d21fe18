// The real-server fixtures themselves: what the database back-end tests rely
// on; and the daemon against each kind of server paused with lookups queued.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libpq-fe.h>
#include <mysql.h>

#include "support/daemon_db_fixture.h"
#include "support/daemon_db_hang.h"
#include "support/daemon_lists_fixture.h"
#include "support/hung_server.h"
#include "support/mariadb_server.h"
#include "support/pg_server.h"
#include "support/redis_server.h"

using namespace velbo_test;

namespace {

// A libpq connection kept by the test, like a pooled one.
struct pg_client_t {
    explicit pg_client_t(const std::string& conninfo) : conn(PQconnectdb(conninfo.c_str())) {}
    ~pg_client_t() { PQfinish(conn); }
    bool select_one()
    {
        PGresult* r = PQexec(conn, "SELECT 1");
        const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
        return ok;
    }
    PGconn* conn;
};

} // namespace

TEST(PgServer, TcpPasswordsSocketTerminateAndRestart)
{
    pg_server_t pg;
    pg.add_user("alice", "s3cret");
    pg.add_database("alicedb", "alice");
    pg.exec("CREATE TABLE t (v text); INSERT INTO t VALUES ('one'), (NULL)", "alicedb");
    EXPECT_EQ(pg.query("SELECT v FROM t ORDER BY v", "alicedb"), (std::vector<std::string>{"one", "<null>"}));

    const std::string tcp = "host=127.0.0.1 port=" + std::to_string(pg.port()) + " dbname=alicedb user=alice";
    {
        pg_client_t wrong(tcp + " password=wrong");
        EXPECT_EQ(PQstatus(wrong.conn), CONNECTION_BAD);
    }
    pg_client_t client(tcp + " password=s3cret");
    ASSERT_EQ(PQstatus(client.conn), CONNECTION_OK) << PQerrorMessage(client.conn);
    ASSERT_TRUE(client.select_one());
    EXPECT_EQ(pg.backends_of("alice").size(), 1u);

    EXPECT_EQ(pg.terminate_backends("alice"), 1u);
    EXPECT_FALSE(client.select_one());
    EXPECT_EQ(PQstatus(client.conn), CONNECTION_BAD);

    pg_client_t again(tcp + " password=s3cret");
    ASSERT_TRUE(again.select_one());
    pg.restart();
    EXPECT_FALSE(again.select_one());
    pg_client_t after(tcp + " password=s3cret");
    EXPECT_TRUE(after.select_one()) << PQerrorMessage(after.conn);

    pg.trust_tcp_user("alice");
    pg_client_t trusted(tcp);
    EXPECT_TRUE(trusted.select_one()) << PQerrorMessage(trusted.conn);

    pg.stop();
    pg_client_t refused(tcp + " password=s3cret");
    EXPECT_EQ(PQstatus(refused.conn), CONNECTION_BAD);
}

TEST(PgServer, SocketOnlyOnTheDefaultPort)
{
    pg_server_t pg(pg_server_t::socket_only);
    EXPECT_EQ(pg.port(), 5432u);
    // libpq given only the directory reaches the default port.
    pg_client_t client("host=" + pg.socket_dir() + " user=postgres dbname=postgres");
    EXPECT_TRUE(client.select_one()) << PQerrorMessage(client.conn);
}

TEST(PgServer, PausedServerHoldsAQuery)
{
    pg_server_t pg;
    pg_client_t client("host=" + pg.socket_dir() + " port=" + std::to_string(pg.port()) + " user=postgres dbname=postgres");
    ASSERT_TRUE(client.select_one());
    pg.pause();
    ASSERT_EQ(PQsendQuery(client.conn, "SELECT 1"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(PQconsumeInput(client.conn), 1);
    EXPECT_EQ(PQisBusy(client.conn), 1);
    pg.resume();
    PGresult* r = nullptr;
    bool got = false;
    while ((r = PQgetResult(client.conn))) {
        got = got || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
    }
    EXPECT_TRUE(got);
}

TEST(MariadbServer, UsersSocketTcpKillAndRestart)
{
    mariadb_server_t my;
    my.exec("CREATE DATABASE shop; CREATE TABLE shop.t (v varchar(20)); INSERT INTO shop.t VALUES ('a'), (NULL)");
    my.add_user("bob", "pw", "shop");
    EXPECT_EQ(my.query("SELECT v FROM shop.t ORDER BY v"), (std::vector<std::string>{"<null>", "a"}));

    MYSQL* tcp = mysql_init(nullptr);
    ASSERT_TRUE(mysql_real_connect(tcp, "127.0.0.1", "bob", "pw", "shop", my.port(), nullptr, 0)) << mysql_error(tcp);
    MYSQL* sock = mysql_init(nullptr);
    ASSERT_TRUE(mysql_real_connect(sock, nullptr, "bob", "pw", "shop", 0, my.socket_path().c_str(), 0)) << mysql_error(sock);
    EXPECT_EQ(my.connections_of("bob").size(), 2u);
    EXPECT_EQ(my.kill_connections("bob"), 2u);
    EXPECT_NE(mysql_query(tcp, "SELECT 1"), 0);
    const unsigned lost = mysql_errno(tcp);
    EXPECT_TRUE(lost == 2006 || lost == 2013) << lost;
    mysql_close(tcp);
    mysql_close(sock);

    my.restart();
    MYSQL* after = mysql_init(nullptr);
    EXPECT_TRUE(mysql_real_connect(after, "127.0.0.1", "bob", "pw", "shop", my.port(), nullptr, 0)) << mysql_error(after);
    mysql_close(after);
    my.stop();
    MYSQL* refused = mysql_init(nullptr);
    EXPECT_FALSE(mysql_real_connect(refused, "127.0.0.1", "bob", "pw", "shop", my.port(), nullptr, 0));
    mysql_close(refused);
}

TEST(HungServer, AcceptsAndNeverAnswers)
{
    hung_server_t hung;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(hung.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::write(fd, "hello", 5), 5);
    for (int i = 0; i < 200 && hung.accepted() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(hung.accepted(), 1u);
    timeval tv{0, 300000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[8];
    EXPECT_EQ(::read(fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::close(fd);
}

namespace {

// A server of one kind with a user alice, and a connection string for her
// with the shortest time limits the driver takes from it.
struct paused_db_t {
    virtual ~paused_db_t() = default;
    virtual std::string conn() const = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
};

struct paused_pg_t : paused_db_t {
    paused_pg_t()
    {
        pg.add_user("alice", "pw");
        pg.add_database("alicedb", "alice");
    }
    std::string conn() const override
    {
        return "tcp://alice:pw@127.0.0.1:" + std::to_string(pg.port()) + "/alicedb?connect_timeout=2";
    }
    void pause() override { pg.pause(); }
    void resume() override { pg.resume(); }
    pg_server_t pg;
};

struct paused_mariadb_t : paused_db_t {
    paused_mariadb_t()
    {
        my.exec("CREATE DATABASE shop");
        my.add_user("alice", "pw", "shop");
    }
    std::string conn() const override
    {
        return "tcp://alice:pw@127.0.0.1:" + std::to_string(my.port()) +
               "/shop?connect-timeout=1&read-timeout=1&write-timeout=1";
    }
    void pause() override { my.pause(); }
    void resume() override { my.resume(); }
    mariadb_server_t my;
};

struct paused_redis_t : paused_db_t {
    // With a database, reconnecting sends SELECT, and its time-out fails the connect.
    std::string conn() const override { return redis.tcp_conn("", "0"); }
    void pause() override { redis.pause(); }
    void resume() override { redis.resume(); }
    redis_server_t redis;
};

struct paused_case_t {
    const char* name;
    lp::LookupType type;
    std::function<std::unique_ptr<paused_db_t>()> make;
    std::string request;  // answers "user:alice"
    // The first answer: the query's time limit, then the reconnect's.
    int code;
    std::chrono::milliseconds first_at_least, first_below;
    // How much later the probe that follows ends: one connect's limit.
    std::chrono::milliseconds probe_below;
};

const paused_case_t paused_cases[] = {
    // 10 s for the query, 2 for the reconnect; the probe's connect 2 s.
    {"Pq", lp::LOOKUP_PQ, [] { return std::make_unique<paused_pg_t>(); }, "SELECT 'user:' || $u::text",
     qv::EC_DB_OPEN_ERROR, 11500ms, 16000ms, 4000ms},
    // 1 s to read, 1 s to connect.
    {"Mysql", lp::LOOKUP_MYSQL, [] { return std::make_unique<paused_mariadb_t>(); }, "SELECT CONCAT('user:', $u)",
     qv::EC_DB_OPEN_ERROR, 1800ms, 6000ms, 3000ms},
    // 10 s for the command, 10 for the SELECT of the reconnect, and of the probe's.
    {"Redis", lp::LOOKUP_REDIS, [] { return std::make_unique<paused_redis_t>(); }, "ECHO user:$u",
     qv::EC_DB_OPEN_ERROR, 19500ms, 24000ms, 12000ms},
};

void PrintTo(const paused_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class PausedServer : public db_fixture_t, public ::testing::WithParamInterface<paused_case_t> {};
class DbIsolation : public db_fixture_t {};

// Resumes the server however the test ends.
struct resume_guard_t {
    ~resume_guard_t() { db.resume(); }
    paused_db_t& db;
};

const std::string not_sent = "]: Not sent: the server timed out while this request waited";
const std::string probing = "]: Not sent: the server timed out, and another request is probing it";

} // namespace

// Lookups pipelined behind one that times out fail with it at once, those
// the daemon takes later as well (it had read them before the time-out
// ended). A lookup sent after that finds the server suspect and goes alone
// as the probe; those sent while it is out fail at once. A list client is
// answered at once throughout, and once the server runs again the next
// request reaches it.
TEST_P(PausedServer, PipelinedLookupsAreAllAnsweredWithinTwoBounds)
{
    const paused_case_t& c = GetParam();
    const std::unique_ptr<paused_db_t> db = c.make();
    const std::string list = daemon->dir.write("colors.txt", "red\nblue\n");
    start({{c.type, "who", db->conn(), c.request, {}}},
          "db_idle_timeout: 60000\n" + list_sections_text({{lp::LOOKUP_ALLMATCH, "colors", list}}));
    // The pooled connection is open when the server stops answering.
    EXPECT_EQ(lookup(c.type, "who", "alice"), std::vector<std::string>{"user:alice"});
    const std::unique_ptr<trawl_client_t> list_client = daemon->connect();
    const std::unique_ptr<trawl_client_t> late_client = daemon->connect();

    // Far more than a connection may owe at once: the rest waits in the daemon.
    constexpr size_t queued = 600;
    constexpr size_t late = 10;
    const size_t mark = log_mark();
    pipeline_outcome_t outcome;
    std::optional<lp::ServerMessage> probe;
    std::chrono::nanoseconds probe_took{0};
    std::map<uint32_t, lp::ServerMessage> refused_answers;
    {
        db->pause();
        const resume_guard_t resume{*db};
        outcome = pipeline_behind_hang(*client, *list_client, c.type, "who", queued, "colors", "blue", 300ms, 90s);
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(client->send_lookup(1000, c.type, "who", "alice"));
        std::this_thread::sleep_for(100ms);
        std::vector<lp::ClientMessage> batch;
        for (uint32_t serial = 1; serial <= late; ++serial)
            batch.push_back(lookup_request(serial, c.type, "who", "alice"));
        refused_answers = late_client->exchange(batch, 2s);
        probe = client->receive(60s);
        probe_took = std::chrono::steady_clock::now() - sent;
    }
    ASSERT_EQ(outcome.db_times.size(), queued) << log_since(mark);
    EXPECT_EQ(outcome.db_errors, std::vector<int>(queued, c.code));
    EXPECT_GE(outcome.db_times.front(), c.first_at_least);
    EXPECT_LT(outcome.db_times.front(), c.first_below);
    EXPECT_LT(outcome.db_times.back(), outcome.db_times.front() + c.probe_below);
    EXPECT_TRUE(outcome.list_answer);
    EXPECT_LT(outcome.list_time, 1300ms);
    // Each of the others logs its own failure.
    const std::string logged = log_since(mark);
    const std::string prefix = "Error: Datasource [who." + lookup_type_text(c.type);
    EXPECT_EQ(count_of(logged, prefix + not_sent), queued - 1) << logged;

    // The probe takes its own connect's bound, the late ones none.
    ASSERT_TRUE(probe) << logged;
    EXPECT_EQ(probe->serial(), 1000u);
    EXPECT_EQ(error_of(*probe), c.code);
    EXPECT_LT(probe_took, c.probe_below);
    ASSERT_EQ(refused_answers.size(), late) << logged;
    for (const auto& [serial, answer] : refused_answers)
        EXPECT_EQ(error_of(answer), c.code) << serial;
    EXPECT_EQ(count_of(logged, prefix + probing), late) << logged;
    // Two requests reached the server: the first (its reconnect) and the probe.
    EXPECT_EQ(count_of(log_since(mark), "Cannot connect to database: "), 2u) << log_since(mark);

    // The server runs again: the next request reaches it.
    const auto resumed = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup(c.type, "who", "alice"), std::vector<std::string>{"user:alice"});
    EXPECT_LT(std::chrono::steady_clock::now() - resumed, 5s);
}

// Clients that each send one lookup for the hung connection string, half a
// second apart, are all answered when the first request's bound ends.
TEST_P(PausedServer, OtherClientsWaitingForTheServerFailWithTheFirst)
{
    const paused_case_t& c = GetParam();
    const std::unique_ptr<paused_db_t> db = c.make();
    start({{c.type, "who", db->conn(), c.request, {}}}, "db_idle_timeout: 60000\n");
    EXPECT_EQ(lookup(c.type, "who", "alice"), std::vector<std::string>{"user:alice"});
    std::vector<std::unique_ptr<trawl_client_t>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(daemon->connect());

    const size_t mark = log_mark();
    std::vector<std::chrono::milliseconds> times(clients.size(), -1ms);
    std::vector<int> codes(clients.size(), -1);
    {
        db->pause();
        const resume_guard_t resume{*db};
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (size_t i = 0; i < clients.size(); ++i) {
            threads.emplace_back([&, i]() {
                std::this_thread::sleep_for(500ms * int(i));
                if (!clients[i]->send_lookup(1, c.type, "who", "alice"))
                    return;
                const auto answer = clients[i]->receive(60s);
                if (!answer)
                    return;
                times[i] = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
                codes[i] = error_of(*answer);
            });
        }
        for (std::thread& t : threads)
            t.join();
    }
    EXPECT_EQ(codes, std::vector<int>(clients.size(), c.code));
    EXPECT_GE(times[0], c.first_at_least);
    EXPECT_LT(times[0], c.first_below);
    for (size_t i = 1; i < clients.size(); ++i)
        EXPECT_LT(times[i], times[0] + 1000ms) << "client " << i;
    const std::string logged = log_since(mark);
    EXPECT_EQ(count_of(logged, not_sent), clients.size() - 1) << logged;
    EXPECT_EQ(count_of(logged, "Cannot connect to database: "), 1u) << logged;
}

INSTANTIATE_TEST_SUITE_P(Drivers, PausedServer, ::testing::ValuesIn(paused_cases),
                         [](const ::testing::TestParamInfo<paused_case_t>& info) { return info.param.name; });

// While PostgreSQL hangs, a list tag and a Redis tag on other connections
// are answered at once, SIGHUP is taken at once, and a new configuration
// retires the hung string's worker without waiting: its requests are
// answered once, with the time-out's code, when its call ends.
TEST_F(DbIsolation, AHungServerHoldsUpNobodyElse)
{
    paused_pg_t pg;
    redis_server_t redis;
    redis.command({"SET", "k", "v"});
    const std::string list = daemon->dir.write("colors.txt", "red\nblue\n");
    const std::vector<db_tag_t> tags = {{lp::LOOKUP_PQ, "who", pg.conn(), "SELECT 'user:' || $u::text", {}},
                                        {lp::LOOKUP_REDIS, "kv", redis.tcp_conn(), "GET k", {}}};
    const std::string globals = "db_idle_timeout: 60000\n" + list_sections_text({{lp::LOOKUP_ALLMATCH, "colors", list}});
    start(tags, globals);
    EXPECT_EQ(lookup(lp::LOOKUP_PQ, "who", "alice"), std::vector<std::string>{"user:alice"});
    EXPECT_EQ(lookup(lp::LOOKUP_REDIS, "kv"), std::vector<std::string>{"v"});
    const std::unique_ptr<trawl_client_t> other = daemon->connect();

    const size_t mark = log_mark();
    pg.pause();
    const resume_guard_t resume{pg};
    // Three requests for the hung string wait on the first connection.
    for (uint32_t serial = 1; serial <= 3; ++serial)
        ASSERT_TRUE(client->send_lookup(serial, lp::LOOKUP_PQ, "who", "alice"));
    const auto start = std::chrono::steady_clock::now();
    std::chrono::nanoseconds slowest{0};
    uint32_t asked = 0;
    for (int round = 0; round < 10; ++round) {
        std::this_thread::sleep_for(200ms);
        const auto sent = std::chrono::steady_clock::now();
        const auto answers = other->exchange({lookup_request(++asked, lp::LOOKUP_REDIS, "kv"),
                                              check_request(++asked, lp::LOOKUP_ALLMATCH, "colors", "BLUE")},
                                             daemon_timeout);
        slowest = std::max<std::chrono::nanoseconds>(slowest, std::chrono::steady_clock::now() - sent);
        ASSERT_EQ(answers.size(), 2u) << log_since(mark);
        EXPECT_EQ(data_of(answers.at(asked - 1)), std::vector<std::string>{"v"});
        EXPECT_TRUE(answers.at(asked).result());
    }
    // Generous for slow builds; a blocked loop would take seconds.
    EXPECT_LT(slowest, 500ms);

    // SIGHUP: the configuration is asked for, applied and confirmed at once.
    const auto hup = std::chrono::steady_clock::now();
    daemon->pilotd.signal(SIGHUP);
    ASSERT_TRUE(daemon->apply(++revision, config_text(tags, globals))) << log_since(mark);
    EXPECT_LT(std::chrono::steady_clock::now() - hup, 1500ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "before the hung query's bound";

    // The three are answered once each when the hung call ends, with its code.
    std::map<uint32_t, int> codes;
    while (codes.size() < 3) {
        const auto answer = client->receive(30s);
        ASSERT_TRUE(answer) << log_since(mark);
        EXPECT_TRUE(codes.emplace(answer->serial(), error_of(*answer)).second) << "answered twice";
    }
    for (const auto& [serial, code] : codes)
        EXPECT_EQ(code, qv::EC_DB_OPEN_ERROR) << serial;
    EXPECT_FALSE(client->receive(500ms)) << "nothing more";

    // The new configuration's own connection serves once the server runs.
    pg.resume();
    EXPECT_EQ(lookup(lp::LOOKUP_PQ, "who", "alice"), std::vector<std::string>{"user:alice"});
}
