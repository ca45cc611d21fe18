// A throwaway Active Directory domain for tests: Samba as a domain
// controller, provisioned into a temporary directory and run inside a
// network namespace of its own.
//
// How a test program runs in the domain's namespaces
// ---------------------------------------------------
// The constructor of samba_dc_t, in the test process itself:
//   1. creates the network namespace velbo-ad-<pid>-<n> (`ip netns add`)
//      and brings its loopback up;
//   2. gives the process a private mount namespace (unshare(CLONE_NEWNS),
//      every mount made private so that nothing propagates back) and
//      bind-mounts a hosts file of its own over /etc/hosts, which maps the
//      realm's DNS name (lookup.test) to 127.0.0.1, or to another loopback
//      address after point_realm_at();
//   3. enters the network namespace (setns on /run/netns/<name>).
// From then on the test process and every process it starts (samba, slapd,
// ldapsearch, the daemon under test) see only that namespace's loopback and
// resolve the realm's name through the test's hosts file, never through the
// machine's resolver. The destructor stops Samba, removes the bind mount and
// deletes the network namespace; the process itself stays in both
// namespaces until it ends.
//
// unshare(CLONE_NEWNS) works only while the process has a single thread, so
// the domain controller is made before the first test by a GoogleTest global
// environment, once per program: derive from samba_dc_environment_t, build
// the directory in populate(), and register it at namespace scope:
//
//     class ad_env_t : public velbo_test::samba_dc_environment_t {
//         void populate(velbo_test::samba_dc_t& dc) override { dc.add_user("alice"); ... }
//     };
//     ad_env_t* const ad_env = static_cast<ad_env_t*>(
//         ::testing::AddGlobalTestEnvironment(new ad_env_t));
//
// A failure while setting up fails the program, and no test runs. Because
// a program provisions its domain once, ctest runs each test_ad* program as
// one test (tests/CMakeLists.txt), not one process per test case.
//
// Samba serves ldap:// on 127.0.0.1:389 and ldaps:// on 127.0.0.1:636 with
// a certificate from a throwaway CA naming lookup.test, dc1.lookup.test and
// 127.0.0.1. Simple binds over plain ldap:// are allowed ("ldap server
// require strong auth = no") until set_require_strong_auth(true) restarts it
// with Samba's default. Subtree searches from the domain root return a
// search reference to ldap://lookup.test/CN=Configuration,DC=lookup,DC=test
// (ldaps:// when asked over ldaps).
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_files.h"

namespace velbo_test {

// A key and the certificate for it, signed by the test CA.
struct samba_dc_cert_t {
    std::string cert;
    std::string key;  // mode 0600
};

class samba_dc_t {
public:
    // Constants of another translation unit: read them inside functions,
    // not in initialisers of namespace-scope objects.
    static const std::string realm;           // LOOKUP.TEST
    static const std::string dns_name;        // lookup.test
    static const std::string netbios_domain;  // LOOKUP
    static const std::string base_dn;         // DC=lookup,DC=test
    static const std::string users_dn;        // CN=Users,DC=lookup,DC=test
    static const std::string admin_password;  // of Administrator
    static const std::string user_password;   // of every user added by add_user

    // Enters the namespaces, makes the certificates, provisions the domain
    // and starts Samba. Throws std::runtime_error on failure.
    samba_dc_t();
    ~samba_dc_t();
    samba_dc_t(const samba_dc_t&) = delete;
    samba_dc_t& operator=(const samba_dc_t&) = delete;

    std::string ldap_url() const { return "ldap://127.0.0.1"; }
    std::string ldaps_url() const { return "ldaps://127.0.0.1"; }
    // The test CA, and a second CA that signed nothing Samba holds.
    const std::string& ca_cert() const { return ca_cert_; }
    const std::string& wrong_ca_cert() const { return wrong_ca_cert_; }
    // A further server certificate from the test CA, written into the
    // fixture's directory as NAME.crt and NAME.key.
    samba_dc_cert_t issue_cert(const std::string& name, const std::vector<std::string>& dns_names,
                               const std::vector<std::string>& addresses) const;

    const std::string& netns() const { return netns_; }
    const std::string& directory() const { return dir_.path(); }
    // A descriptor of the mount namespace the process had before, for
    // looking at the machine's files from outside.
    int outer_mount_ns() const { return outer_mnt_fd_; }
    // Samba's output (debug level 1) since the first start.
    std::string log() const;

    // Rewrites the hosts file: the realm's DNS name then resolves to address.
    void point_realm_at(const std::string& address);
    // Restarts Samba with "ldap server require strong auth" at its default
    // (required) or off.
    void set_require_strong_auth(bool required);
    // SIGSTOP to Samba and every process below it, each waited for: the
    // domain controller still accepts connections (the kernel does) but
    // answers nothing. resume() sends them SIGCONT.
    void pause();
    void resume();

    // The directory, through samba-tool on the domain's database (about
    // 0.3 s a call). Names are sAMAccountNames; cn, when not empty, is the
    // object's CN instead of the name (it may hold characters that a
    // sAMAccountName may not, such as "*" and "\"). Objects go to CN=Users.
    void add_user(const std::string& name, const std::string& cn = "");
    void add_group(const std::string& name, const std::string& cn = "");
    // Members by sAMAccountName: users or groups.
    void add_members(const std::string& group, const std::vector<std::string>& members);
    // Makes group (of which the user becomes a member) the user's primary
    // group; the user's former primary group keeps it as an ordinary member.
    void set_primary_group(const std::string& user, const std::string& group);
    // The DN of an object added by the helpers, or of another object of
    // CN=Users whose CN is its name ("Domain Users").
    std::string dn_of(const std::string& name) const;

    // The environment for ldapsearch and ldapwhoami: this process's
    // environment without any LDAP* variable, with LDAPTLS_CACERT=ca and
    // LDAPTLS_REQCERT=demand.
    static std::vector<std::string> ldap_tool_env(const std::string& ca);

private:
    void release();
    void make_namespaces();
    void make_certificates();
    void provision();
    void write_smb_conf(bool strong_auth) const;
    void start();
    void stop();
    void samba_tool(std::vector<std::string> args) const;

    temp_dir_t dir_;
    std::string netns_;
    int outer_mnt_fd_ = -1;
    bool hosts_mounted_ = false;
    std::string hosts_path_;
    std::string realm_address_ = "127.0.0.1";
    std::string ca_cert_;
    std::string ca_key_;
    std::string wrong_ca_cert_;
    samba_dc_cert_t server_;
    std::string target_;  // provisioned domain: etc/smb.conf, private/sam.ldb...
    std::string log_path_;
    pid_t pid_ = -1;
    std::vector<pid_t> paused_;  // Samba first, then the processes below it
    std::map<std::string, std::string> cns_;  // sAMAccountName -> CN
};

// Escapes an attribute value for a DN string (RFC 4514).
std::string dn_escape(const std::string& value);

// Groups as sAMAccountName and CN (empty: the same), each a member of the
// next; their DNs need filter escaping.
extern const std::vector<std::pair<std::string, std::string>> nested_groups;
// Adds nested_groups; alice and carol (CN "Carol (R&D) *\\") as members of
// its first group; bob, whose primary group is Staff.
void add_nested_groups(samba_dc_t& dc);

// One domain controller per test program, made before the first test (see
// the top of this file).
class samba_dc_environment_t : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    samba_dc_t& dc() { return *dc_; }
    bool ready() const { return dc_ != nullptr && populated_; }

protected:
    // Builds the program's directory once Samba runs.
    virtual void populate(samba_dc_t& dc) = 0;
    // Called before the domain controller goes: stop what populate started.
    virtual void release() {}

private:
    std::unique_ptr<samba_dc_t> dc_;
    bool populated_ = false;
};

} // namespace velbo_test
