// The pool of bound LDAP connections, seen from slapd's stats log: reuse,
// the key with the password, clearing at each configuration, the idle sweep.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon_ldap_fixture.h"
#include "support/slapd_server.h"

using namespace velbo_test;

namespace {

const std::string people = "ou=people,dc=example,dc=test";

std::string user_dn(const std::string& uid)
{
    return "uid=" + uid + "," + people;
}

class LdapPool : public ldap_fixture_t {
protected:
    LdapPool()
    {
        slapd_options_t options;
        options.ldif = ldif_ou(people) + ldif_user(user_dn("alice"), "alice", "alice-pw") +
                       ldif_user(user_dn("bob"), "bob", "bob-pw");
        server = std::make_unique<slapd_server_t>(options);
        server->start();
    }

    std::string url() const { return server->ldap_url() + "/" + people + "?cn?sub?(uid=$u)"; }

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

TEST_F(LdapPool, ABindThatEndsAfterANewConfigurationIsNotPooled)
{
    start({{"t", url(), user_dn("bob"), "bob-pw"}});
    // The bind waits for the paused server while a configuration arrives.
    server->pause();
    ASSERT_TRUE(client->send_lookup(1, lp::LOOKUP_LDAP, "t", "alice"));
    ASSERT_TRUE(daemon->wait_for_stderr("do_bind: \"" + user_dn("bob") + "\""));
    reconfigure({{"t", url(), user_dn("bob"), "bob-pw"}});
    server->resume();
    const auto answer = client->receive(2 * daemon_timeout);
    ASSERT_TRUE(answer);
    EXPECT_EQ(data_of(*answer), std::vector<std::string>{"alice"});
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 0u) << log();
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 1u);
    EXPECT_EQ(server->stats_count("BIND"), 2u);
}

TEST_F(LdapPool, TheSweepClosesAConnectionIdleFor30Seconds)
{
    start({{"t", url()}});
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    const auto put = std::chrono::steady_clock::now();
    // Used again after 20 s: kept.
    std::this_thread::sleep_for(std::chrono::seconds(20));
    // The use begins when the lookup takes the connection from the pool.
    const auto using_it = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    const auto used = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(20));
    EXPECT_EQ(server->stats_count("UNBIND"), 0u) << "closed 20 s after its last use";
    EXPECT_TRUE(server->wait_for_stats("UNBIND", 1, std::chrono::seconds(15))) << log();
    const auto closed = std::chrono::steady_clock::now();
    EXPECT_GE(closed - using_it, std::chrono::seconds(30));
    EXPECT_LT(closed - used, std::chrono::seconds(33));
    EXPECT_GE(closed - put, std::chrono::seconds(50));
    EXPECT_NE(log().find(": destroyed\n"), std::string::npos);
    // The next lookup opens and binds a new connection.
    EXPECT_EQ(lookup("t", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(server->stats_count("BIND"), 2u);
}

} // namespace
