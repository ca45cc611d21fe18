// The real-server fixtures themselves: what the database back-end tests rely on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libpq-fe.h>
#include <mysql.h>

#include "support/hung_server.h"
#include "support/mariadb_server.h"
#include "support/pg_server.h"

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
