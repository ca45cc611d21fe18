// Active Directory lookups end to end: the daemon under the PilotD stand-in,
// in the namespaces of a Samba domain controller provisioned once for this
// program.
#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_ad_fixture.h"
#include "support/samba_dc.h"

using namespace velbo_test;

namespace {

class ad_lookup_env_t : public samba_dc_environment_t {
protected:
    void populate(samba_dc_t& dc) override
    {
        add_nested_groups(dc);
        // Bob's primary group Staff is a member of Parent, of which Bob is
        // also a direct member.
        dc.add_group("Parent");
        dc.add_members("Parent", {"Staff", "bob"});
        dc.add_user("dave");
        // A name with letters beyond ASCII.
        dc.add_group("Ärzte");
        dc.add_user("erin");
        dc.add_members("Ärzte", {"erin"});
    }
};

ad_lookup_env_t* const env = static_cast<ad_lookup_env_t*>(::testing::AddGlobalTestEnvironment(new ad_lookup_env_t));

class AdLookup : public ad_fixture_t {
protected:
    void SetUp() override { ASSERT_TRUE(env->ready()) << "no domain controller"; }
    samba_dc_t& dc() { return env->dc(); }

    ad_tag_t tag(const std::string& name, bool chase = false)
    {
        ad_tag_t t;
        t.tag = name;
        t.dn = samba_dc_t::base_dn;
        t.user = dc().dn_of("alice");
        t.password = samba_dc_t::user_password;
        t.chase_referrals = chase;
        return t;
    }
    std::string tls_globals(const std::string& ca)
    {
        return "ldap_check_certificate: CCM_YES\nldap_ca_path: " + config_literal(ca) + "\n";
    }
    // Each group by DN and name, sorted, once.
    std::vector<std::string> names_of(const std::vector<std::string>& groups)
    {
        std::set<std::string> all;
        for (const std::string& g : groups) {
            all.insert(g);
            all.insert(dc().dn_of(g));
        }
        return {all.begin(), all.end()};
    }
    std::vector<std::string> chain_and(std::vector<std::string> more)
    {
        for (const auto& group : nested_groups)
            more.push_back(group.first);
        return more;
    }
};

TEST_F(AdLookup, GroupsByDnAndNameSortedAndOnceEach)
{
    start_ad({tag("ad")});
    // Domain Users is itself a member of the built-in Users group.
    const std::string builtin_users = "CN=Users,CN=Builtin," + samba_dc_t::base_dn;
    auto with_builtin = [&](std::vector<std::string> list) {
        list.push_back(builtin_users);
        list.push_back("Users");
        std::sort(list.begin(), list.end());
        return list;
    };
    struct case_t {
        const char* user;
        std::vector<std::string> expected;
    };
    const std::vector<case_t> cases = {
        {"alice", with_builtin(names_of(chain_and({"Domain Users"})))},
        {"carol", with_builtin(names_of(chain_and({"Domain Users"})))},
        // Parent comes both directly and through the primary group.
        {"bob", with_builtin(names_of({"Staff", "Parent", "Domain Users"}))},
        {"dave", with_builtin(names_of({"Domain Users"}))},
    };
    for (const case_t& c : cases) {
        const std::vector<std::string> got = lookup("ad", c.user);
        EXPECT_EQ(got, c.expected) << c.user << "\n" << log();
        EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
        EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end());
    }
}

TEST_F(AdLookup, ChecksIgnoreCase)
{
    start_ad({tag("ad")});
    struct case_t {
        const char* user;
        std::string value;
        bool expected;
    };
    std::string lower_dn = dc().dn_of("Star*Group");
    std::transform(lower_dn.begin(), lower_dn.end(), lower_dn.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const std::vector<case_t> cases = {
        {"alice", "domain users", true},
        {"alice", "OPS (EAST)", true},
        {"alice", "Level1", true},
        {"alice", lower_dn, true},
        {"alice", "Staff", false},
        {"alice", "Domain User", false},
        {"bob", "sTaFf", true},
        {"bob", "Level1", false},
        {"nobody", "Domain Users", false},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(check("ad", c.value, c.user), c.expected) << c.user << " " << c.value;
}

TEST_F(AdLookup, ChecksIgnoreTheCaseOfEveryLetterInAUtf8Locale)
{
    pilotd_standin_options_t options;
    options.env = {{"LDAPNOINIT", "1"}, {"LC_ALL", "C.UTF-8"}};
    daemon = std::make_unique<daemon_fixture_t>(options);
    start_ad({tag("ad")});
    const std::string dn = dc().dn_of("Ärzte");
    ASSERT_EQ(dn, "CN=Ärzte,CN=Users,DC=lookup,DC=test");
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Ärzte", true},
        {"ärzte", true},
        {"ÄRZTE", true},
        {"äRzTe", true},
        {"cn=ärzte,cn=users,dc=lookup,dc=test", true},
        {"CN=ÄRZTE,CN=USERS,DC=LOOKUP,DC=TEST", true},
        {"Arzte", false},
        {"A\u0308rzte", false},  // the same letter composed otherwise: no normalisation
        {"ärzt", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check("ad", c.first, "erin"), c.second) << c.first << "\n" << log();
    EXPECT_FALSE(check("ad", "ärzte", "dave"));
}

TEST_F(AdLookup, NoSuchUserIsAnEmptySuccess)
{
    start_ad({tag("ad")});
    // "*" and the rest are escaped: no wildcard matches every user.
    for (const char* user : {"nobody", "*", "al*", "alice)(sAMAccountName=*", ""}) {
        const lp::ServerMessage response = ask_lookup("ad", user);
        EXPECT_EQ(error_of(response), "") << user;
        EXPECT_TRUE(data_of(response).empty()) << user << ": " << response.ShortDebugString();
    }
}

TEST_F(AdLookup, TheDomainOfTheUsersDnMustMatchWhenGiven)
{
    start_ad({tag("ad")});
    EXPECT_FALSE(lookup("ad", "alice", "LOOKUP.test").empty());
    EXPECT_FALSE(lookup("ad", "alice", "lookup.test").empty());
    for (const char* domain : {"other.test", "lookup", "test", "lookup.test.", "x.lookup.test"})
        EXPECT_TRUE(lookup("ad", "alice", domain).empty()) << domain;
}

TEST_F(AdLookup, TheConfiguredBaseIsUsedAsWritten)
{
    // Carol's DN as base: its escaped backslash must reach the server
    // unchanged. The primary group lies outside that base.
    ad_tag_t t = tag("carol");
    t.dn = dc().dn_of("carol");
    start_ad({t});
    const size_t mark = log_mark();
    EXPECT_EQ(error_of(ask_lookup("carol", "carol")), "125 Object not found");
    const std::string text = log_since(mark);
    // Domain Users: the user's SID with the RID 513 (01 02 00 00).
    const std::string warning = "Warning: Datasource [carol.ad]: Failed to find group by objectSid=\"\\01\\05\\00";
    const size_t at = text.find(warning);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find('\n', at) - 13, 13), "\\01\\02\\00\\00\"") << text.substr(at);
    EXPECT_TRUE(lookup("carol", "alice").empty());
}

TEST_F(AdLookup, ReferralsAreChasedOnlyWhenConfiguredOncePerSearch)
{
    start_ad({tag("plain"), tag("chase", true)});
    const std::string referral = "lp_ldap_client_t::follow_referrals: ldap://lookup.test/CN=Configuration";
    size_t mark = log_mark();
    const std::vector<std::string> plain = lookup("plain", "bob");
    EXPECT_EQ(count_of(log_since(mark), referral), 0u);

    mark = log_mark();
    EXPECT_EQ(lookup("chase", "bob"), plain);
    const std::string text = log_since(mark);
    // Five searches, each with its own guard: every one follows its referral.
    EXPECT_EQ(count_of(text, referral), 5u) << text;
    EXPECT_EQ(text.find("not followed"), std::string::npos) << text;
}

TEST_F(AdLookup, ErrorsOfTheDirectoryReachTheClient)
{
    ad_tag_t wrong = tag("wrong");
    wrong.password = "wrong";
    ad_tag_t closed = tag("closed");
    closed.port = 1;
    ad_tag_t bad_base = tag("badbase");
    bad_base.dn = "OU=Nowhere," + samba_dc_t::base_dn;
    // Beyond 16 bits: 389 + 65536 would reach Samba's own port.
    ad_tag_t wrapped = tag("wrapped");
    wrapped.port = 389 + 65536;
    ad_tag_t huge = tag("huge");
    huge.port = 4294967295u;
    start_ad({wrong, closed, bad_base, wrapped, huge});
    EXPECT_EQ(error_of(ask_lookup("wrong", "alice")), "125 Invalid credentials");
    EXPECT_EQ(error_of(ask_lookup("closed", "alice")), "125 Can't contact LDAP server");
    EXPECT_EQ(error_of(ask_lookup("badbase", "alice")), "125 No such object");
    const size_t mark = log_mark();
    for (const char* name : {"wrapped", "huge"}) {
        EXPECT_EQ(error_of(ask_lookup(name, "alice")), "125 ldap_url_parse error 5") << name;
        EXPECT_FALSE(ask_check(name, "Domain Users", "alice").result()) << name;
        EXPECT_EQ(count_of(log_since(mark), "Error: Datasource [" + std::string(name) + ".ad]: Port number is invalid\n"),
                  2u)
            << log_since(mark);
    }
    EXPECT_EQ(log_since(mark).find("init: "), std::string::npos) << log_since(mark);
    const lp::ServerMessage refused = ask_check("wrong", "Domain Users", "alice");
    EXPECT_NE(error_of(refused), "");
    EXPECT_FALSE(refused.result());
}

TEST_F(AdLookup, LdapsWithStrongAuthAtItsDefault)
{
    struct restore_t {
        samba_dc_t& dc;
        ~restore_t() { dc.set_require_strong_auth(false); }
    } restore{dc()};
    dc().set_require_strong_auth(true);

    ad_tag_t tls = tag("tls", true);
    tls.use_ssl = true;
    tls.port = 636;
    ad_tag_t by_default = tls;
    by_default.tag = "tlsdefault";
    by_default.port = 0;
    ad_tag_t by_name = tls;
    by_name.tag = "tlsname";
    by_name.host = "LOOKUP.test";
    ad_tag_t plain = tag("plain");
    start_ad({tls, by_default, by_name, plain}, tls_globals(dc().ca_cert()));
    const std::vector<std::string> expected = lookup("tls", "alice");
    EXPECT_NE(std::find(expected.begin(), expected.end(), "Level1"), expected.end()) << log();
    EXPECT_NE(log().find("follow_referrals: ldaps://lookup.test/CN=Configuration"), std::string::npos) << log();
    EXPECT_EQ(lookup("tlsdefault", "alice"), expected);
    EXPECT_EQ(lookup("tlsname", "alice"), expected);
    // The referrals were searched over TLS: a plain simple bind would have
    // been refused.
    EXPECT_NE(log().find("init: ldaps://lookup.test"), std::string::npos) << log();
    EXPECT_EQ(log().find("init: ldap://"), std::string::npos) << log();
    EXPECT_EQ(log().find("ldap_sasl_bind_s:"), std::string::npos) << log();
    EXPECT_EQ(error_of(ask_lookup("plain", "alice")), "125 Strong(er) authentication required");

    reconfigure_ad({tls}, tls_globals(dc().wrong_ca_cert()));
    const std::string refused = error_of(ask_lookup("tls", "alice"));
    EXPECT_EQ(refused, "125 Can't contact LDAP server") << log();
}

} // namespace
