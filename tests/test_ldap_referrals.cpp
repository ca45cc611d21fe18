// Referrals: followed or not, to a server that is down, over a stronger
// transport than the referral names (also when it names a weaker one), and
// bounded by depth and by cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/daemon_ldap_fixture.h"
#include "support/slapd_server.h"
#include "support/test_files.h"

using namespace velbo_test;

namespace {

const std::string people = "ou=people,dc=example,dc=test";

slapd_options_t origin_options()
{
    slapd_options_t options;
    options.ldif = ldif_ou(people) + ldif_user("uid=alice," + people, "alice", "pw") +
                   ldif_user("uid=bob," + people, "bob", "pw");
    return options;
}

slapd_options_t target_options()
{
    slapd_options_t options = slapd_referral_pair_t::other();
    options.ldif = ldif_user("uid=rita,ou=remote,dc=other,dc=test", "rita", "pw");
    return options;
}

class LdapReferrals : public ldap_fixture_t {
protected:
    LdapReferrals() : pair(origin_options(), target_options()) {}

    std::string url(const std::string& base) const
    {
        return pair.origin.ldap_url() + "/" + base + "?uid?sub?(objectClass=inetOrgPerson)";
    }

    slapd_referral_pair_t pair;
};

TEST_F(LdapReferrals, FollowedOnlyWhenTheTagAsks)
{
    start({{"chase", url("dc=example,dc=test"), "", "", true}, {"stay", url("dc=example,dc=test")}});
    // The own entries come first, then the referral's.
    const std::vector<std::string> chased = lookup("chase");
    ASSERT_EQ(chased.size(), 3u) << log();
    EXPECT_EQ(sorted({chased[0], chased[1]}), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_EQ(chased[2], "rita");
    EXPECT_EQ(sorted(lookup("stay")), (std::vector<std::string>{"alice", "bob"}));

    const std::string text = log();
    EXPECT_NE(text.find("Debug: Datasource [chase.ldap]: lp_ldap_client_t::follow_referrals: " +
                        pair.target.ldap_url() + "/ou=remote,dc=other,dc=test"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Datasource [stay.ldap]: lp_ldap_client_t::follow_referrals"), std::string::npos);
    EXPECT_EQ(count_of(text, "lp_accumulator_t 0x"), 3u) << text;
    const size_t created = text.find(": created\n", text.find("lp_accumulator_t 0x"));
    const size_t called = text.find("lp_accumulator_t 0x", created);
    ASSERT_NE(called, std::string::npos);
    EXPECT_EQ(text.compare(text.find(": ", called), 15, ": call callback"), 0);
    EXPECT_NE(text.find(": destroyed\n", called), std::string::npos);
    EXPECT_EQ(pair.target.stats_count("SRCH"), 1u);
}

TEST_F(LdapReferrals, AReferralToAServerThatIsDownAddsNothing)
{
    start({{"chase", url("dc=example,dc=test"), "", "", true}});
    pair.target.stop();
    EXPECT_EQ(sorted(lookup("chase")), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_NE(log().find("ldap_sasl_bind_s: Can't contact LDAP server"), std::string::npos) << log();
}

TEST_F(LdapReferrals, PlainReferralsFromAnEncryptedOriginRequireStartTls)
{
    const std::string rest = "/dc=example,dc=test?uid?sub?(objectClass=inetOrgPerson)";
    start({{"ldaps", pair.origin.ldaps_url() + rest, "", "", true},
           {"ldapi", pair.origin.ldapi_url() + rest, "", "", true},
           {"starttls", pair.origin.ldap_url() + rest + "?StartTLS", "", "", true}},
          "ldap_check_certificate: CCM_YES\nldap_ca_path: " + config_literal(test_pki().ca_cert) + "\n");
    for (const char* tag : {"ldaps", "ldapi", "starttls"})
        EXPECT_EQ(sorted(lookup(tag)), (std::vector<std::string>{"alice", "bob", "rita"})) << tag << "\n" << log();
    const std::string target = pair.target.ldap_url();
    EXPECT_NE(log().find("init: " + target + "/?\?\?\?!StartTLS\n"), std::string::npos) << log();
    // The StartTLS origin passes on its own, non-critical, requirement.
    EXPECT_NE(log().find("init: " + target + "/????StartTLS\n"), std::string::npos);
    EXPECT_EQ(log().find("init: " + target + "\n"), std::string::npos) << "a referral in the clear";
    EXPECT_TRUE(pair.target.wait_for_stats("STARTTLS", 2));
}

// A referral that names its own, non-critical, StartTLS, to a server that
// refuses StartTLS.
class LdapReferralToClearText : public ldap_fixture_t {
protected:
    static slapd_options_t clear_target()
    {
        slapd_options_t options = target_options();
        options.tls = false;
        return options;
    }

    LdapReferralToClearText() : pair(origin_options(), clear_target(), "StartTLS") {}

    slapd_referral_pair_t pair;
};

TEST_F(LdapReferralToClearText, NoBindLeavesAProtectedOriginInTheClear)
{
    const std::string rest = "/dc=example,dc=test?uid?sub?(objectClass=inetOrgPerson)";
    const std::string dn = "uid=alice," + people;
    start({{"ldaps", pair.origin.ldaps_url() + rest, dn, "pw", true},
           {"ldapi", pair.origin.ldapi_url() + rest, dn, "pw", true},
           {"critical", pair.origin.ldap_url() + rest + "?!StartTLS", dn, "pw", true},
           {"plain", pair.origin.ldap_url() + rest, dn, "pw", true}},
          "ldap_check_certificate: CCM_YES\nldap_ca_path: " + config_literal(test_pki().ca_cert) + "\n");
    const std::string target = pair.target.ldap_url();
    // The referral is followed, with StartTLS required: refused, it adds
    // nothing and the target sees no bind.
    for (const char* tag : {"ldaps", "ldapi", "critical"})
        EXPECT_EQ(sorted(lookup(tag)), (std::vector<std::string>{"alice", "bob"})) << tag << "\n" << log();
    // Without TLS the server logs the StartTLS request as an unsupported EXT.
    EXPECT_TRUE(pair.target.wait_for_stats("EXT", 3)) << pair.target.log();
    EXPECT_EQ(pair.target.stats_count("BIND"), 0u) << pair.target.log();
    EXPECT_NE(log().find("init: " + target + "/?\?\?\?!StartTLS\n"), std::string::npos) << log();
    EXPECT_EQ(log().find("init: " + target + "/????StartTLS\n"), std::string::npos) << log();

    // From a clear-text origin the referral keeps its own wish, and libldap
    // goes on without TLS: the bind the protected origins never sent.
    EXPECT_EQ(sorted(lookup("plain")), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_TRUE(pair.target.wait_for_stats("BIND", 1)) << pair.target.log();
    EXPECT_NE(log().find("init: " + target + "/????StartTLS\n"), std::string::npos) << log();
}

// One server whose referrals lead from base to base: ou=lN refers to
// ou=l(N+1) (a chain deeper than the limit), ou=c0 and ou=c1 to each other.
class LdapReferralLimits : public ldap_fixture_t {
protected:
    LdapReferralLimits()
    {
        server.start();
    }

    static slapd_server_t& chain_server(slapd_server_t& s)
    {
        std::string ldif;
        for (int n = 0; n <= 13; ++n) {
            const std::string base = "ou=l" + std::to_string(n) + ",dc=example,dc=test";
            ldif += ldif_ou(base) + ldif_user("uid=u" + std::to_string(n) + "," + base, "u" + std::to_string(n), "pw") +
                    ldif_referral("ou=next," + base,
                                  s.ldap_url() + "/ou=l" + std::to_string(n + 1) + ",dc=example,dc=test");
        }
        for (int n = 0; n < 2; ++n) {
            const std::string base = "ou=c" + std::to_string(n) + ",dc=example,dc=test";
            ldif += ldif_ou(base) + ldif_user("uid=c" + std::to_string(n) + "," + base, "c" + std::to_string(n), "pw") +
                    ldif_referral("ou=next," + base,
                                  s.ldap_url() + "/ou=c" + std::to_string(1 - n) + ",dc=example,dc=test");
        }
        s.add_ldif(ldif);
        return s;
    }

    slapd_server_t server;
    int dummy = (chain_server(server), 0);
};

TEST_F(LdapReferralLimits, DepthAndCyclesBoundTheReferralTree)
{
    const std::string rest = "?uid?sub?(objectClass=inetOrgPerson)";
    start({{"chain", server.ldap_url() + "/ou=l0,dc=example,dc=test" + rest, "", "", true},
           {"cycle", server.ldap_url() + "/ou=c0,dc=example,dc=test" + rest, "", "", true}});
    // Levels 0 to 10: u0 to u10, in the order of the chain.
    std::vector<std::string> expected;
    for (int n = 0; n <= 10; ++n)
        expected.push_back("u" + std::to_string(n));
    EXPECT_EQ(lookup("chain"), expected) << log();
    EXPECT_NE(log().find("lp_ldap_client_t::follow_referrals: not followed, more than 10 levels deep: " +
                         server.ldap_url() + "/ou=l11,dc=example,dc=test"),
              std::string::npos)
        << log();
    EXPECT_EQ(lookup("cycle"), (std::vector<std::string>{"c0", "c1"}));
    EXPECT_NE(log().find("lp_ldap_client_t::follow_referrals: not followed, searched already: " +
                         server.ldap_url() + "/ou=c0,dc=example,dc=test"),
              std::string::npos)
        << log();
}

TEST(LdapReferralCycle, TwoServersReferringToEachOtherStillAnswer)
{
    slapd_cycle_pair_t cycle;
    pilotd_standin_options_t options;
    options.env.emplace_back("LDAPNOINIT", "1");
    daemon_fixture_t daemon(options);
    daemon.start();
    const std::string rest = "?ou?sub?(objectClass=organizationalUnit)";
    ASSERT_TRUE(daemon.apply(1, daemon.config_text(ldap_section_text(
                                    {{"loop", cycle.first.ldap_url() + "/dc=example,dc=test" + rest, "", "", true}}))));
    auto client = daemon.connect();
    const auto answers = client->exchange({lookup_request(1, lp::LOOKUP_LDAP, "loop")}, 3 * daemon_timeout);
    ASSERT_EQ(answers.count(1), 1u) << daemon.pilotd.stderr_text();
    EXPECT_FALSE(answers.at(1).has_error());
    daemon.stop();
}

} // namespace
