// OpenLDAP slapd instances for tests: each in a temporary directory of its
// own (slapd.conf, an mdb database loaded with slapadd, the stats log),
// listening on ldap:// and ldaps:// on 127.0.0.1 and on ldapi:// in that
// directory, with a throwaway CA.
//
// The server's stats log names every operation ("conn=1000 op=1 SRCH ...");
// stats_count() counts them, so a test sees how many binds, searches,
// unbinds and StartTLS requests a client really sent.
//
// libldap reads /etc/ldap/ldap.conf and ~/.ldaprc unless LDAPNOINIT is set
// in the environment, and with LDAPNOINIT set it ignores the LDAPTLS_*
// variables as well. The command-line tools are therefore run with
// ldap_tool_env() (LDAPTLS_CACERT overrides the machine's TLS_CACERT), while
// a process that sets its options through the API, such as the daemon, should
// get LDAPNOINIT.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace velbo_test {

// Keys and certificates made with openssl once per test program. The server
// certificate names localhost, 127.0.0.1 and ::1 (use 127.0.0.1 in URLs).
struct test_pki_t {
    std::string ca_cert;            // signed the server and client certificates
    std::string wrong_ca_cert;      // a second CA that signed only wrong_client_cert
    std::string server_cert;
    std::string server_key;
    std::string client_cert;        // CN=velbo-client, signed by ca_cert
    std::string client_key;
    std::string wrong_client_cert;  // CN=velbo-client, signed by wrong_ca_cert
    std::string wrong_client_key;
};

const test_pki_t& test_pki();

// The environment for ldapsearch and ldapwhoami: this process's environment
// without any LDAP* variable, with LDAPTLS_CACERT=ca_cert and
// LDAPTLS_REQCERT=demand, and the client certificate when one is given.
std::vector<std::string> ldap_tool_env(const std::string& ca_cert, const std::string& client_cert = "",
                                       const std::string& client_key = "");

// TLSVerifyClient of the server.
enum class client_certs_t { never, allow, demand };

struct slapd_options_t {
    // Must start with a dc= component; the fixture adds the suffix entry
    // (dcObject, organization) itself.
    std::string suffix = "dc=example,dc=test";
    // Further entries, loaded with slapadd at the first start.
    std::string ldif;
    // sizelimit of the server; 0 keeps slapd's default (500). The root DN
    // has no limit.
    unsigned size_limit = 0;
    // idletimeout of the server in seconds: it closes connections idle that
    // long. 0: never.
    unsigned idle_timeout = 0;
    client_certs_t client_certs = client_certs_t::never;
    // false: no certificate and no ldaps:// listener; StartTLS is refused.
    bool tls = true;
    // A subdirectory (any name) of the server's directory for the ldapi://
    // socket; empty: the socket lies in the server's directory itself.
    std::string ldapi_dir;
};

// LDIF of one entry: an inetOrgPerson with uid, cn, sn and a cleartext
// userPassword, and the given further lines ("mail: a@b\n").
std::string ldif_user(const std::string& dn, const std::string& uid, const std::string& password,
                      const std::string& more = "");
// LDIF of an organizationalUnit entry (dn must start with ou=).
std::string ldif_ou(const std::string& dn);
// LDIF of a referral entry (referral, extensibleObject) with one ref URL.
std::string ldif_referral(const std::string& dn, const std::string& url);
// One LDIF line holding any bytes, base64-encoded ("name:: ...").
std::string ldif_binary(const std::string& attribute, const std::string& bytes);

class slapd_server_t {
public:
    // Writes the configuration and picks the ports; starts nothing. Anyone
    // may read every entry except userPassword, which serves binds only.
    explicit slapd_server_t(slapd_options_t options = {});
    // Stops the server (SIGINT) and removes the directory.
    ~slapd_server_t();
    slapd_server_t(const slapd_server_t&) = delete;
    slapd_server_t& operator=(const slapd_server_t&) = delete;

    // Adds entries to load; only before the first start.
    void add_ldif(const std::string& ldif);
    // The first start loads the data. Returns once the server listens on all
    // three addresses; throws std::runtime_error (with the log) otherwise.
    // The server gets SIGKILL when the thread that started it ends. It logs
    // its stats to its own file, and to syslog at most its start-up line.
    void start();
    // SIGINT (after SIGCONT if paused), waits for the exit. The data stays.
    void stop();
    void restart();
    // SIGSTOP: the server still accepts connections (the kernel does) but
    // answers nothing. resume() sends SIGCONT.
    void pause();
    void resume();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // URLs without a trailing slash: "ldap://127.0.0.1:PORT".
    std::string ldap_url() const;
    std::string ldaps_url() const;
    std::string ldapi_url() const;  // ldapi://%2Ftmp%2F...%2Fldapi ("%", "," and " " coded too)
    unsigned ldap_port() const { return ldap_port_; }
    unsigned ldaps_port() const { return ldaps_port_; }
    const std::string& ldapi_path() const { return ldapi_path_; }

    const std::string& suffix() const { return options_.suffix; }
    const std::string& root_dn() const { return root_dn_; }
    const std::string& root_password() const { return root_password_; }
    const std::string& directory() const { return dir_.path(); }

    // The whole stats log since the fixture was made (restarts append).
    std::string log() const;
    // The number of distinct operations or connection events named word in
    // the stats log, every run of the server counted: "BIND", "SRCH",
    // "UNBIND", "STARTTLS", "ACCEPT", "closed"... (a bind logs two BIND
    // lines; it counts once).
    size_t stats_count(const std::string& word) const;
    // Waits until stats_count(word) >= count.
    bool wait_for_stats(const std::string& word, size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    void load();
    void write_config() const;
    bool listening() const;

    slapd_options_t options_;
    temp_dir_t dir_;
    std::string root_dn_;
    std::string root_password_ = "root-secret";
    std::string conf_path_;
    std::string log_path_;
    std::string ldapi_path_;
    unsigned ldap_port_ = 0;
    unsigned ldaps_port_ = 0;
    pid_t pid_ = -1;
    bool paused_ = false;
    bool loaded_ = false;
    size_t starts_ = 0;
};

// The second server of a referral: "ou=remote,dc=example,dc=test" on
// `origin` is a referral to "ou=remote,dc=other,dc=test" on `target`, over
// ldap:// (the fixture adds both entries), with the URL extension given
// ("StartTLS": the referral reads ldap://...????StartTLS). Entries of the
// test go in the options' ldif. Both servers are started.
struct slapd_referral_pair_t {
    explicit slapd_referral_pair_t(slapd_options_t origin_options = {}, slapd_options_t target_options = other(),
                                   const std::string& extension = "");
    static slapd_options_t other();
    std::string origin_referral_dn() const { return "ou=remote," + origin.suffix(); }
    std::string target_dn() const { return "ou=remote," + target.suffix(); }

    slapd_server_t origin;
    slapd_server_t target;
};

// Two servers whose referrals point at each other: "ou=loop,<suffix>" on
// `first` (dc=example,dc=test) refers to "ou=loop,dc=other,dc=test" on
// `second`, which refers back to first's entry, both over ldap://. Started.
struct slapd_cycle_pair_t {
    explicit slapd_cycle_pair_t(slapd_options_t first_options = {},
                                slapd_options_t second_options = slapd_referral_pair_t::other());
    std::string loop_dn(const slapd_server_t& server) const { return "ou=loop," + server.suffix(); }

    slapd_server_t first;
    slapd_server_t second;
};

} // namespace velbo_test
