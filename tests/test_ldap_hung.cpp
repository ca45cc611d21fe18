// A server that accepts and never answers (slapd stopped with SIGSTOP): the
// main loop keeps serving, calls time out, and SIGTERM ends the daemon
// within the bound.
#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <string>
#include <vector>

#include "support/daemon_ldap_fixture.h"
#include "support/slapd_server.h"

using namespace velbo_test;
using clock_type = std::chrono::steady_clock;

namespace {

const std::string people = "ou=people,dc=example,dc=test";

class LdapHung : public ldap_fixture_t {
protected:
    LdapHung()
    {
        slapd_options_t options;
        options.ldif = ldif_ou(people) + ldif_user("uid=alice," + people, "alice", "pw");
        server = std::make_unique<slapd_server_t>(options);
        server->start();
    }
    ~LdapHung() override { server->resume(); }

    void start_with_list()
    {
        const std::string list = daemon->dir.write("values.txt", "red\ngreen\n");
        const std::string rest = "/" + people + "?cn?sub?(uid=$u)";
        start({{"plain", server->ldap_url() + rest},
               {"tls", server->ldaps_url() + rest},
               {"starttls", server->ldap_url() + rest + "?!StartTLS"}},
              "allmatch { item { tag: \"list\" file: " + config_literal(list) + " } }\n");
    }

    // Sends an LDAP lookup, then checks that a list check on the same
    // connection is answered at once while the LDAP answer is pending; returns
    // the LDAP answer and how long it took.
    std::pair<lp::ServerMessage, clock_type::duration> hung_lookup(const std::string& tag)
    {
        const auto sent = clock_type::now();
        EXPECT_TRUE(client->send_lookup(1, lp::LOOKUP_LDAP, tag, "alice"));
        EXPECT_TRUE(client->send_check(2, lp::LOOKUP_ALLMATCH, "list", "GREEN"));
        const std::optional<lp::ServerMessage> first = client->receive(daemon_timeout);
        EXPECT_TRUE(first && first->serial() == 2u && first->result()) << log();
        EXPECT_LT(clock_type::now() - sent, std::chrono::seconds(2));
        const std::optional<lp::ServerMessage> second = client->receive(std::chrono::seconds(40));
        EXPECT_TRUE(second && second->serial() == 1u) << log();
        return {second.value_or(lp::ServerMessage()), clock_type::now() - sent};
    }

    std::unique_ptr<slapd_server_t> server;
};

TEST_F(LdapHung, NewConnectionsTimeOutOverLdapLdapsAndStartTls)
{
    start_with_list();
    server->pause();
    for (const char* tag : {"plain", "tls", "starttls"}) {
        SCOPED_TRACE(tag);
        const auto [answer, took] = hung_lookup(tag);
        EXPECT_TRUE(answer.has_error());
        EXPECT_NE(error_of(answer), "");
        EXPECT_GE(took, std::chrono::seconds(4)) << error_of(answer);
        EXPECT_LE(took, std::chrono::seconds(15)) << error_of(answer);
    }
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put"), 0u);
    // Once the server answers again, so does the tag.
    server->resume();
    EXPECT_EQ(lookup("plain", "alice"), std::vector<std::string>{"alice"});
}

TEST_F(LdapHung, ASearchOnAPooledConnectionTimesOutAndTheConnectionIsDropped)
{
    start_with_list();
    EXPECT_EQ(lookup("plain", "alice"), std::vector<std::string>{"alice"});
    server->pause();
    const auto [answer, took] = hung_lookup("plain");
    EXPECT_EQ(error_of(answer), "125 Timed out");
    EXPECT_GE(took, std::chrono::seconds(9));
    EXPECT_LE(took, std::chrono::seconds(15));
    server->resume();
    EXPECT_EQ(lookup("plain", "alice"), std::vector<std::string>{"alice"});
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put"), 2u) << "the timed-out connection was reused";
}

// A client that leaves while its lookup waits: its connection lasts until
// the answer comes, drops it as NOT OPEN, and only then is destroyed.
TEST_F(LdapHung, AConnectionLeftOwingAnAnswerLastsUntilTheAnswer)
{
    start_with_list();
    EXPECT_EQ(lookup("plain", "alice"), std::vector<std::string>{"alice"});
    server->pause();
    ASSERT_TRUE(client->send_lookup(7, lp::LOOKUP_LDAP, "plain", "alice"));
    ASSERT_TRUE(daemon->wait_for_stderr("<-- LOOKUP_REQUEST 7 "));
    client.reset();
    ASSERT_TRUE(daemon->wait_for_stderr("Client 0x1 Disconnected"));
    EXPECT_EQ(count_of(log(), "Client 0x1 Destroyed"), 0u);
    server->resume();
    ASSERT_TRUE(daemon->wait_for_stderr("Client 0x1 Destroyed"));
    const std::string text = log();
    const size_t not_open = text.find("Client 0x1 --> LOOKUP_RESPONSE 7: NOT OPEN");
    ASSERT_NE(not_open, std::string::npos) << text;
    EXPECT_LT(not_open, text.find("Client 0x1 Destroyed"));
    EXPECT_EQ(count_of(text, "Client 0x1 Destroyed"), 1u);
}

TEST_F(LdapHung, SigtermWhileACallHangsEndsTheDaemonWithinTheBound)
{
    start_with_list();
    server->pause();
    ASSERT_TRUE(client->send_lookup(1, lp::LOOKUP_LDAP, "tls", "alice"));
    ASSERT_TRUE(daemon->wait_for_stderr("init: "));
    const auto sent = clock_type::now();
    daemon->pilotd.signal(SIGTERM);
    EXPECT_EQ(daemon->pilotd.wait_exit(std::chrono::seconds(30)), 107);
    // The call in progress is cut 12 s after it began.
    EXPECT_LE(clock_type::now() - sent, std::chrono::seconds(14));
    EXPECT_NE(log().find("Notice: Exit with status 107"), std::string::npos) << log();
    started = false;
}

} // namespace
