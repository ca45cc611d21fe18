// The servers that the Active Directory tests stand on, checked with the
// OpenLDAP command-line tools: Samba as a domain controller in the test's
// own network namespace, and the slapd that holds what Samba cannot.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "support/ad_slapd.h"
#include "support/daemon_fixture.h"
#include "support/child_process.h"
#include "support/samba_dc.h"
#include "support/server_process.h"

using namespace velbo_test;

namespace {

const std::string odd_sid("\x01\x02", 2);

class ad_servers_env_t : public samba_dc_environment_t {
public:
    std::unique_ptr<ad_slapd_t> slapd;

protected:
    void populate(samba_dc_t& dc) override
    {
        add_nested_groups(dc);
        dc.add_user("dup");

        const std::string config = ad_slapd_t::configuration_dn;
        slapd = std::make_unique<ad_slapd_t>(dc,
            ad_ldif_user("CN=dup," + config, "dup", sid_bytes("S-1-5-21-1-2-3-1601"), "513") +
            ad_ldif_user("CN=odd," + config, "odd", odd_sid, "abc") +
            ad_ldif_user(dc.dn_of("alice"), "", "", "", "userPassword: " + samba_dc_t::user_password + "\n"));
    }
    void release() override { slapd.reset(); }
};

ad_servers_env_t* const env =
    static_cast<ad_servers_env_t*>(::testing::AddGlobalTestEnvironment(new ad_servers_env_t));

std::string base64_decode(const std::string& text)
{
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue;
        bits = bits << 6 | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += char((bits >> count) & 0xff);
        }
    }
    return out;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

struct entry_t {
    std::string dn;
    std::multimap<std::string, std::string> values;  // lower-case attribute name -> value

    std::string one(const std::string& attribute) const
    {
        const auto found = values.find(lower(attribute));
        return found == values.end() ? "" : found->second;
    }
};

struct search_t {
    child_result_t run;
    std::vector<entry_t> entries;
    std::vector<std::string> references;

    bool ok() const { return run.exited && run.status == 0; }
    std::set<std::string> all(const std::string& attribute) const
    {
        std::set<std::string> found;
        for (const entry_t& e : entries)
            for (auto range = e.values.equal_range(lower(attribute)); range.first != range.second; ++range.first)
                found.insert(range.first->second);
        return found;
    }
};

// ldapsearch -LLL output: entries, and references as "# refURL" lines.
void parse(search_t& search)
{
    entry_t* current = nullptr;
    for (const std::string& line : lines_of(search.run.out)) {
        if (line.empty()) {
            current = nullptr;
        } else if (line.compare(0, 5, "# ref") == 0) {
            search.references.push_back(line.substr(5));
        } else if (line[0] != '#') {
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            const std::string name = lower(line.substr(0, colon));
            const bool binary = line.compare(colon, 2, "::") == 0;
            std::string value = line.substr(colon + (binary ? 2 : 1));
            value.erase(0, value.find_first_not_of(' '));
            if (binary)
                value = base64_decode(value);
            if (name == "dn") {
                search.entries.push_back({value, {}});
                current = &search.entries.back();
            } else if (current) {
                current->values.emplace(name, value);
            }
        }
    }
}

struct query_t {
    std::string url = "ldap://127.0.0.1";
    std::string bind_dn;  // empty: anonymous
    std::string password = samba_dc_t::user_password;
    std::string base = samba_dc_t::base_dn;
    std::string scope = "sub";
    std::string filter = "(objectClass=*)";
    std::vector<std::string> attributes;
    bool chase = false;
    std::string ca;  // empty: the test CA
};

search_t ldapsearch(const query_t& q)
{
    std::vector<std::string> argv = {"ldapsearch", "-x", "-LLL", "-o", "ldif-wrap=no", "-o", "nettimeout=10",
                                     "-H", q.url, "-s", q.scope, "-b", q.base};
    if (!q.bind_dn.empty())
        argv.insert(argv.end(), {"-D", q.bind_dn, "-w", q.password});
    if (q.chase)
        argv.push_back("-C");
    argv.push_back(q.filter);
    argv.insert(argv.end(), q.attributes.begin(), q.attributes.end());
    search_t search;
    search.run = run_program(find_program("ldapsearch"), argv,
                             samba_dc_t::ldap_tool_env(q.ca.empty() ? env->dc().ca_cert() : q.ca), 30);
    parse(search);
    return search;
}

// "\xx" for every byte, as a filter value.
std::string filter_bytes(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += '\\';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// RFC 4515 escaping of a filter value.
std::string filter_escape(const std::string& value)
{
    std::string out;
    for (const char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0')
            out += filter_bytes(std::string(1, c));
        else
            out += c;
    }
    return out;
}

bool accepts(const std::string& address, unsigned port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

uint32_t rid_of(const std::string& sid)
{
    uint32_t rid = 0;
    for (size_t i = 0; i < 4 && i < sid.size(); ++i)
        rid |= uint32_t(uint8_t(sid[sid.size() - 4 + i])) << (8 * i);
    return rid;
}

std::string with_rid(std::string sid, uint32_t rid)
{
    for (size_t i = 0; i < 4; ++i)
        sid[sid.size() - 4 + i] = char((rid >> (8 * i)) & 0xff);
    return sid;
}

class AdServers : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(env->ready()) << "no domain controller";
    }
    samba_dc_t& dc() { return env->dc(); }
    query_t as_alice() { query_t q; q.bind_dn = dc().dn_of("alice"); return q; }
};

TEST_F(AdServers, TheProgramRunsInTheDomainsNamespacesAndLeavesTheMachinesHostsFileAlone)
{
    const child_result_t identify = run_checked({find_program("ip"), "netns", "identify", std::to_string(::getpid())});
    EXPECT_EQ(identify.out, dc().netns() + "\n");
    const child_result_t links = run_checked({find_program("ip"), "-o", "link", "show"});
    EXPECT_EQ(lines_of(links.out).size(), 1u) << links.out;
    EXPECT_NE(links.out.find(": lo:"), std::string::npos) << links.out;

    const child_result_t hosts = run_checked({find_program("getent"), "hosts", samba_dc_t::dns_name});
    EXPECT_EQ(hosts.out.substr(0, hosts.out.find_first_of(" \t")), "127.0.0.1") << hosts.out;

    const int outer = dc().outer_mount_ns();
    const child_result_t machine = run_in_child([outer] {
        if (::unshare(CLONE_FS) != 0 || ::setns(outer, CLONE_NEWNS) != 0)
            _exit(3);
        std::fputs(read_file("/etc/hosts").c_str(), stdout);
    });
    ASSERT_TRUE(machine.exited && machine.status == 0) << describe(machine);
    EXPECT_EQ(machine.out.find(samba_dc_t::dns_name), std::string::npos) << machine.out;
    EXPECT_NE(read_file("/etc/hosts").find(samba_dc_t::dns_name), std::string::npos);
}

TEST_F(AdServers, TheDaemonUnderTestSharesTheNamespaces)
{
    daemon_fixture_t daemon;
    daemon.start_configured();
    const std::string proc = "/proc/" + std::to_string(daemon.pilotd.pid());
    for (const char* ns : {"/ns/net", "/ns/mnt"}) {
        char mine[64] = {}, its[64] = {};
        ASSERT_GT(::readlink((std::string("/proc/self") + ns).c_str(), mine, sizeof mine - 1), 0);
        ASSERT_GT(::readlink((proc + ns).c_str(), its, sizeof its - 1), 0);
        EXPECT_STREQ(mine, its);
    }
    EXPECT_NE(read_file(proc + "/root/etc/hosts").find(samba_dc_t::dns_name), std::string::npos);
    daemon.stop();
}

TEST_F(AdServers, SimpleBindsOverLdapAndLdaps)
{
    struct bind_case_t {
        const char* what;
        std::string url;
        std::string bind_dn;
        std::string password;
        std::string ca;
        int status;
    };
    const std::string alice = dc().dn_of("alice");
    const std::vector<bind_case_t> cases = {
        {"DN over ldap", "ldap://127.0.0.1", alice, samba_dc_t::user_password, "", 0},
        {"user principal name", "ldap://127.0.0.1", "alice@" + samba_dc_t::dns_name, samba_dc_t::user_password, "", 0},
        {"wrong password", "ldap://127.0.0.1", alice, "wrong", "", 49},
        {"ldaps with the test CA", "ldaps://127.0.0.1", alice, samba_dc_t::user_password, "", 0},
        {"ldaps with another CA", "ldaps://127.0.0.1", alice, samba_dc_t::user_password, dc().wrong_ca_cert(), 255},
        {"realm's name over ldaps", "ldaps://" + samba_dc_t::dns_name, alice, samba_dc_t::user_password, "", 0},
    };
    for (const bind_case_t& c : cases) {
        query_t q;
        q.url = c.url;
        q.bind_dn = c.bind_dn;
        q.password = c.password;
        q.ca = c.ca;
        q.base = "";
        q.scope = "base";
        const search_t s = ldapsearch(q);
        EXPECT_TRUE(s.run.exited && s.run.status == c.status) << c.what << ": " << describe(s.run);
    }
}

TEST_F(AdServers, TheUserFilterFindsOneUserBySAMAccountName)
{
    for (const std::string& name : {std::string("alice"), std::string("carol")}) {
        query_t q = as_alice();
        q.filter = "(&(objectCategory=person)(objectClass=user)(sAMAccountName=" + name + "))";
        q.attributes = {"distinguishedName"};
        const search_t s = ldapsearch(q);
        ASSERT_TRUE(s.ok()) << describe(s.run);
        ASSERT_EQ(s.entries.size(), 1u) << s.run.out;
        EXPECT_EQ(s.entries[0].one("distinguishedName"), dc().dn_of(name));
        EXPECT_EQ(s.entries[0].values.size(), 1u);
    }
    EXPECT_EQ(dc().dn_of("carol"), "CN=Carol (R&D) *\\\\,CN=Users,DC=lookup,DC=test");

    query_t q = as_alice();
    q.filter = "(&(objectCategory=person)(objectClass=user)(sAMAccountName=nobody))";
    const search_t none = ldapsearch(q);
    ASSERT_TRUE(none.ok()) << describe(none.run);
    EXPECT_TRUE(none.entries.empty());
}

TEST_F(AdServers, TheInChainRuleReturnsNestedGroupsByEscapedDN)
{
    std::set<std::string> whole_chain;
    for (const auto& group : nested_groups)
        whole_chain.insert(group.first);
    const std::set<std::string> above_backslash = {"Level1"};
    const std::vector<std::pair<std::string, std::set<std::string>>> cases = {
        {dc().dn_of("alice"), whole_chain},
        {dc().dn_of("carol"), whole_chain},
        {dc().dn_of("BackSlash"), above_backslash},
        {dc().dn_of("Level1"), {}},
    };
    for (const auto& c : cases) {
        query_t q = as_alice();
        q.filter = "(member:1.2.840.113556.1.4.1941:=" + filter_escape(c.first) + ")";
        q.attributes = {"distinguishedName", "sAMAccountName"};
        const search_t s = ldapsearch(q);
        ASSERT_TRUE(s.ok()) << c.first << ": " << describe(s.run);
        EXPECT_EQ(s.all("sAMAccountName"), c.second) << c.first << ":\n" << s.run.out;
        for (const entry_t& e : s.entries) {
            EXPECT_EQ(e.one("distinguishedName"), dc().dn_of(e.one("sAMAccountName")));
            EXPECT_EQ(e.values.size(), 2u) << e.dn;
        }
    }
}

TEST_F(AdServers, ObjectSidAndPrimaryGroupIDLeadToThePrimaryGroup)
{
    // Alice's primary group is Domain Users (RID 513); Bob's is Staff, which
    // his member list then no longer shows.
    const std::vector<std::pair<std::string, std::string>> cases = {{"alice", "Domain Users"}, {"bob", "Staff"}};
    for (const auto& c : cases) {
        query_t q = as_alice();
        q.filter = "(distinguishedName=" + filter_escape(dc().dn_of(c.first)) + ")";
        q.attributes = {"objectSid", "primaryGroupID"};
        const search_t user = ldapsearch(q);
        ASSERT_TRUE(user.ok()) << describe(user.run);
        ASSERT_EQ(user.entries.size(), 1u) << user.run.out;
        const std::string sid = user.entries[0].one("objectSid");
        ASSERT_EQ(sid.size(), 28u);
        EXPECT_EQ(sid.substr(0, 8), std::string("\x01\x05\x00\x00\x00\x00\x00\x05", 8));
        const std::string primary = user.entries[0].one("primaryGroupID");

        q.filter = "(objectSid=" + filter_bytes(with_rid(sid, uint32_t(std::stoul(primary)))) + ")";
        q.attributes = {"distinguishedName", "sAMAccountName"};
        const search_t group = ldapsearch(q);
        ASSERT_TRUE(group.ok()) << describe(group.run);
        ASSERT_EQ(group.entries.size(), 1u) << group.run.out;
        EXPECT_EQ(group.entries[0].one("sAMAccountName"), c.second);
        EXPECT_EQ(group.entries[0].one("distinguishedName"), dc().dn_of(c.second));
        if (c.second == "Domain Users") {
            EXPECT_EQ(primary, "513");
        }
        EXPECT_GT(rid_of(sid), 1000u);

        q.filter = "(member:1.2.840.113556.1.4.1941:=" + filter_escape(dc().dn_of(c.first)) + ")";
        q.attributes = {"sAMAccountName"};
        const search_t groups = ldapsearch(q);
        ASSERT_TRUE(groups.ok()) << describe(groups.run);
        EXPECT_EQ(groups.all("sAMAccountName").count(c.second), 0u) << groups.run.out;
    }
}

TEST_F(AdServers, SubtreeSearchesFromTheRootReferToTheRealmsName)
{
    for (const std::string& scheme : {std::string("ldap"), std::string("ldaps")}) {
        query_t q = as_alice();
        q.url = scheme + "://127.0.0.1";
        q.filter = "(sAMAccountName=alice)";
        q.attributes = {"1.1"};
        const search_t s = ldapsearch(q);
        ASSERT_TRUE(s.ok()) << describe(s.run);
        EXPECT_EQ(s.entries.size(), 1u);
        EXPECT_EQ(s.references, std::vector<std::string>{scheme + "://lookup.test/CN=Configuration,DC=lookup,DC=test"})
            << s.run.out;
    }
}

TEST_F(AdServers, StrongAuthAtItsDefaultRefusesPlainSimpleBindsOnly)
{
    struct restore_t {
        samba_dc_t& dc;
        ~restore_t() { dc.set_require_strong_auth(false); }
    } restore{dc()};
    dc().set_require_strong_auth(true);

    query_t q = as_alice();
    q.base = "";
    q.scope = "base";
    const search_t plain = ldapsearch(q);
    EXPECT_TRUE(plain.run.exited && plain.run.status == 8) << describe(plain.run);
    q.url = "ldaps://127.0.0.1";
    const search_t tls = ldapsearch(q);
    EXPECT_TRUE(tls.ok()) << describe(tls.run);
}

TEST_F(AdServers, TheReferralReachesTheSlapdThroughThePrivateHostsFile)
{
    ASSERT_TRUE(env->slapd);
    const ad_slapd_t& slapd = *env->slapd;
    struct restore_t {
        samba_dc_t& dc;
        ~restore_t() { dc.point_realm_at("127.0.0.1"); }
    } restore{dc()};
    dc().point_realm_at(slapd.address());

    const std::set<std::string> both = {dc().dn_of("dup"), "CN=dup," + ad_slapd_t::configuration_dn};
    for (const std::string& scheme : {std::string("ldap"), std::string("ldaps")}) {
        query_t q = as_alice();
        q.url = scheme + "://127.0.0.1";
        q.filter = "(&(objectCategory=person)(objectClass=user)(sAMAccountName=dup))";
        q.attributes = {"distinguishedName"};
        q.chase = true;
        const search_t s = ldapsearch(q);
        ASSERT_TRUE(s.ok()) << describe(s.run);
        EXPECT_EQ(s.all("distinguishedName"), both) << scheme << ":\n" << s.run.out;
    }
    // slapd logs the base with lower-case attribute types.
    EXPECT_EQ(count_of(lower(slapd.log()), lower("SRCH base=\"" + ad_slapd_t::configuration_dn + "\"")), 2u)
        << slapd.log();

    // Bound as Alice's copy: the malformed entry comes back as loaded.
    query_t q = as_alice();
    q.url = slapd.ldap_url();
    q.base = ad_slapd_t::configuration_dn;
    q.filter = "(distinguishedName=CN=odd," + ad_slapd_t::configuration_dn + ")";
    q.attributes = {"objectSid", "primaryGroupID"};
    const search_t odd = ldapsearch(q);
    ASSERT_TRUE(odd.ok()) << describe(odd.run);
    ASSERT_EQ(odd.entries.size(), 1u) << odd.run.out;
    EXPECT_EQ(odd.entries[0].one("objectSid"), odd_sid);
    EXPECT_EQ(odd.entries[0].one("primaryGroupID"), "abc");
    q.password = "wrong";
    const search_t refused = ldapsearch(q);
    EXPECT_TRUE(refused.run.exited && refused.run.status == 49) << describe(refused.run);
}

TEST_F(AdServers, AServerDiesWithTheProcessThatStartedIt)
{
    const child_result_t started = run_in_child([this] {
        ad_slapd_t orphan(dc(), "", "127.0.0.3");
        std::cout << orphan.directory() << std::flush;
        _exit(accepts("127.0.0.3", 389) ? 0 : 4);
    });
    ASSERT_TRUE(started.exited && started.status == 0) << describe(started);
    boost::system::error_code ignored;
    boost::filesystem::remove_all(started.out, ignored);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (accepts("127.0.0.3", 389) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(accepts("127.0.0.3", 389));
}

TEST(SidBytes, WritesRevisionAuthorityAndLittleEndianSubAuthorities)
{
    EXPECT_EQ(sid_bytes("S-1-5-21-1-2-3-1105"),
              std::string("\x01\x05\x00\x00\x00\x00\x00\x05"
                          "\x15\x00\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00\x51\x04\x00\x00",
                          28));
    EXPECT_THROW(sid_bytes("1-5-21"), std::invalid_argument);
}

} // namespace
