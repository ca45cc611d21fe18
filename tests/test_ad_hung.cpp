// An Active Directory tag against a domain controller that accepts and never
// answers (Samba and its processes stopped with SIGSTOP): as for LDAP, the
// first time-out makes the server suspect, one request at a time probes it
// while the others fail at once, and the tag answers again at once when the
// controller runs again.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_ad_fixture.h"
#include "support/samba_dc.h"

using namespace velbo_test;

namespace {

class ad_hung_env_t : public samba_dc_environment_t {
protected:
    void populate(samba_dc_t& dc) override { dc.add_user("alice"); }
};

ad_hung_env_t* const env = static_cast<ad_hung_env_t*>(::testing::AddGlobalTestEnvironment(new ad_hung_env_t));

class AdHung : public ad_fixture_t {
protected:
    void SetUp() override { ASSERT_TRUE(env->ready()) << "no domain controller"; }
    ~AdHung() override
    {
        if (env->ready())
            env->dc().resume();
    }
    samba_dc_t& dc() { return env->dc(); }
};

TEST_F(AdHung, WhileOneRequestProbesAHungControllerTheOthersFailAtOnce)
{
    ad_tag_t tag;
    tag.tag = "ad";
    tag.dn = samba_dc_t::base_dn;
    tag.user = dc().dn_of("alice");
    tag.password = samba_dc_t::user_password;
    const std::string list = daemon->dir.write("values.txt", "red\ngreen\n");
    start_ad({tag}, "allmatch { item { tag: \"list\" file: " + config_literal(list) + " } }\n");
    // Domain Users, Alice's primary group, is itself a member of Builtin's Users.
    const std::vector<std::string> groups = {dc().dn_of("Domain Users"), "CN=Users,CN=Builtin," + samba_dc_t::base_dn,
                                             "Domain Users", "Users"};
    expect_hung_server_probed("ad", "alice", groups, "list", [this] { dc().pause(); }, [this] { dc().resume(); });
}

} // namespace
