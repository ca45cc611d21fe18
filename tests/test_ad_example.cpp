// examples/ad.conf loaded by the real daemon, with its domain controller,
// domain and credentials rewritten to those of a Samba domain controller
// provisioned once for this program, and asked for a user's groups.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_examples.h"
#include "support/samba_dc.h"

using namespace velbo_test;

namespace {

class ad_example_env_t : public samba_dc_environment_t {
protected:
    void populate(samba_dc_t& dc) override
    {
        dc.add_user("trawld");
        dc.add_user("alice");
        dc.add_group("Staff");
        dc.add_members("Staff", {"alice"});
    }
};

ad_example_env_t* const env =
    static_cast<ad_example_env_t*>(::testing::AddGlobalTestEnvironment(new ad_example_env_t));

class AdExample : public example_session_t {
protected:
    void SetUp() override { ASSERT_TRUE(env->ready()) << "no domain controller"; }
};

TEST_F(AdExample, AnswersTheGroupsOfAUserOverLdaps)
{
    samba_dc_t& dc = env->dc();
    example_config_t example("ad.conf");
    example.rewrite("dc1.corp.example.com", "127.0.0.1");
    example.rewrite("DC=corp,DC=example,DC=com", samba_dc_t::base_dn);
    example.rewrite("trawld-secret", samba_dc_t::user_password);
    example.rewrite("/etc/velbo-trawld/ad-ca.pem", dc.ca_cert());
    start_example(example);

    const std::vector<std::string> groups = lookup(lp::LOOKUP_AD, "groups", "alice", samba_dc_t::dns_name);
    for (const std::string name : {"Staff", "Domain Users"}) {
        EXPECT_NE(std::find(groups.begin(), groups.end(), name), groups.end()) << name;
        EXPECT_NE(std::find(groups.begin(), groups.end(), dc.dn_of(name)), groups.end()) << name;
    }
    EXPECT_TRUE(std::is_sorted(groups.begin(), groups.end()));
    EXPECT_TRUE(check(lp::LOOKUP_AD, "groups", "staff", "alice", samba_dc_t::dns_name));
    EXPECT_FALSE(check(lp::LOOKUP_AD, "groups", "Staff", "trawld", samba_dc_t::dns_name));
}

} // namespace
