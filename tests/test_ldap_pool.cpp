// The pool of bound LDAP connections, seen from slapd's stats log: reuse,
// the key with the password, result codes that keep a connection, clearing
// at each configuration, one connection opened per key at a time, and pooled
// connections that the server closed.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/daemon_ldap_fixture.h"
#include "support/slapd_server.h"
#include "support/tcp_relay.h"

using namespace velbo_test;

namespace {

const std::string people = "ou=people,dc=example,dc=test";

std::string user_dn(const std::string& uid)
{
    return "uid=" + uid + "," + people;
}

const std::string retried = "searching again on a new connection";

slapd_options_t people_options(const std::string& bob_password = "bob-pw")
{
    slapd_options_t options;
    options.ldif = ldif_ou(people) + ldif_user(user_dn("alice"), "alice", "alice-pw") +
                   ldif_user(user_dn("bob"), "bob", bob_password);
    return options;
}

class LdapPool : public ldap_fixture_t {
protected:
    explicit LdapPool(slapd_options_t options = people_options())
    {
        server = std::make_unique<slapd_server_t>(options);
        server->start();
    }
    ~LdapPool() override { server->resume(); }

    std::string url() const { return server->ldap_url() + "/" + people + "?cn?sub?(uid=$u)"; }

    // Waits until the daemon has read `count` requests in all.
    bool wait_for_requests(size_t count) { return wait_for_log_count("<-- LOOKUP_REQUEST ", count); }

    std::unique_ptr<slapd_server_t> server;
};

TEST_F(LdapPool, OneBoundConnectionServesConsecutiveAndPipelinedLookups)
{
    start({{"a", url(), user_dn("bob"), "bob-pw"}, {"b", url(), user_dn("bob"), "bob-pw"}});
    EXPECT_EQ(lookup("a", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(lookup("b", "bob"), (std::vector<std::string>{"bob"}));
    // Pipelined: all on the pooled connection, queued on its worker.
    std::vector<lp::ClientMessage> batch;
    for (uint32_t i = 100; i < 120; ++i)
        batch.push_back(lookup_request(i, lp::LOOKUP_LDAP, "a", i % 2 ? "alice" : "bob"));
    const auto answers = client->exchange(batch, daemon_timeout);
    ASSERT_EQ(answers.size(), batch.size());
    for (const auto& answer : answers)
        EXPECT_EQ(data_of(answer.second), std::vector<std::string>{answer.first % 2 ? "alice" : "bob"});
    EXPECT_TRUE(server->wait_for_stats("SRCH", 22));
    EXPECT_EQ(server->stats_count("BIND"), 1u) << server->log();
    EXPECT_EQ(server->stats_count("ACCEPT"), 1u);
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 1u);
    EXPECT_NE(log().find("lp_ldap_ties_t::get: " + server->ldap_url() + " \"" + user_dn("bob") + "\" -> 0x"),
              std::string::npos)
        << log();
}

TEST_F(LdapPool, ThePasswordIsPartOfTheKey)
{
    // A wrong password never rides on the connection the right one bound.
    start({{"right", url(), user_dn("bob"), "bob-pw"}, {"wrong", url(), user_dn("bob"), "guess"}});
    EXPECT_EQ(lookup("right", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(error_of(ask_lookup("wrong", "alice")), "125 Invalid credentials");
    EXPECT_EQ(lookup("right", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(server->stats_count("BIND"), 2u) << server->log();
}

// Two passwords with one std::hash value (on this 64-bit libstdc++): the
// key compares the passwords themselves, not a digest of them.
const std::string right_password = "Right-pwOfBob-01";
const std::string colliding_password = "MrmjY41u8irpJx9S";

class LdapPoolKey : public LdapPool {
protected:
    LdapPoolKey() : LdapPool(people_options(right_password)) {}
};

TEST_F(LdapPoolKey, PasswordsOfOneHashAreTwoKeys)
{
    ASSERT_EQ(std::hash<std::string>()(right_password), std::hash<std::string>()(colliding_password))
        << "the library hashes otherwise: find another pair";
    start({{"right", url(), user_dn("bob"), right_password}, {"wrong", url(), user_dn("bob"), colliding_password}});
    EXPECT_EQ(lookup("right", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(error_of(ask_lookup("wrong", "alice")), "125 Invalid credentials");
    EXPECT_EQ(lookup("right", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(server->stats_count("BIND"), 2u) << server->log();
    EXPECT_EQ(log().find(right_password), std::string::npos) << "a password reached the log";
    EXPECT_EQ(log().find(colliding_password), std::string::npos) << "a password reached the log";
}

// A result the server sent is an answer, not a lost connection: the
// connection stays pooled, and the tags that share its key go on using it.
slapd_options_t results_options()
{
    slapd_options_t options = people_options();
    options.ldif += ldif_referral("ou=moved,dc=example,dc=test", "ldap://127.0.0.1:1/ou=moved,dc=other,dc=test");
    options.size_limit = 1;
    return options;
}

class LdapPoolResults : public LdapPool {
protected:
    LdapPoolResults() : LdapPool(results_options()) {}
};

TEST_F(LdapPoolResults, ResultCodesOfTheServerLeaveTheConnectionPooled)
{
    const std::string at = server->ldap_url() + "/";
    const std::string rest = "?cn?sub?(uid=$u)";
    struct case_t {
        std::string tag, url, error;
    };
    const std::vector<case_t> cases = {
        {"nobase", at + "ou=nowhere,dc=example,dc=test" + rest, "125 No such object"},
        {"baddn", at + "nonsense" + rest, "125 Invalid DN syntax"},
        {"limit", at + people + "?cn?sub?(objectClass=inetOrgPerson)", "125 Size limit exceeded"},
        {"referral", at + "ou=moved,dc=example,dc=test" + rest, "125 Referral"},
        // Refused by libldap before anything is sent.
        {"filter", at + people + "?cn?sub?(uid=$u", "125 Bad search filter"},
    };
    std::vector<ldap_tag_t> tags = {{"good", at + people + rest, user_dn("bob"), "bob-pw"}};
    for (const case_t& c : cases)
        tags.push_back({c.tag, c.url, user_dn("bob"), "bob-pw"});
    start(tags);
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.tag);
        // Ten of each, alternating with a tag that succeeds on the same key.
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(error_of(ask_lookup(c.tag, "alice")), c.error);
            const lp::ServerMessage good = ask_lookup("good", i % 2 ? "alice" : "bob");
            EXPECT_EQ(error_of(good), "");
            EXPECT_EQ(data_of(good), std::vector<std::string>{i % 2 ? "alice" : "bob"});
        }
        EXPECT_EQ(server->stats_count("BIND"), 1u) << server->log();
    }
    EXPECT_EQ(server->stats_count("ACCEPT"), 1u);
    EXPECT_EQ(count_of(log(), ": init: "), 1u);
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 1u);
}

TEST_F(LdapPool, EachConfigurationEmptiesThePool)
{
    start({{"t", url(), user_dn("bob"), "bob-pw"}});
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(server->stats_count("BIND"), 1u);
    // The password changes: the pooled connection is not used for it.
    reconfigure({{"t", url(), user_dn("bob"), "stale"}});
    EXPECT_NE(log().find("Debug: lp_ldap_ties_t::clear\n"), std::string::npos);
    EXPECT_EQ(error_of(ask_lookup("t", "alice")), "125 Invalid credentials");
    // And back: a fresh bind again, since the configuration emptied the pool.
    reconfigure({{"t", url(), user_dn("bob"), "bob-pw"}});
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(server->stats_count("BIND"), 3u) << server->log();
    // The dropped connection closed once nothing held it.
    EXPECT_TRUE(server->wait_for_stats("UNBIND", 1));
}

TEST_F(LdapPool, ABindThatEndsAfterANewConfigurationIsNotPooledNorShared)
{
    start({{"t", url(), user_dn("bob"), "bob-pw"}});
    // The bind waits for the paused server while a configuration arrives.
    server->pause();
    ASSERT_TRUE(client->send_lookup(1, lp::LOOKUP_LDAP, "t", "alice"));
    ASSERT_TRUE(daemon->wait_for_stderr("do_bind: \"" + user_dn("bob") + "\""));
    reconfigure({{"t", url(), user_dn("bob"), "bob-pw"}});
    // A lookup under the new configuration opens a connection of its own.
    ASSERT_TRUE(client->send_lookup(2, lp::LOOKUP_LDAP, "t", "bob"));
    ASSERT_TRUE(wait_for_requests(2));
    EXPECT_EQ(count_of(log(), ": init: "), 2u) << log();
    server->resume();
    for (int i = 0; i < 2; ++i) {
        const auto answer = client->receive(2 * daemon_timeout);
        ASSERT_TRUE(answer);
        EXPECT_EQ(data_of(*answer), std::vector<std::string>{answer->serial() == 1 ? "alice" : "bob"});
    }
    // Only the second bind's connection was pooled, and it serves the next.
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 1u) << log();
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 1u);
    EXPECT_EQ(server->stats_count("BIND"), 2u);
}

TEST_F(LdapPool, LookupsArrivingWhileTheBindRunsShareItsConnectionAndItsOutcome)
{
    start({{"a", url(), user_dn("bob"), "bob-pw"},
           {"b", url(), user_dn("bob"), "bob-pw"},
           {"alice", url(), user_dn("alice"), "alice-pw"},
           {"wrong", url(), user_dn("bob"), "guess"}});
    server->pause();
    // Tags a and b share the key; alice and wrong have keys of their own.
    std::vector<lp::ClientMessage> batch;
    for (uint32_t i = 1; i <= 30; ++i) {
        const char* tags[] = {"a", "b", "alice"};
        batch.push_back(lookup_request(i, lp::LOOKUP_LDAP, i <= 27 ? tags[i % 3] : "wrong", i % 2 ? "alice" : "bob"));
    }
    std::string frames;
    for (const auto& request : batch)
        frames += frame_of(request);
    ASSERT_TRUE(client->send_raw(frames));
    ASSERT_TRUE(wait_for_requests(batch.size()));
    server->resume();
    std::map<uint32_t, lp::ServerMessage> all;
    while (all.size() < batch.size()) {
        const auto answer = client->receive(2 * daemon_timeout);
        ASSERT_TRUE(answer) << log();
        all[answer->serial()] = *answer;
    }
    for (const auto& [serial, answer] : all) {
        SCOPED_TRACE(serial);
        if (serial > 27)
            EXPECT_EQ(error_of(answer), "125 Invalid credentials");
        else
            EXPECT_EQ(data_of(answer), std::vector<std::string>{serial % 2 ? "alice" : "bob"});
    }
    // One connection and one bind per key; the failed one pooled nothing.
    EXPECT_EQ(count_of(log(), ": init: "), 3u) << log();
    EXPECT_EQ(server->stats_count("ACCEPT"), 3u) << server->log();
    EXPECT_EQ(server->stats_count("BIND"), 3u) << server->log();
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 2u);
}

TEST_F(LdapPool, PooledConnectionsLostToARestartAreReplacedByOne)
{
    start({{"t", url(), user_dn("bob"), "bob-pw"}});
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    server->restart();
    // Three pipelined lookups meet the lost connection; all move to one new.
    std::vector<lp::ClientMessage> batch;
    for (uint32_t i = 1; i <= 3; ++i)
        batch.push_back(lookup_request(i, lp::LOOKUP_LDAP, "t", i % 2 ? "alice" : "bob"));
    const auto answers = client->exchange(batch, 2 * daemon_timeout);
    ASSERT_EQ(answers.size(), batch.size()) << log();
    for (const auto& [serial, answer] : answers)
        EXPECT_EQ(data_of(answer), std::vector<std::string>{serial % 2 ? "alice" : "bob"}) << log();
    // Each search that met it was retried once; one that came after its
    // loss was seen went to the new connection at once.
    EXPECT_GE(count_of(log(), retried), 1u) << log();
    EXPECT_LE(count_of(log(), retried), 3u) << log();
    EXPECT_NE(log().find("Debug: Datasource [t.ldap]: lp_ldap_client_t::search: Can't contact LDAP server, " +
                         retried),
              std::string::npos);
    // The restarted server saw one connection and one bind.
    EXPECT_EQ(server->stats_count("BIND"), 2u) << server->log();
    EXPECT_EQ(server->stats_count("ACCEPT"), 2u) << server->log();
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 2u);
}

TEST_F(LdapPool, ALostConnectionIsSearchedAgainOnceOnly)
{
    start({{"t", url()}});
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    server->stop();
    // The second attempt, on a new connection, is the answer.
    EXPECT_EQ(error_of(ask_lookup("t", "alice")), "125 Can't contact LDAP server");
    EXPECT_EQ(count_of(log(), retried), 1u) << log();
    EXPECT_EQ(count_of(log(), ": init: "), 2u) << log();
    // A connection opened for the request is not retried.
    EXPECT_EQ(error_of(ask_lookup("t", "alice")), "125 Can't contact LDAP server");
    EXPECT_EQ(count_of(log(), retried), 1u) << log();
    server->start();
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
}

// Between the daemon and slapd, a relay that cuts the connection once part
// of a search result has passed, or before any of it.
TEST_F(LdapPool, ALostConnectionIsSearchedAgainOnlyIfNothingOfTheResultHadArrived)
{
    const std::string photo(30000, 'p');
    slapd_options_t options;
    options.ldif = ldif_ou(people);
    for (const char* uid : {"p1", "p2"})
        options.ldif += ldif_user(user_dn(uid), uid, "pw", ldif_binary("jpegPhoto", photo));
    slapd_server_t photos(options);
    photos.start();
    tcp_relay_t relay(photos.ldap_port());
    start({{"t", "ldap://127.0.0.1:" + std::to_string(relay.port()) + "/" + people +
                     "?jpegPhoto?sub?(objectClass=inetOrgPerson)"}});
    const std::vector<std::string> both = {photo, photo};
    EXPECT_EQ(lookup("t"), both);

    struct case_t {
        size_t passed;  // bytes of the answer passed on before the cut
        bool answered;
    };
    // The first entry is about 30 KB: 40000 bytes hold it and part of the next.
    for (const case_t c : {case_t{0, true}, case_t{40000, false}}) {
        SCOPED_TRACE(c.passed);
        const size_t searches = photos.stats_count("SRCH");
        const size_t retries = count_of(log(), retried);
        relay.cut_after(c.passed);
        const lp::ServerMessage answer = ask_lookup("t");
        EXPECT_EQ(relay.cut(), c.passed ? 2u : 1u);
        if (c.answered) {
            EXPECT_EQ(data_of(answer), both) << log();
            EXPECT_EQ(count_of(log(), retried), retries + 1);
            EXPECT_EQ(photos.stats_count("SRCH"), searches + 2);
        } else {
            EXPECT_EQ(error_of(answer), "125 Can't contact LDAP server") << log();
            EXPECT_EQ(count_of(log(), retried), retries);
            EXPECT_EQ(photos.stats_count("SRCH"), searches + 1);
        }
    }
    EXPECT_EQ(lookup("t"), both);
}

slapd_options_t idle_options()
{
    slapd_options_t options = people_options();
    options.idle_timeout = 1;
    return options;
}

class LdapPoolIdle : public LdapPool {
protected:
    LdapPoolIdle() : LdapPool(idle_options()) {}
};

TEST_F(LdapPoolIdle, ConnectionsThatTheServerClosedWhenIdleAreReplaced)
{
    start({{"t", url(), user_dn("bob"), "bob-pw"}});
    for (size_t closed = 1; closed <= 2; ++closed) {
        EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
        ASSERT_TRUE(server->wait_for_stats("closed", closed)) << server->log();
    }
    EXPECT_EQ(lookup("t", "bob"), (std::vector<std::string>{"bob"}));
    EXPECT_EQ(count_of(log(), retried), 2u) << log();
    EXPECT_EQ(server->stats_count("BIND"), 3u) << server->log();
}

} // namespace
