// LDAP over TLS: ldaps and StartTLS, the certificate checking modes with the
// right and a wrong CA, client certificates, the library options and their
// checks at each configuration.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/daemon_ldap_fixture.h"
#include "support/slapd_server.h"

using namespace velbo_test;

namespace {

const std::string people = "ou=people,dc=example,dc=test";

std::string user_dn(const std::string& uid)
{
    return "uid=" + uid + "," + people;
}

std::string tls_globals(const std::string& mode, const std::string& ca, const std::string& more = "")
{
    std::string text = "ldap_check_certificate: " + mode + "\n";
    if (!ca.empty())
        text += "ldap_ca_path: " + config_literal(ca) + "\n";
    return text + more;
}

class LdapTls : public ldap_fixture_t {
protected:
    static void SetUpTestSuite()
    {
        slapd_options_t options;
        options.ldif = ldif_ou(people) + ldif_user(user_dn("alice"), "alice", "alice-pw");
        server = new slapd_server_t(options);
        server->start();
        slapd_options_t strict = options;
        strict.client_certs = client_certs_t::demand;
        strict_server = new slapd_server_t(strict);
        strict_server->start();
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete strict_server;
        server = strict_server = nullptr;
    }

    static std::vector<ldap_tag_t> tags(slapd_server_t* s = server)
    {
        const std::string rest = "/" + people + "?cn?sub?(uid=$u)";
        return {{"ldaps", s->ldaps_url() + rest, user_dn("alice"), "alice-pw"},
                {"starttls", s->ldap_url() + rest + "?!StartTLS", user_dn("alice"), "alice-pw"}};
    }

    static slapd_server_t* server;
    static slapd_server_t* strict_server;
};

slapd_server_t* LdapTls::server = nullptr;
slapd_server_t* LdapTls::strict_server = nullptr;

TEST_F(LdapTls, CertificateModesWithTheRightAndAWrongCa)
{
    const test_pki_t& pki = test_pki();
    struct case_t {
        const char* mode;
        std::string ca;
        bool works;
    };
    const std::vector<case_t> cases = {
        {"CCM_YES", pki.ca_cert, true},        {"CCM_YES", pki.wrong_ca_cert, false},
        {"CCM_TRY", pki.ca_cert, true},        {"CCM_TRY", pki.wrong_ca_cert, false},
        {"CCM_ALLOW", pki.wrong_ca_cert, true}, {"CCM_NO", pki.wrong_ca_cert, true},
        {"CCM_YES", "", false},
    };
    start(tags(), tls_globals("CCM_YES", pki.ca_cert));
    for (const case_t& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.ca);
        // Each configuration empties the pool, so every case connects anew.
        reconfigure(tags(), tls_globals(c.mode, c.ca));
        for (const char* tag : {"ldaps", "starttls"}) {
            const lp::ServerMessage answer = ask_lookup(tag, "alice");
            if (c.works) {
                EXPECT_EQ(error_of(answer), "") << tag;
                EXPECT_EQ(data_of(answer), std::vector<std::string>{"alice"}) << tag;
            } else {
                EXPECT_EQ(error_of(answer), "125 Can't contact LDAP server") << tag << "\n" << log();
            }
        }
    }
    const std::string text = log();
    EXPECT_NE(text.find("Debug: Certificate checking mode: Allow\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Debug: CA certificates file: \"" + pki.ca_cert + "\"\n"), std::string::npos);
    // Mode No ignores the CA path and warns once per configuration.
    EXPECT_NE(text.find("Debug: Certificate checking mode: No\nDebug: CA certificates file: \"\"\n"),
              std::string::npos);
    EXPECT_EQ(count_of(text, "Warning: LdapCheckCertificate is No: server certificates are not checked\n"), 1u);
    EXPECT_TRUE(server->wait_for_stats("STARTTLS", 5));
}

TEST_F(LdapTls, ACaDirectoryAndClientCertificates)
{
    const test_pki_t& pki = test_pki();
    temp_dir_t certs;
    certs.write("ca.pem", read_file(pki.ca_cert));
    const std::string client_files = "ldap_certificate_path: " + config_literal(pki.client_cert) +
                                     "\nldap_key_path: " + config_literal(pki.client_key) + "\n";
    start(tags(strict_server), tls_globals("CCM_YES", certs.path(), client_files));
    EXPECT_EQ(lookup("ldaps", "alice"), std::vector<std::string>{"alice"});
    EXPECT_EQ(lookup("starttls", "alice"), std::vector<std::string>{"alice"});
    EXPECT_NE(log().find("Debug: CA certificates directory: \"" + certs.path() + "\"\n"), std::string::npos)
        << log();
    EXPECT_NE(log().find("Debug: Certificate file: \"" + pki.client_cert + "\"\n"), std::string::npos);
    EXPECT_NE(log().find("Debug: Certificate key file: \"" + pki.client_key + "\"\n"), std::string::npos);

    // A certificate of another CA, and none at all: the server refuses.
    reconfigure(tags(strict_server),
                tls_globals("CCM_YES", pki.ca_cert,
                            "ldap_certificate_path: " + config_literal(pki.wrong_client_cert) +
                                "\nldap_key_path: " + config_literal(pki.wrong_client_key) + "\n"));
    EXPECT_NE(error_of(ask_lookup("ldaps", "alice")), "");
    const size_t mark = log_mark();
    reconfigure(tags(strict_server),
                tls_globals("CCM_YES", pki.ca_cert, "ldap_certificate_path: " + config_literal(pki.client_cert)));
    EXPECT_NE(log_since(mark).find("Warning: LdapCertificatePath and LdapKeyPath parameters are not provided "
                                   "together. Both will be ignored\n"),
              std::string::npos)
        << log_since(mark);
    EXPECT_NE(error_of(ask_lookup("ldaps", "alice")), "");
}

TEST_F(LdapTls, LibldapDebugOutputReachesTheLogWithoutThePassword)
{
    start(tags(), tls_globals("CCM_YES", test_pki().ca_cert, "debug_libldap: true\n"));
    EXPECT_EQ(lookup("ldaps", "alice"), std::vector<std::string>{"alice"});
    const std::string text = log();
    EXPECT_NE(text.find("Debug: libldap: "), std::string::npos) << text;
    EXPECT_EQ(text.find("alice-pw"), std::string::npos) << "the password reached the log";
    // Above Debug, libldap stays silent.
    log_level = "LOG_LEVEL_INFO";
    reconfigure(tags(), tls_globals("CCM_YES", test_pki().ca_cert, "debug_libldap: true\n"));
    const size_t mark = log_mark();
    EXPECT_EQ(lookup("starttls", "alice"), std::vector<std::string>{"alice"});
    EXPECT_EQ(log_since(mark).find("libldap: "), std::string::npos) << log_since(mark);
}

// Settings that fail the configuration: status 102 and, where one is
// logged, that Error line.
TEST(LdapTlsConfig, UnusableCertificateSettingsEndTheDaemonWithStatus102)
{
    temp_dir_t dir;
    const std::string socket = dir.file("s.sock");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    struct case_t {
        std::string globals;
        std::string line;  // empty: none
    };
    const std::string missing = dir.file("missing.pem");
    const std::vector<case_t> cases = {
        {tls_globals("CCM_YES", missing), "Error: File is not regular or directory: \"" + missing + "\"\n"},
        {tls_globals("CCM_TRY", socket), "Error: File is not regular or directory: \"" + socket + "\"\n"},
        {tls_globals("CCM_YES", "certs/ca.pem"), ""},
        {"ldap_key_path: " + config_literal(dir.path()) + "\n",
         "Error: Not a regular file: \"" + dir.path() + "\"\n"},
        {"ldap_certificate_path: " + config_literal(missing) + "\n",
         "Error: Not a regular file: \"" + missing + "\"\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.globals);
        pilotd_standin_options_t options;
        options.env.emplace_back("LDAPNOINIT", "1");
        daemon_fixture_t daemon(options);
        daemon.start();
        ASSERT_TRUE(daemon.pilotd.serve_config(1, parse_config_text(daemon.config_text(c.globals)), daemon_timeout));
        EXPECT_EQ(daemon.pilotd.wait_exit(daemon_timeout), 102);
        const std::string err = daemon.pilotd.stderr_text();
        if (!c.line.empty()) {
            EXPECT_NE(err.find(c.line), std::string::npos) << err;
        }
        EXPECT_EQ(count_of(err, "Error: "), c.line.empty() ? 0u : 1u) << err;
    }
    // Mode No ignores a CA path that does not exist.
    pilotd_standin_options_t options;
    options.env.emplace_back("LDAPNOINIT", "1");
    daemon_fixture_t daemon(options);
    daemon.start();
    ASSERT_TRUE(daemon.apply(1, daemon.config_text(tls_globals("CCM_NO", missing))));
    EXPECT_NE(daemon.pilotd.stderr_text().find("Debug: CA certificates file: \"\"\n"), std::string::npos);
    // Without LDAP tags there is nothing to warn about.
    EXPECT_EQ(daemon.pilotd.stderr_text().find("LdapCheckCertificate"), std::string::npos);
    daemon.stop();
    close(fd);
}

} // namespace
