// The LDAP back-end's text functions, the result accumulator, the pool's
// idle sweep and its health records, in-process.
#include <ldap.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/system/error_code.hpp>

#include "ldap/lp_accumulator.h"
#include "ldap/lp_ldap_client.h"
#include "ldap/lp_ldap_ties.h"
#include "lp_inventory.h"
#include "pilotd_standin.h"
#include "support/capture_log.h"
#include "support/slapd_server.h"
#include "support/test_files.h"

using velbo_test::test_log;

TEST(LdapText, ServerUrlsOfTheConnectionKey)
{
    struct case_t {
        std::string scheme, host;
        int port;
        std::string extension, url;
    };
    const std::vector<case_t> cases = {
        {"ldap", "DC1.Example.COM", 389, "", "ldap://dc1.example.com:389"},
        {"ldap", "DC1.Example.COM", 389, "StartTLS", "ldap://dc1.example.com:389/????StartTLS"},
        {"ldap", "fe80::1", 389, "!StartTLS", "ldap://[fe80::1]:389/?\?\?\?!StartTLS"},
        {"ldaps", "127.0.0.1", 636, "", "ldaps://127.0.0.1:636"},
        {"ldapi", "/var/run/slapd.sock", 0, "", "ldapi://%2fvar%2frun%2fslapd.sock"},
        {"ldapi", "/a%b?c/", 0, "", "ldapi://%2fa%25b%3fc%2f"},
        {"ldapi", "/d,x/d y/s", 0, "", "ldapi://%2fd%2cx%2fd%20y%2fs"},
        {"LDAPI", "/S", 389, "", "LDAPI:///s:389"},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(make_ldap_url(c.scheme, c.host, c.port, c.extension), c.url);
    EXPECT_EQ(url_extension_suffix("ldap://h:389/?\?\?\?!StartTLS"), "/?\?\?\?!StartTLS");
    EXPECT_EQ(url_extension_suffix("ldap://h:389"), "");
}

// libldap connects to a socket whose directory name holds any byte.
TEST(LdapText, EverySocketPathReachesItsSocket)
{
    ::setenv("LDAPNOINIT", "1", 1);
    const velbo_test::temp_dir_t dir;
    std::vector<int> missed;
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == '/')
            continue;
        const std::string sub = dir.file(std::string("d") + char(byte) + "x");
        ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0) << byte;
        const std::string path = sub + "/sock";
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, path.data(), path.size());
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << byte;
        ASSERT_EQ(::listen(listener, 4), 0);

        LDAP* ld = nullptr;
        bool reached = false;
        if (ldap_initialize(&ld, make_ldap_url("ldapi", path, 0, "").c_str()) == LDAP_SUCCESS) {
            const int version = LDAP_VERSION3;
            ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
            berval none{0, nullptr};
            int id = 0;
            // Sent without waiting: the connection is what counts.
            ldap_sasl_bind(ld, nullptr, LDAP_SASL_SIMPLE, &none, nullptr, nullptr, &id);
            pollfd ready{listener, POLLIN, 0};
            reached = ::poll(&ready, 1, 1000) == 1;
        }
        if (ld)
            ldap_unbind_ext(ld, nullptr, nullptr);
        ::close(listener);
        if (!reached)
            missed.push_back(byte);
    }
    EXPECT_EQ(missed, std::vector<int>{});
}

TEST(LdapText, EscapingForFiltersAndForDns)
{
    EXPECT_EQ(escape_filter_value(std::string("a*b(c)d\\e\0f", 11)), "a\\2ab\\28c\\29d\\5ce\\00f");
    EXPECT_EQ(escape_filter_value("plain, +=#"), "plain, +=#");
    EXPECT_EQ(escape_dn_value("a,b+c;d<e>f\"g=h\\i"), "a\\,b\\+c\\;d\\<e\\>f\\\"g\\=h\\\\i");
    EXPECT_EQ(escape_dn_value(" #lead and trail "), "\\ #lead and trail\\ ");
    EXPECT_EQ(escape_dn_value(std::string("a\0b\tc\x7f", 6)), "a\\00b\\09c\\7f");
    EXPECT_EQ(escape_dn_value("#"), "\\#");
    EXPECT_EQ(escape_dn_value("mid#dle"), "mid#dle");
}

TEST(LdapText, Placeholders)
{
    struct case_t {
        std::string text, user, domain, filter, base;
    };
    const std::vector<case_t> cases = {
        {"(uid=$u)", "jo*)", "", "(uid=jo\\2a\\29)", "(uid=jo*))"},
        {"$$u", "x", "", "$u", "$u"},
        {"$D", "", "example.com", "dc=example,dc=com", "dc=example,dc=com"},
        {"$D", "", "", "dc=", "dc="},
        {"$D", "", "a..b", "dc=a,dc=,dc=b", "dc=a,dc=,dc=b"},
        {"uid=$u,$D", "a,b", "x+y.z", "uid=a,b,dc=x+y,dc=z", "uid=a\\,b,dc=x\\+y,dc=z"},
        {"$d/$x/$", "", "d(1)", "d\\281\\29/$x/$", "d(1)/$x/$"},
        {"$U$$$", "u", "", "$U$$", "$U$$"},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(substitute_placeholders(c.text, c.user, c.domain), c.filter) << c.text;
        EXPECT_EQ(substitute_dn_placeholders(c.text, c.user, c.domain), c.base) << c.text;
    }
}

TEST(LdapText, AnswerFormatting)
{
    const lp_ldap_entry_t entry = {{"cn", {"Ann", "Anna"}}, {"uid", {"ann"}}};
    EXPECT_EQ(format_ldap_entry(entry, true), "cn=Ann,Anna,uid=ann");
    EXPECT_EQ(format_ldap_entry(entry, false), "Ann,Anna,ann");
    EXPECT_EQ(format_ldap_result({entry, {}}, true), (std::vector<std::string>{"cn=Ann,Anna,uid=ann", ""}));
}

TEST(LdapLog, LibldapOutputLineByLine)
{
    cf_log_threshold = CF_LOG_DEBUG;
    test_log().lines.clear();
    libldap_log_print("a\n\nb\n");
    libldap_log_print("c\x01");
    std::vector<std::string> lines;
    for (const auto& line : test_log().lines) {
        EXPECT_EQ(line.first, CF_LOG_DEBUG);
        lines.push_back(line.second);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"libldap: a", "libldap: ", "libldap: b", "libldap: c\\x01"}));
}

TEST(LdapAccumulator, JoinsPartsInArrivalOrderOrStopsAtTheFirstError)
{
    using strings_t = std::vector<std::string>;
    std::vector<std::pair<boost::system::error_code, strings_t>> calls;
    const auto record = [&calls](const boost::system::error_code& ec, const strings_t& data) {
        calls.emplace_back(ec, data);
    };
    {
        auto joined = std::make_shared<lp_accumulator_t<strings_t>>(3, record);
        joined->add({}, {"a"});
        joined->add({}, {});
        EXPECT_TRUE(calls.empty());
        joined->add({}, {"b", "c"});
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].first);
    EXPECT_EQ(calls[0].second, (strings_t{"a", "b", "c"}));

    calls.clear();
    const boost::system::error_code failure = make_error_code(LPE_OBJECT_NOT_FOUND);
    auto joined = std::make_shared<lp_accumulator_t<strings_t>>(3, record);
    joined->add({}, {"a"});
    joined->add(failure, {"x"});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, failure);
    EXPECT_TRUE(calls[0].second.empty());
    joined->add(make_error_code(LPE_MULTIPLE_USERS_FOUND), {});
    joined->add({}, {"late"});
    EXPECT_EQ(calls.size(), 1u);
}

namespace {

using std::chrono::seconds;
using steady = std::chrono::steady_clock;

// The application object on a socket pair, with a pool whose clock stands
// still unless the test moves it by `offset`.
class LdapPoolSweep : public ::testing::Test {
protected:
    LdapPoolSweep()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        test_log();
        inventory = std::make_unique<lp_inventory_t>(fds[0]);
        inventory->ldap_ties.reset(new lp_ldap_ties_t(*inventory, [this] { return start + offset; }));
    }
    ~LdapPoolSweep() override
    {
        inventory.reset();
        ::close(fds[1]);
    }

    lp_ldap_ties_t& pool() { return *inventory->ldap_ties; }
    std::shared_ptr<lp_ldap_tie_t> put(const std::string& url)
    {
        auto tie = std::make_shared<lp_ldap_tie_t>(*inventory);
        pool().put(url, "", "", tie, pool().generation());
        return tie;
    }
    // Runs the main loop until `done` or the time passes.
    template <typename Done>
    bool run_until(Done done, steady::duration limit)
    {
        const auto deadline = steady::now() + limit;
        while (!done() && steady::now() < deadline) {
            inventory->io_context.restart();
            inventory->io_context.run_for(std::chrono::milliseconds(20));
        }
        return done();
    }

    int fds[2] = {-1, -1};
    std::unique_ptr<lp_inventory_t> inventory;
    const steady::time_point start = steady::now();
    steady::duration offset{};
};

TEST_F(LdapPoolSweep, ClosesWhatNobodyElseHoldsOnceIdleFor30Seconds)
{
    const std::weak_ptr<lp_ldap_tie_t> idle = put("ldap://idle:389");
    const std::weak_ptr<lp_ldap_tie_t> used = put("ldap://used:389");
    std::shared_ptr<lp_ldap_tie_t> lent = put("ldap://lent:389");
    const auto sweep_at = [this](steady::duration at) {
        offset = at;
        pool().sweep();
    };
    sweep_at(seconds(20));
    EXPECT_FALSE(idle.expired()) << "closed after 20 s";
    EXPECT_TRUE(pool().get("ldap://used:389", "", ""));
    sweep_at(seconds(30) - std::chrono::nanoseconds(1));
    EXPECT_FALSE(idle.expired()) << "closed before 30 s";
    sweep_at(seconds(30));
    EXPECT_TRUE(idle.expired()) << "kept after 30 s";
    // Used every 20 s: never closed.
    for (int at = 40; at <= 80; at += 20) {
        sweep_at(seconds(at));
        EXPECT_FALSE(used.expired()) << at;
        EXPECT_TRUE(pool().get("ldap://used:389", "", ""));
    }
    // Held by the test for 80 s: kept, then closed at once when returned.
    EXPECT_EQ(pool().size(), 2u);
    lent.reset();
    sweep_at(seconds(80));
    EXPECT_EQ(pool().size(), 1u);
    sweep_at(seconds(110));
    EXPECT_TRUE(used.expired());
    EXPECT_EQ(pool().size(), 0u);
}

TEST_F(LdapPoolSweep, AnUnusableConnectionIsDroppedByGetNotBySweeps)
{
    const std::weak_ptr<lp_ldap_tie_t> tie = put("ldap://a:389");
    // A handle that cannot be set up leaves the connection unusable.
    EXPECT_TRUE(tie.lock()->init("nonsense", lp_ldap_tls_t()));
    offset = seconds(29);
    pool().sweep();
    EXPECT_EQ(pool().size(), 1u);
    EXPECT_FALSE(pool().get("ldap://a:389", "", ""));
    EXPECT_TRUE(tie.expired());
    EXPECT_FALSE(pool().get("ldap://a:389", "", ""));
    // A bind begun before a clear is not pooled.
    const uint64_t before = pool().generation();
    pool().clear();
    pool().put("ldap://b:389", "", "", std::make_shared<lp_ldap_tie_t>(*inventory), before);
    EXPECT_EQ(pool().size(), 0u);
}

// Beside the connections, a health record per key (the password part of it),
// kept only while it is suspect or a probe is out, and not dropped by clear.
TEST_F(LdapPoolSweep, AHealthRecordIsKeptPerKeyWhileSuspectOrProbing)
{
    using outcome_t = lp_server_health_t::outcome_t;
    const boost::system::error_code timeout(LDAP_TIMEOUT, ldap_category());
    const std::string url = "ldap://a:389";
    const std::string dn = "cn=x";
    lp_ldap_ties_t& p = pool();
    EXPECT_FALSE(p.admit(url, dn, "pw").pass.refused);
    p.settle(url, dn, "pw", 0, outcome_t::answered, {});
    p.settle(url, dn, "pw", 0, outcome_t::other, {});
    EXPECT_EQ(p.health_records(), 0u) << "a record for a healthy key";

    p.settle(url, dn, "pw", 0, outcome_t::timed_out, timeout);
    EXPECT_EQ(p.health_records(), 1u);
    const lp_ldap_ties_t::admission_t probe = p.admit(url, dn, "pw");
    EXPECT_FALSE(probe.pass.refused);
    EXPECT_NE(probe.pass.probe, 0u);
    const lp_ldap_ties_t::admission_t behind = p.admit(url, dn, "pw");
    EXPECT_TRUE(behind.pass.refused);
    EXPECT_EQ(behind.code, timeout);
    EXPECT_EQ(behind.refusal, "Not sent: the server timed out, and another request is probing it");
    EXPECT_FALSE(p.admit(url, dn, "other").pass.refused);
    EXPECT_FALSE(p.admit(url, "cn=y", "pw").pass.refused);
    p.clear();
    EXPECT_TRUE(p.admit(url, dn, "pw").pass.refused);

    p.settle(url, dn, "pw", probe.pass.probe, outcome_t::answered, {});
    EXPECT_EQ(p.health_records(), 0u);
    EXPECT_FALSE(p.admit(url, dn, "pw").pass.refused);
}

// The pool's own timer against a real server: a connection bound by a
// lookup closes (slapd sees the unbind) at the first tick after 30 s idle,
// and the next lookup binds a new one.
TEST_F(LdapPoolSweep, TheTimerClosesAnIdleConnectionOfALookup)
{
    velbo_test::slapd_options_t options;
    options.ldif = velbo_test::ldif_ou("ou=people,dc=example,dc=test") +
                   velbo_test::ldif_user("uid=alice,ou=people,dc=example,dc=test", "alice", "pw");
    velbo_test::slapd_server_t server(options);
    server.start();
    inventory->settings->set_config(parse_config_text(
        "ldap { item { tag: \"t\" url: \"" + server.ldap_url() +
        "/ou=people,dc=example,dc=test?cn?sub?(uid=$u)\" chase_referrals: false } }\n"));
    lp_ldap_client_t& client = *inventory->ldap_client();
    const auto lookup = [&] {
        std::vector<std::string> answer = {"none"};
        client.lookup("t", "alice", "", [&](const boost::system::error_code& ec, const std::vector<std::string>& list) {
            EXPECT_FALSE(ec) << ec.message();
            answer = list;
        });
        EXPECT_TRUE(run_until([&] { return answer != std::vector<std::string>{"none"}; }, seconds(10)));
        return answer;
    };
    EXPECT_EQ(lookup(), std::vector<std::string>{"alice"});
    ASSERT_EQ(pool().size(), 1u);
    offset += seconds(30);
    EXPECT_TRUE(run_until([&] { return pool().size() == 0; }, std::chrono::milliseconds(1500)));
    EXPECT_TRUE(server.wait_for_stats("UNBIND", 1)) << server.log();
    EXPECT_EQ(lookup(), std::vector<std::string>{"alice"});
    EXPECT_EQ(server.stats_count("BIND"), 2u) << server.log();
}

} // namespace
