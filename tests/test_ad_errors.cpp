// Active Directory lookups that Samba alone cannot produce: a second user of
// one name and malformed or missing attributes, served by a small slapd that
// Samba's referral reaches (the realm's name points at it for this program).
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ad_slapd.h"
#include "support/daemon_ad_fixture.h"
#include "support/samba_dc.h"

using namespace velbo_test;

namespace {

std::string config_dn(const std::string& cn)
{
    return "CN=" + cn + "," + ad_slapd_t::configuration_dn;
}

// A user entry whose distinguishedName attribute names another DN.
std::string user_claiming(const std::string& dn, const std::string& claimed, const std::string& sam,
                          const std::string& sid, const std::string& primary_group_id)
{
    std::string text = ad_ldif_user(dn, sam, sid, primary_group_id);
    const std::string written = "distinguishedName: " + dn + "\n";
    text.replace(text.find(written), written.size(), "distinguishedName: " + claimed + "\n");
    return text;
}

class ad_errors_env_t : public samba_dc_environment_t {
public:
    std::unique_ptr<ad_slapd_t> slapd;

protected:
    void populate(samba_dc_t& dc) override
    {
        dc.add_user("alice");
        dc.add_user("dup");
        dc.add_user("dave");
        const std::string sid = "S-1-5-21-1-2-3-";
        slapd = std::make_unique<ad_slapd_t>(dc,
            // Alice's copy lets the referral's rebind search.
            ad_ldif_user(dc.dn_of("alice"), "", "", "", "userPassword: " + samba_dc_t::user_password + "\n") +
            ad_ldif_user(config_dn("dup"), "dup", sid_bytes(sid + "1601"), "513") +
            ad_ldif_group(config_dn("SlapdUsers"), "SlapdUsers", sid_bytes(sid + "513")) +
            ad_ldif_user(config_dn("neg"), "neg", sid_bytes(sid + "1602"), "-4294966783") +
            ad_ldif_user(config_dn("plus"), "plus", sid_bytes(sid + "1603"), "+513") +
            ad_ldif_user(config_dn("odd"), "odd", std::string("\x01\x02", 2), "abc") +
            ad_ldif_user(config_dn("big"), "big", sid_bytes(sid + "1604"), "4294967296") +
            ad_ldif_user(config_dn("short"), "short", std::string("\x01\x02", 2), "513") +
            ad_ldif_group(config_dn("ShortSid"), "ShortSid", std::string("\x01\x02\x00\x00", 4)) +
            ad_ldif_user(config_dn("lonely"), "lonely", sid_bytes(sid + "1605"), "777") +
            ad_ldif_user(config_dn("nosid"), "nosid", "", "513") +
            ad_ldif_user(config_dn("twice"), "twice", sid_bytes(sid + "1607"), "513", "primaryGroupID: 514\n") +
            // Found by Dave's DN: a second entry for a single-entry search.
            user_claiming(config_dn("echo"), dc.dn_of("dave"), "echo", sid_bytes(sid + "1608"), "513"));
        dc.point_realm_at(slapd->address());
    }
    void release() override { slapd.reset(); }
};

ad_errors_env_t* const env = static_cast<ad_errors_env_t*>(::testing::AddGlobalTestEnvironment(new ad_errors_env_t));

class AdErrors : public ad_fixture_t {
protected:
    void SetUp() override { ASSERT_TRUE(env->ready()) << "no domain controller"; }
    samba_dc_t& dc() { return env->dc(); }

    ad_tag_t tag(const std::string& name, bool chase)
    {
        ad_tag_t t;
        t.tag = name;
        t.dn = samba_dc_t::base_dn;
        t.user = dc().dn_of("alice");
        t.password = samba_dc_t::user_password;
        t.chase_referrals = chase;
        return t;
    }
    static std::vector<std::string> pair_of(const std::string& cn)
    {
        std::vector<std::string> list = {config_dn(cn), cn};
        std::sort(list.begin(), list.end());
        return list;
    }
};

TEST_F(AdErrors, ASecondUserOfOneNameFromAChasedReferral)
{
    start_ad({tag("chase", true), tag("plain", false)});
    const std::string warning = "Warning: Datasource [chase.ad]: More than one matching user found: \"" +
                                dc().dn_of("dup") + "\", \"" + config_dn("dup") + "\"\n";
    for (const char* domain : {"", "LOOKUP.TEST"}) {
        const size_t mark = log_mark();
        EXPECT_EQ(error_of(ask_lookup("chase", "dup", domain)), "125 More than one matching user found") << domain;
        EXPECT_EQ(count_of(log_since(mark), warning), 1u) << log_since(mark);
    }
    EXPECT_TRUE(lookup("chase", "dup", "other.test").empty());

    // Not chased, the domain controller's user stands alone.
    const std::vector<std::string> groups = lookup("plain", "dup");
    EXPECT_NE(std::find(groups.begin(), groups.end(), "Domain Users"), groups.end()) << log();
    EXPECT_EQ(log().find("More than one matching user found: \"" + dc().dn_of("dup") + "\"\n"), std::string::npos);
    // Users only the referral knows.
    EXPECT_TRUE(lookup("plain", "neg").empty());
    // The LDAP client's lines for these searches carry the tags' own prefix.
    EXPECT_NE(log().find("Debug: Datasource [chase.ad]: lp_ldap_client_t::follow_referrals: ldap://lookup.test/"),
              std::string::npos)
        << log();
    EXPECT_EQ(log().find(".ldap]"), std::string::npos) << log();
}

TEST_F(AdErrors, PrimaryGroupIDAndObjectSidAsTheyCome)
{
    start_ad({tag("ad", true)});
    const std::string prefix = "Warning: Datasource [ad.ad]: ";
    struct case_t {
        const char* user;
        std::string error;
        std::vector<std::string> groups;
        std::string warning;  // "": none
    };
    const std::string unexpected = "125 Unexpected AD search result";
    const std::string not_found = "125 Object not found";
    const std::vector<case_t> cases = {
        {"neg", "", pair_of("SlapdUsers"), ""},
        {"plus", "", pair_of("SlapdUsers"), ""},
        // A SID shorter than four bytes is replaced whole.
        {"short", "", pair_of("ShortSid"), ""},
        {"odd", unexpected, {}, "Failed to convert primaryGroupID to number\n"},
        {"big", unexpected, {}, "Failed to convert primaryGroupID to number\n"},
        {"lonely", not_found, {},
         "Failed to find group by objectSid=\"\\01\\05\\00\\00\\00\\00\\00\\05\\15\\00\\00\\00\\01\\00\\00\\00"
         "\\02\\00\\00\\00\\03\\00\\00\\00\\09\\03\\00\\00\"\n"},
        {"nosid", unexpected, {}, ""},
        {"twice", unexpected, {}, ""},
        {"dave", unexpected, {}, ""},
    };
    for (const case_t& c : cases) {
        const size_t mark = log_mark();
        const lp::ServerMessage response = ask_lookup("ad", c.user);
        EXPECT_EQ(error_of(response), c.error) << c.user;
        EXPECT_EQ(data_of(response), c.groups) << c.user;
        const std::string text = log_since(mark);
        if (c.warning.empty())
            EXPECT_EQ(text.find("Warning:"), std::string::npos) << c.user << "\n" << text;
        else
            EXPECT_EQ(count_of(text, prefix + c.warning), 1u) << c.user << "\n" << text;
        // A failed lookup answers a check with false and the error.
        if (!c.error.empty()) {
            const lp::ServerMessage checked = ask_check("ad", "SlapdUsers", c.user);
            EXPECT_EQ(error_of(checked), c.error) << c.user;
            EXPECT_FALSE(checked.result());
        }
    }
    EXPECT_TRUE(check("ad", "slapdusers", "neg"));
}

TEST_F(AdErrors, LookupsOverAPooledConnectionThatTheServerClosedAreAnswered)
{
    start_ad({tag("plain", false)});
    const std::vector<std::string> groups = lookup("plain", "alice");
    EXPECT_NE(std::find(groups.begin(), groups.end(), "Domain Users"), groups.end()) << log();
    // Restarting Samba closes the pooled connection.
    dc().set_require_strong_auth(false);
    std::vector<lp::ClientMessage> batch;
    for (uint32_t i = 1; i <= 3; ++i)
        batch.push_back(lookup_request(i, lp::LOOKUP_AD, "plain", "alice"));
    const auto answers = client->exchange(batch, 3 * daemon_timeout);
    ASSERT_EQ(answers.size(), batch.size()) << log();
    for (const auto& answer : answers)
        EXPECT_EQ(data_of(answer.second), groups) << error_of(answer.second);
    const size_t retried = count_of(
        log(), "Debug: Datasource [plain.ad]: lp_ldap_client_t::search: Can't contact LDAP server, searching again "
               "on a new connection\n");
    EXPECT_GE(retried, 1u) << log();
    EXPECT_LE(retried, 3u);
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put: "), 2u);
}

} // namespace
