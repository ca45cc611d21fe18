// The Redis connection layer in this process against a real server: plain
// and TLS connections, trust anchors, client certificates and time limits.
#include <chrono>
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include "db/lp_redis_tls.h"
#include "support/hung_server.h"
#include "support/redis_server.h"

using velbo_test::hung_server_t;
using velbo_test::redis_options_t;
using velbo_test::redis_server_t;

namespace {

// TLS writes go through write(2): a closed peer must not end the program
// (the daemon ignores SIGPIPE too).
const bool sigpipe_ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

struct reply_t {
    explicit reply_t(redisReply* r) : reply(r) {}
    ~reply_t() { if (reply) freeReplyObject(reply); }
    redisReply* reply;
};

std::unique_ptr<lp_redis_ssl_context_t> context_for(const char* ca_file, const char* ca_dir,
    const char* cert = nullptr, const char* key = nullptr, lp_redis_ssl_error_t* error_out = nullptr)
{
    lp_redis_ssl_error_t error = LP_REDIS_SSL_OK;
    auto ctx = lp_redis_create_ssl_context(ca_file, ca_dir, cert, key, "localhost", &error);
    if (error_out)
        *error_out = error;
    return ctx;
}

// ECHO of a value with a space, a "%" and a zero byte.
void expect_echo(lp_redis_conn_t& conn)
{
    const std::string value("a b%s\0z", 7);
    const char* argv[] = {"ECHO", value.data()};
    const size_t lens[] = {4, value.size()};
    reply_t r(conn.command_argv(2, argv, lens));
    ASSERT_NE(r.reply, nullptr) << conn.errstr();
    ASSERT_EQ(r.reply->type, REDIS_REPLY_STRING);
    EXPECT_EQ(std::string(r.reply->str, r.reply->len), value);
}

class RedisTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new redis_server_t(); }
    static void TearDownTestSuite() { delete server; }
    static redis_server_t* server;
};

redis_server_t* RedisTls::server = nullptr;

} // namespace

TEST_F(RedisTls, PlainTcpAndUnixSocketCarryCommandsByteForByte)
{
    auto tcp = lp_redis_conn_t::connect_tcp("127.0.0.1", server->port);
    ASSERT_TRUE(tcp && tcp->err() == 0) << (tcp ? tcp->errstr() : "no context");
    expect_echo(*tcp);
    expect_echo(*tcp);
    auto unix_conn = lp_redis_conn_t::connect_unix(server->socket_path);
    ASSERT_TRUE(unix_conn && unix_conn->err() == 0);
    expect_echo(*unix_conn);
}

TEST_F(RedisTls, CaFileAndHashedCaDirectoryVerifyTheServer)
{
    ASSERT_TRUE(lp_redis_init_openssl());
    for (bool use_dir : {false, true}) {
        SCOPED_TRACE(use_dir ? "CA directory" : "CA file");
        auto ctx = use_dir ? context_for(nullptr, server->tls().ca_dir.c_str())
                           : context_for(server->tls().ca_cert.c_str(), nullptr);
        ASSERT_TRUE(ctx);
        auto conn = lp_redis_conn_t::connect_tcp("127.0.0.1", server->tls_port);
        ASSERT_TRUE(conn && conn->err() == 0);
        ASSERT_TRUE(conn->initiate_ssl(*ctx)) << conn->errstr();
        expect_echo(*conn);
    }
}

TEST_F(RedisTls, ContextFailuresNameTheirCause)
{
    ASSERT_TRUE(lp_redis_init_openssl());
    const auto& tls = server->tls();
    const std::string missing = server->dir.file("missing.pem");
    struct case_t {
        const char* name;
        const char* ca_file;
        const char* cert;
        const char* key;
        lp_redis_ssl_error_t expected;
    } cases[] = {
        {"empty CA file", "", nullptr, nullptr, LP_REDIS_SSL_CA_LOAD_FAILED},
        {"missing CA file", missing.c_str(), nullptr, nullptr, LP_REDIS_SSL_CA_LOAD_FAILED},
        {"CA file that is a key", tls.server_key.c_str(), nullptr, nullptr, LP_REDIS_SSL_CA_LOAD_FAILED},
        {"missing certificate", tls.ca_cert.c_str(), missing.c_str(), tls.client_key.c_str(),
         LP_REDIS_SSL_CERT_LOAD_FAILED},
        {"key of another certificate", tls.ca_cert.c_str(), tls.client_cert.c_str(), tls.server_key.c_str(),
         LP_REDIS_SSL_KEY_LOAD_FAILED},
        {"certificate without key", tls.ca_cert.c_str(), tls.client_cert.c_str(), nullptr,
         LP_REDIS_SSL_CERT_KEY_REQUIRED},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        lp_redis_ssl_error_t error = LP_REDIS_SSL_OK;
        EXPECT_FALSE(context_for(c.ca_file, nullptr, c.cert, c.key, &error));
        EXPECT_EQ(error, c.expected);
    }
    EXPECT_STREQ(lp_redis_ssl_error_text(LP_REDIS_SSL_CA_LOAD_FAILED), "Failed to load CA Certificate or CA Path");
}

TEST_F(RedisTls, ServerOfAnotherCaFailsTheHandshake)
{
    ASSERT_TRUE(lp_redis_init_openssl());
    auto ctx = context_for(server->tls().other_ca_cert.c_str(), nullptr);
    ASSERT_TRUE(ctx);
    auto conn = lp_redis_conn_t::connect_tcp("127.0.0.1", server->tls_port);
    ASSERT_TRUE(conn && conn->err() == 0);
    EXPECT_FALSE(conn->initiate_ssl(*ctx));
    EXPECT_NE(std::string(conn->errstr()).find("certificate verify failed"), std::string::npos) << conn->errstr();
    // The failed connection stays failed.
    const char* argv[] = {"PING"};
    const size_t lens[] = {4};
    EXPECT_EQ(conn->command_argv(1, argv, lens), nullptr);
}

TEST_F(RedisTls, ClosedServerSideIsEndOfFile)
{
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        auto ctx = context_for(server->tls().ca_cert.c_str(), nullptr);
        auto conn = lp_redis_conn_t::connect_tcp("127.0.0.1", tls ? server->tls_port : server->port);
        ASSERT_TRUE(conn && conn->err() == 0);
        if (tls) {
            ASSERT_TRUE(conn->initiate_ssl(*ctx)) << conn->errstr();
        }
        expect_echo(*conn);
        ASSERT_GE(server->kill_clients(), 1);
        const char* argv[] = {"PING"};
        const size_t lens[] = {4};
        EXPECT_EQ(conn->command_argv(1, argv, lens), nullptr);
        // A write into a closed socket may be seen first: both are a lost
        // connection.
        EXPECT_TRUE(conn->err() == REDIS_ERR_EOF || conn->err() == REDIS_ERR_IO) << conn->errstr();
    }
}

TEST(RedisTlsClientCertificates, RequiredCertificateIsSentWhenConfigured)
{
    redis_server_t server(redis_options_t{true, ""});
    ASSERT_TRUE(lp_redis_init_openssl());
    const auto& tls = server.tls();
    auto with_cert = context_for(tls.ca_cert.c_str(), nullptr, tls.client_cert.c_str(), tls.client_key.c_str());
    ASSERT_TRUE(with_cert);
    auto conn = lp_redis_conn_t::connect_tcp("127.0.0.1", server.tls_port);
    ASSERT_TRUE(conn->initiate_ssl(*with_cert)) << conn->errstr();
    expect_echo(*conn);

    // Without one, TLS 1.3 lets the client finish its handshake; the
    // server's refusal arrives as an alert at the first read.
    auto without = context_for(tls.ca_cert.c_str(), nullptr);
    auto refused = lp_redis_conn_t::connect_tcp("127.0.0.1", server.tls_port);
    const bool handshake = refused->initiate_ssl(*without);
    if (handshake) {
        const char* argv[] = {"PING"};
        const size_t lens[] = {4};
        EXPECT_EQ(refused->command_argv(1, argv, lens), nullptr);
    }
    EXPECT_TRUE(refused->err() == REDIS_ERR_EOF || refused->err() == REDIS_ERR_IO) << refused->errstr();
}

TEST(RedisTlsTimeLimits, HungServerFailsHandshakeAndCommandInTime)
{
    hung_server_t hung;
    ASSERT_TRUE(lp_redis_init_openssl());
    // The server sends nothing, so no trust anchor is ever consulted.
    lp_redis_ssl_error_t error = LP_REDIS_SSL_OK;
    auto dummy = lp_redis_create_ssl_context(nullptr, nullptr, nullptr, nullptr, nullptr, &error);
    ASSERT_TRUE(dummy);

    auto start = std::chrono::steady_clock::now();
    auto tls = lp_redis_conn_t::connect_tcp("127.0.0.1", hung.port());
    ASSERT_TRUE(tls && tls->err() == 0);
    EXPECT_FALSE(tls->initiate_ssl(*dummy));
    EXPECT_EQ(tls->err(), REDIS_ERR_IO);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(4900));
    EXPECT_LT(took, std::chrono::seconds(7));

    start = std::chrono::steady_clock::now();
    auto plain = lp_redis_conn_t::connect_tcp("127.0.0.1", hung.port());
    ASSERT_TRUE(plain && plain->err() == 0);
    const char* argv[] = {"PING"};
    const size_t lens[] = {4};
    EXPECT_EQ(plain->command_argv(1, argv, lens), nullptr);
    EXPECT_EQ(plain->err(), REDIS_ERR_IO);
    took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(9900));
    EXPECT_LT(took, std::chrono::seconds(12));
}
