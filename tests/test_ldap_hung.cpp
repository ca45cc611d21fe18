// A server that accepts and never answers (slapd stopped with SIGSTOP): the
// main loop keeps serving, calls time out, what waits behind a time-out
// fails with it at once, threads and descriptors stay bounded however many
// lookups are in flight, and SIGTERM ends the daemon within the bound.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <iostream>
#include <memory>
#include <set>
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
    explicit LdapHung(pilotd_standin_options_t daemon_options = {}) : ldap_fixture_t(std::move(daemon_options))
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

TEST_F(LdapHung, ASearchTimeOutFailsTheSearchesQueuedBehindItAtOnce)
{
    start_with_list();
    EXPECT_EQ(lookup("plain", "alice"), std::vector<std::string>{"alice"});
    server->pause();
    const auto sent = clock_type::now();
    constexpr uint32_t queued = 16;
    for (uint32_t i = 1; i <= queued; ++i)
        ASSERT_TRUE(client->send_lookup(i, lp::LOOKUP_LDAP, "plain", "alice"));
    ASSERT_TRUE(client->send_check(100, lp::LOOKUP_ALLMATCH, "list", "GREEN"));
    const std::optional<lp::ServerMessage> list = client->receive(daemon_timeout);
    ASSERT_TRUE(list && list->serial() == 100u && list->result()) << log();
    EXPECT_LT(clock_type::now() - sent, std::chrono::seconds(2));
    // The first search times out; the other 15 fail with it, not one
    // time-out after another, and none is retried.
    std::vector<clock_type::duration> took;
    for (uint32_t i = 1; i <= queued; ++i) {
        const std::optional<lp::ServerMessage> answer = client->receive(std::chrono::seconds(40));
        ASSERT_TRUE(answer) << log();
        EXPECT_EQ(error_of(*answer), "125 Timed out");
        took.push_back(clock_type::now() - sent);
    }
    EXPECT_GE(took.front(), std::chrono::seconds(9));
    EXPECT_LE(took.front(), std::chrono::seconds(15));
    EXPECT_LT(took.back() - took.front(), std::chrono::seconds(2));
    EXPECT_EQ(count_of(log(), "do_search: not sent, the connection failed: Timed out\n"), queued - 1) << log();
    EXPECT_EQ(count_of(log(), "searching again"), 0u);
    server->resume();
    EXPECT_EQ(lookup("plain", "alice"), std::vector<std::string>{"alice"});
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put"), 2u) << "the timed-out connection was reused";
}

// 600 lookups pipelined on one connection while the server is paused: the
// key becomes suspect at the first time-out, and while one request probes
// the server the others fail at once, so every lookup is answered within two
// time limits; recovery is immediate once the server runs again.
TEST_F(LdapHung, WhileOneRequestProbesAHungServerTheOthersFailAtOnce)
{
    start_with_list();
    expect_hung_server_probed("plain", "alice", {"alice"}, "list", [this] { server->pause(); },
                              [this] { server->resume(); });
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

pilotd_standin_options_t with_descriptor_limit()
{
    pilotd_standin_options_t options;
    options.max_files = 1024;
    return options;
}

class LdapHungLoad : public LdapHung {
protected:
    LdapHungLoad() : LdapHung(with_descriptor_limit()) {}
};

// Ten clients keep 128 lookups each in flight on one tag while the server is
// paused, and a list client checks now and then: the lookups waiting for one
// bind fail together when it times out; of their successors one probes the
// server on a new connection and the others fail at once, as long as the
// probe is out; once the server runs again, the probe and what follows it
// succeed.
TEST_F(LdapHungLoad, LookupsInFlightByTheThousandNeedNoThreadOrDescriptorEach)
{
    log_level = "LOG_LEVEL_INFO";
    start_with_list();
    const std::string proc = "/proc/" + std::to_string(daemon->pilotd.pid());
    constexpr size_t clients = 10;
    constexpr size_t in_flight = 128;
    std::vector<std::unique_ptr<trawl_client_t>> load;
    for (size_t i = 0; i < clients; ++i)
        load.push_back(daemon->connect());
    server->pause();
    const auto paused = clock_type::now();
    uint32_t next_serial = 1000;
    for (const auto& c : load)
        for (size_t i = 0; i < in_flight; ++i)
            ASSERT_TRUE(c->send_lookup(next_serial++, lp::LOOKUP_LDAP, "plain", "alice"));

    size_t outstanding = clients * in_flight;
    size_t errors = 0, answers = 0, peak_threads = 0, peak_fds = 0;
    std::set<std::string> error_texts;
    size_t successes = 0;
    clock_type::time_point first_error{}, batch_failed{}, resumed_at{};
    bool resumed = false;
    bool list_pending = false;
    clock_type::time_point list_sent{};
    clock_type::duration list_wait{};
    uint32_t list_serial = 1;
    const auto deadline = paused + std::chrono::seconds(45);
    while (outstanding > 0 && clock_type::now() < deadline) {
        peak_threads = std::max(peak_threads, entries_of(proc + "/task"));
        peak_fds = std::max(peak_fds, entries_of(proc + "/fd"));
        if (!list_pending) {
            ASSERT_TRUE(client->send_check(list_serial++, lp::LOOKUP_ALLMATCH, "list", "GREEN"));
            list_sent = clock_type::now();
            list_pending = true;
        }
        std::vector<pollfd> fds;
        for (const auto& c : load)
            fds.push_back({c->fd(), POLLIN, 0});
        fds.push_back({client->fd(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), 50);
        for (size_t i = 0; i < clients; ++i) {
            while (const std::optional<lp::ServerMessage> answer = load[i]->receive(0ms)) {
                --outstanding;
                ++answers;
                if (answer->has_error()) {
                    const auto now = clock_type::now();
                    if (errors++ == 0)
                        first_error = now;
                    if (errors == clients * in_flight)
                        batch_failed = now;
                    error_texts.insert(error_of(*answer));
                } else {
                    ++successes;
                    EXPECT_EQ(data_of(*answer), std::vector<std::string>{"alice"});
                }
                if (!resumed) {
                    ASSERT_TRUE(load[i]->send_lookup(next_serial++, lp::LOOKUP_LDAP, "plain", "alice"));
                    ++outstanding;
                }
            }
        }
        if (const std::optional<lp::ServerMessage> checked = client->receive(0ms)) {
            EXPECT_TRUE(checked->result());
            list_wait = std::max(list_wait, clock_type::now() - list_sent);
            list_pending = false;
        }
        if (list_pending)
            list_wait = std::max(list_wait, clock_type::now() - list_sent);
        // Once the first lookups and as many refused successors have
        // failed, the server runs again.
        if (!resumed && errors >= 2 * clients * in_flight) {
            server->resume();
            resumed = true;
            resumed_at = clock_type::now();
        }
    }
    server->resume();
    std::cout << "peak threads " << peak_threads << ", peak descriptors " << peak_fds << ", answers " << answers
              << ", errors " << errors << ", longest list wait "
              << std::chrono::duration_cast<std::chrono::milliseconds>(list_wait).count() << " ms\n";
    RecordProperty("peak_threads", int(peak_threads));
    RecordProperty("peak_descriptors", int(peak_fds));
    EXPECT_EQ(outstanding, 0u) << "answers missing";
    // One bind, timed out, failed every lookup that waited for it, at once.
    EXPECT_EQ(error_texts, std::set<std::string>{"125 Timed out"});
    EXPECT_GE(first_error - paused, std::chrono::seconds(9));
    EXPECT_LT(batch_failed - first_error, std::chrono::seconds(2));
    ASSERT_TRUE(resumed);
    // The refused successors did not wait for the probe, whose bind would
    // have timed out 10 s after it began.
    EXPECT_LT(resumed_at - batch_failed, std::chrono::seconds(5));
    EXPECT_GE(successes, 1u);
    // A few connections for the one key: threads and descriptors with them.
    EXPECT_LT(peak_threads, 16u);
    EXPECT_LT(peak_fds, 64u);
    EXPECT_LT(list_wait, std::chrono::seconds(2));
    EXPECT_EQ(lookup("plain", "alice"), std::vector<std::string>{"alice"});
    // The first bind's connection and the probe's: nothing else reached the
    // server.
    EXPECT_TRUE(server->wait_for_stats("ACCEPT", 2));
    EXPECT_EQ(server->stats_count("ACCEPT"), 2u) << server->log();
}

} // namespace
