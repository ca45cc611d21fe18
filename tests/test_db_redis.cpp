// Redis tags through the real daemon against a real Redis 7: commands formed
// per argument, replies flattened, AUTH and SELECT, lost connections, TLS and
// servers that never answer.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_db_fixture.h"
#include "support/hung_server.h"
#include "support/redis_server.h"

using velbo_test::hung_server_t;
using velbo_test::redis_monitor_t;
using velbo_test::redis_options_t;
using velbo_test::redis_server_t;

namespace {

constexpr lp::LookupType REDIS = lp::LOOKUP_REDIS;

db_tag_t redis_tag(const std::string& tag, const std::string& conn, const std::string& request,
                   std::optional<bool> use_ssl = std::nullopt)
{
    return db_tag_t{REDIS, tag, conn, request, use_ssl};
}

std::string quoted(const std::string& text)
{
    return config_literal(text);
}

// The global TLS lines.
std::string tls_globals(const std::string& ca, const std::string& cert = "", const std::string& key = "")
{
    std::string text = "redis_ca_path: " + quoted(ca) + "\n";
    if (!cert.empty())
        text += "redis_certificate_path: " + quoted(cert) + "\n";
    if (!key.empty())
        text += "redis_key_path: " + quoted(key) + "\n";
    return text;
}

using values_t = std::vector<std::string>;

// Keeps connections open between requests (the default closes them after each).
const std::string keep_connections = "db_idle_timeout: 60000\n";

// One server for the suite, its data set by each test.
class RedisTags : public db_fixture_t {
protected:
    static void SetUpTestSuite() { server = new redis_server_t(); }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override { server->command({"FLUSHALL"}); }

    // Connections the server has accepted so far.
    static long accepted(redis_server_t& on = *server)
    {
        const std::string info = on.command({"INFO", "stats"});
        const std::string key = "total_connections_received:";
        return std::stol(info.substr(info.find(key) + key.size()));
    }

    static redis_server_t* server;
    // A server of the test's own, for other server settings.
    std::unique_ptr<redis_server_t> own;
};

redis_server_t* RedisTags::server = nullptr;

} // namespace

TEST_F(RedisTags, ValuesStayWithinTheirArgumentByteForByte)
{
    const std::string user = "al ice%s %d";
    server->command({"SADD", "grp:" + user, "staff", "wheel"});
    server->command({"HSET", "h:" + user, "example.org", "mailbox 1"});
    server->command({"SET", "pct%s", "literal percent"});
    server->command({"SET", "$u", "literal dollar"});
    start({redis_tag("members", server->tcp_conn(), "SMEMBERS   grp:$u"),
           redis_tag("field", server->tcp_conn(), "HGET h:$U $D"),
           redis_tag("percent", server->tcp_conn(), "GET pct%s"),
           redis_tag("dollar", server->tcp_conn(), "GET $$u"),
           redis_tag("alone", server->tcp_conn(), "  $u  ")});
    redis_monitor_t monitor(*server);

    values_t members = lookup(REDIS, "members", user);
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (values_t{"staff", "wheel"}));
    EXPECT_TRUE(monitor.wait_for("\"SMEMBERS\" \"grp:al ice%s %d\"")) << monitor.seen();
    EXPECT_EQ(lookup(REDIS, "field", user, "example.org"), values_t{"mailbox 1"});
    EXPECT_EQ(lookup(REDIS, "percent", user), values_t{"literal percent"});
    EXPECT_EQ(lookup(REDIS, "dollar", user), values_t{"literal dollar"});
    // A template that is only a placeholder: the value is the command.
    EXPECT_EQ(lookup(REDIS, "alone", "PING"), values_t{"PONG"});

    EXPECT_TRUE(check(REDIS, "members", "wheel", user));
    EXPECT_FALSE(check(REDIS, "members", "WHEEL", user));
    EXPECT_FALSE(check(REDIS, "members", "wheel", "al ice%s"));
}

TEST_F(RedisTags, RepliesAreFlattenedInOrder)
{
    server->command({"RPUSH", "list", "one", "two", "three"});
    server->command({"SET", "bin", std::string("a\0b", 3)});
    struct case_t {
        const char* request;
        values_t values;
    } cases[] = {
        {"LRANGE list 0 -1", {"one", "two", "three"}},
        {"GET bin", {std::string("a\0b", 3)}},
        {"PING", {"PONG"}},
        {"LLEN list", {"3"}},
        {"INCRBY counter -42", {"-42"}},
        {"GET missing", {""}},
        {"LRANGE missing 0 -1", {}},
        // Nested arrays, a nil among them (Lua's false) and an integer.
        {"EVAL return{'a',{'b',{'c',false}},7} 0", {"a", "b", "c", "", "7"}},
    };
    std::vector<db_tag_t> tags;
    for (size_t i = 0; i < std::size(cases); ++i)
        tags.push_back(redis_tag("t" + std::to_string(i), server->unix_conn(), cases[i].request));
    start(tags);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].request);
        EXPECT_EQ(lookup(REDIS, "t" + std::to_string(i)), cases[i].values);
    }
}

TEST_F(RedisTags, ErrorReplyGivesTheServersText)
{
    server->command({"RPUSH", "list", "one"});
    start({redis_tag("wrong", server->tcp_conn(), "HGET list $u"),
           redis_tag("good", server->tcp_conn(), "LRANGE list 0 -1")},
          keep_connections);
    const size_t mark = log_mark();
    EXPECT_EQ(error_of(ask_lookup(REDIS, "wrong", "x")), qv::EC_DB_COMMON_ERROR);
    EXPECT_NE(log_since(mark).find("Datasource [wrong.redis]: WRONGTYPE Operation against a key holding the wrong"),
              std::string::npos)
        << log_since(mark);
    EXPECT_EQ(error_of(ask_check(REDIS, "wrong", "one", "x")), qv::EC_DB_COMMON_ERROR);
    // The connection is still good.
    const long before = accepted();
    EXPECT_EQ(lookup(REDIS, "good"), values_t{"one"});
    EXPECT_EQ(accepted(), before);
}

TEST_F(RedisTags, FileSchemeIsRefused)
{
    const std::string file = path_of("not-a-socket");
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_TRUE(f);
    std::fclose(f);
    start({redis_tag("file", "file://" + file, "PING")});
    const size_t mark = log_mark();
    EXPECT_EQ(error_of(ask_lookup(REDIS, "file")), qv::EC_BAD_CONFIG);
    EXPECT_NE(log_since(mark).find("Only \"tcp://\" and \"unix://\" schema prefixes are allowed"), std::string::npos);
}

TEST_F(RedisTags, RefusedSelectFailsTheConnection)
{
    server->command({"SET", "k", "from database 0"});
    start({redis_tag("far", server->tcp_conn("", "99"), "GET k"),
           redis_tag("unix", server->unix_conn("99"), "GET k")});
    for (const char* tag : {"far", "unix"}) {
        SCOPED_TRACE(tag);
        const size_t mark = log_mark();
        const lp::ServerMessage answer = ask_lookup(REDIS, tag);
        EXPECT_EQ(error_of(answer), qv::EC_DB_OPEN_ERROR);
        EXPECT_EQ(answer.data_size(), 0);
        EXPECT_NE(log_since(mark).find("Cannot connect to database: ERR DB index is out of range"),
                  std::string::npos)
            << log_since(mark);
    }
    // Nothing stays connected on database 0.
    EXPECT_EQ(error_of(ask_lookup(REDIS, "far")), qv::EC_DB_OPEN_ERROR);
}

TEST_F(RedisTags, LostConnectionIsReconnectedOnce)
{
    server->command({"SET", "k", "v1"});
    start({redis_tag("k", server->tcp_conn(), "GET k")}, keep_connections);
    EXPECT_EQ(lookup(REDIS, "k"), values_t{"v1"});
    const long before = accepted();
    EXPECT_EQ(lookup(REDIS, "k"), values_t{"v1"});
    EXPECT_EQ(accepted(), before);  // the connection is reused

    ASSERT_EQ(server->kill_clients(), 1);
    server->command({"SET", "k", "v2"});
    const size_t mark = log_mark();
    EXPECT_EQ(lookup(REDIS, "k"), values_t{"v2"});
    EXPECT_EQ(accepted(), before + 1);  // one reconnect
    EXPECT_EQ(count_of(log_since(mark), "Server closed the connection"), 1u) << log_since(mark);
}

TEST_F(RedisTags, RestartedServerIsReconnected)
{
    server->command({"SET", "k", "before"});
    start({redis_tag("k", server->unix_conn(), "GET k"),
           redis_tag("tls", server->tls_conn(), "GET k", true)},
          tls_globals(server->tls().ca_cert) + keep_connections);
    EXPECT_EQ(lookup(REDIS, "k"), values_t{"before"});
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"before"});
    server->restart();
    server->command({"SET", "k", "after"});
    EXPECT_EQ(lookup(REDIS, "k"), values_t{"after"});
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"after"});
}

TEST_F(RedisTags, TlsWithCaFileOrDirectory)
{
    server->command({"SET", "k", "secret value"});
    const std::vector<db_tag_t> tags{redis_tag("tls", server->tls_conn(), "GET k", true)};
    start(tags, tls_globals(server->tls().ca_cert) + keep_connections);
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"secret value"});
    reconfigure(tags, tls_globals(server->tls().ca_dir) + keep_connections);
    const long before = accepted();
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"secret value"});
    EXPECT_EQ(accepted(), before + 1);  // reconfigure closed the first connection
}

TEST_F(RedisTags, TlsFailuresAreOpenErrors)
{
    const auto& tls = server->tls();
    struct case_t {
        const char* name;
        std::string globals;
        const char* message;
    } cases[] = {
        {"CA of another authority", tls_globals(tls.other_ca_cert),
         "Datasource [tls.redis]: Cannot connect to database: Cannot initiate Redis SSL with context: "},
        {"empty CA path", "redis_ca_path: \"\"\n",
         "Datasource [tls.redis]: Cannot connect to database: Cannot create SSL Redis context: Failed to load CA "
         "Certificate or CA Path"},
        {"no CA path", "",
         "Datasource [tls.redis]: Cannot connect to database: Cannot create SSL Redis context: Failed to load CA "
         "Certificate or CA Path"},
        {"key of another certificate", tls_globals(tls.ca_cert, tls.client_cert, tls.server_key),
         "Datasource [tls.redis]: Cannot connect to database: Cannot create SSL Redis context: Failed to load "
         "private key"},
    };
    const std::vector<db_tag_t> tags{redis_tag("tls", server->tls_conn(), "PING", true)};
    start(tags);
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        reconfigure(tags, c.globals);
        const size_t mark = log_mark();
        EXPECT_EQ(error_of(ask_lookup(REDIS, "tls")), qv::EC_DB_OPEN_ERROR);
        EXPECT_NE(log_since(mark).find(c.message), std::string::npos) << log_since(mark);
    }
    // Never a fall-back to the clear.
    EXPECT_EQ(log().find("PONG"), std::string::npos);
}

TEST_F(RedisTags, CertificateWithoutKeyIsIgnoredWithWarning)
{
    start({redis_tag("tls", server->tls_conn(), "PING", true)},
          tls_globals(server->tls().ca_cert, server->tls().client_cert));
    const size_t mark = log_mark();
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"PONG"});
    EXPECT_NE(log_since(mark).find("Warning: Datasource [tls.redis]: RedisCertificatePath and RedisKeyPath "
                                   "parameters are not provided together. Both will be ignored"),
              std::string::npos)
        << log_since(mark);
}

TEST_F(RedisTags, OneConnectionStringWithAndWithoutTlsNeverShares)
{
    server->command({"SET", "k", "v"});
    const std::string globals = tls_globals(server->tls().ca_cert) + keep_connections;
    // The plain port: the TLS tag must not use the plain tag's connection.
    start({redis_tag("plain", server->tcp_conn(), "GET k"),
           redis_tag("tls", server->tcp_conn(), "GET k", true)},
          globals);
    EXPECT_EQ(lookup(REDIS, "plain"), values_t{"v"});
    EXPECT_EQ(error_of(ask_lookup(REDIS, "tls")), qv::EC_DB_OPEN_ERROR);
    EXPECT_EQ(lookup(REDIS, "plain"), values_t{"v"});

    // The TLS port: the plain tag must not use the TLS tag's connection.
    reconfigure({redis_tag("plain", server->tls_conn(), "GET k"),
                 redis_tag("tls", server->tls_conn(), "GET k", true)},
                globals);
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"v"});
    EXPECT_EQ(error_of(ask_lookup(REDIS, "plain")), qv::EC_DB_CONN_CLOSED);
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"v"});

    // A plain tag whose string holds a NUL and the name of the TLS setting
    // does not reach the TLS tag's pooled connection: its string is refused.
    reconfigure({redis_tag("tls", server->tls_conn(), "GET k", true),
                 redis_tag("plain", server->tls_conn() + std::string(1, '\0') + "tls", "GET k")},
                globals);
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"v"});
    EXPECT_EQ(error_of(ask_lookup(REDIS, "plain")), qv::EC_UNEXPECTED_ERROR);
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"v"});
}

TEST_F(RedisTags, IdleClosingLineShowsNoAuthSecret)
{
    // No password on this server: AUTH is refused, which the command does
    // not see (the default user needs none).
    server->command({"SET", "k", "v"});
    start({redis_tag("k", server->tcp_conn("hunter2", "0"), "GET k")}, "db_idle_timeout: 1000\n");
    EXPECT_EQ(lookup(REDIS, "k"), values_t{"v"});
    const std::string expected = "Datasource [redis] (tcp://127.0.0.1:" + std::to_string(server->port)
        + "/0):  Inactivity time: ";
    ASSERT_TRUE(daemon->wait_for_stderr(expected)) << log();
    EXPECT_EQ(log().find("hunter2"), std::string::npos) << log();
}

TEST_F(RedisTags, AuthThenSelectFromTheConnectionString)
{
    own = std::make_unique<redis_server_t>(redis_options_t{false, "s3cret"});
    own->command({"EVAL", "redis.call('SELECT','3'); return redis.call('SET','k','in three')", "0"});
    start({redis_tag("k", own->tcp_conn("s3cret", "3"), "GET k"),
           redis_tag("nouser", "tcp://:s3cret@127.0.0.1:" + std::to_string(own->port), "GET k"),
           redis_tag("wrong", own->tcp_conn("wrong"), "GET k"),
           redis_tag("wrongdb", own->tcp_conn("wrong", "3"), "GET k")});
    redis_monitor_t monitor(*own, "s3cret");
    EXPECT_EQ(lookup(REDIS, "k"), values_t{"in three"});
    ASSERT_TRUE(monitor.wait_for("\"GET\" \"k\"")) << monitor.seen();
    const std::string& seen = monitor.seen();
    const size_t auth = seen.find("\"AUTH\"");
    const size_t select = seen.find("\"SELECT\" \"3\"");
    ASSERT_NE(auth, std::string::npos) << seen;
    ASSERT_NE(select, std::string::npos) << seen;
    EXPECT_LT(auth, select);
    EXPECT_LT(select, seen.find("\"GET\" \"k\""));

    // A password part alone sends no AUTH; a refused AUTH shows in the
    // command's reply, or in the SELECT that follows it.
    struct case_t {
        const char* tag;
        int code;
        const char* message;
    } cases[] = {
        {"nouser", qv::EC_DB_COMMON_ERROR, "Datasource [nouser.redis]: NOAUTH Authentication required"},
        {"wrong", qv::EC_DB_COMMON_ERROR, "Datasource [wrong.redis]: NOAUTH Authentication required"},
        {"wrongdb", qv::EC_DB_OPEN_ERROR,
         "Datasource [wrongdb.redis]: Cannot connect to database: NOAUTH Authentication required"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.tag);
        const size_t mark = log_mark();
        EXPECT_EQ(error_of(ask_lookup(REDIS, c.tag)), c.code);
        EXPECT_NE(log_since(mark).find(c.message), std::string::npos) << log_since(mark);
    }
    EXPECT_EQ(log().find("s3cret"), std::string::npos);
}

TEST_F(RedisTags, SpoiledConnectionStringsConnectNowhere)
{
    own = std::make_unique<redis_server_t>(redis_options_t{false, "s3cret"});
    own->command({"EVAL", "redis.call('SELECT','3'); return redis.call('SET','k','in three')", "0"});
    const long before = accepted(*own);
    expect_spoiled_conns_refused(REDIS,
                                 {"tcp://{s3cret}:{pw}@{127.0.0.1}:" + std::to_string(own->port) + "/{3}?{k}={v}",
                                  "unix://{s3cret}@" + own->socket_path + ":{3}?{k}={v}"},
                                 "GET k", {"in three"}, keep_connections);
    // Only the two clean strings connected.
    EXPECT_EQ(accepted(*own), before + 2);
}

TEST_F(RedisTags, ServerThatRequiresClientCertificates)
{
    own = std::make_unique<redis_server_t>(redis_options_t{true, ""});
    const auto& tls = own->tls();
    const std::vector<db_tag_t> tags{redis_tag("tls", own->tls_conn(), "PING", true)};
    start(tags, tls_globals(tls.ca_cert, tls.client_cert, tls.client_key));
    EXPECT_EQ(lookup(REDIS, "tls"), values_t{"PONG"});

    // Without a certificate TLS 1.3 completes the handshake on the client's
    // side; the server's refusal (an alert, then the close) arrives when the
    // reply is read. That is a lost connection (52), retried once on a new
    // connection, which fails the same way: 52 is delivered.
    reconfigure(tags, tls_globals(tls.ca_cert));
    const size_t mark = log_mark();
    EXPECT_EQ(error_of(ask_lookup(REDIS, "tls")), qv::EC_DB_CONN_CLOSED);
    EXPECT_EQ(count_of(log_since(mark), "Error: Datasource [tls.redis]: "), 2u) << log_since(mark);
}

TEST_F(RedisTags, HungServerFailsWithinTheTimeLimitsAndOthersAnswerAfterwards)
{
    hung_server_t hung;
    const std::string hung_conn = "tcp://127.0.0.1:" + std::to_string(hung.port());
    start({redis_tag("hung", hung_conn, "PING"), redis_tag("hungtls", hung_conn, "PING", true),
           redis_tag("good", server->unix_conn(), "PING")},
          tls_globals(server->tls().ca_cert));

    // TLS: the handshake is within the connect limit of 5 s.
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of(ask(lookup_request(0, REDIS, "hungtls"), std::chrono::seconds(40))),
              qv::EC_DB_OPEN_ERROR);
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, std::chrono::milliseconds(4900));
    EXPECT_LT(took, std::chrono::seconds(8));

    // Plain: the command gets 10 s, counts as lost, and the one retry gets
    // 10 s again.
    began = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of(ask(lookup_request(0, REDIS, "hung"), std::chrono::seconds(40))),
              qv::EC_DB_CONN_CLOSED);
    took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, std::chrono::milliseconds(19800));
    EXPECT_LT(took, std::chrono::seconds(30));

    EXPECT_EQ(lookup(REDIS, "good"), values_t{"PONG"});
}
