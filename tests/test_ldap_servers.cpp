// The slapd fixture, driven with the OpenLDAP command-line tools.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/slapd_server.h"

using namespace velbo_test;

namespace {

const std::string people = "ou=people,dc=example,dc=test";

std::string user_dn(const std::string& uid, const std::string& base = people)
{
    return "uid=" + uid + "," + base;
}

child_result_t ldap_tool(const std::string& tool, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = ldap_tool_env(test_pki().ca_cert),
                         unsigned timeout_seconds = 30)
{
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program("/usr/bin/" + tool, argv, env, timeout_seconds);
}

child_result_t whoami(const std::string& url, const std::string& dn, const std::string& password,
                      const std::vector<std::string>& env = ldap_tool_env(test_pki().ca_cert),
                      bool start_tls = false)
{
    std::vector<std::string> args = {"-x", "-H", url};
    if (start_tls)
        args.push_back("-ZZ");
    if (!dn.empty())
        args.insert(args.end(), {"-D", dn, "-w", password});
    return ldap_tool("ldapwhoami", args, env);
}

slapd_options_t people_options()
{
    slapd_options_t options;
    options.ldif = ldif_ou(people) + ldif_user(user_dn("alice"), "alice", "alice-pw", "mail: alice@example.test\n") +
                   ldif_user(user_dn("bob"), "bob", "bob-pw") + ldif_user(user_dn("carol"), "carol", "carol-pw");
    return options;
}

} // namespace

TEST(SlapdServer, BindsAndSearchesAreCountedInTheStatsLog)
{
    slapd_server_t server(people_options());
    server.start();

    child_result_t r = ldap_tool("ldapsearch", {"-x", "-LLL", "-H", server.ldap_url(), "-b", server.suffix(),
                                                "(uid=alice)", "mail"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("dn: " + user_dn("alice") + "\nmail: alice@example.test\n"), std::string::npos) << r.out;

    r = whoami(server.ldap_url(), user_dn("bob"), "bob-pw");
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, "dn:" + user_dn("bob") + "\n");

    r = whoami(server.ldap_url(), server.root_dn(), server.root_password());
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, "dn:" + server.root_dn() + "\n");

    r = whoami(server.ldap_url(), user_dn("bob"), "wrong");
    EXPECT_EQ(r.status, 49) << describe(r);
    EXPECT_NE(r.err.find("Invalid credentials (49)"), std::string::npos) << r.err;

    // Four connections, each with one bind and one unbind; one search.
    EXPECT_TRUE(server.wait_for_stats("UNBIND", 3)) << server.log();
    EXPECT_EQ(server.stats_count("ACCEPT"), 4u) << server.log();
    EXPECT_EQ(server.stats_count("BIND"), 4u) << server.log();
    EXPECT_EQ(server.stats_count("SRCH"), 1u) << server.log();
    EXPECT_EQ(server.stats_count("STARTTLS"), 0u) << server.log();
    EXPECT_TRUE(server.wait_for_stats("closed", 4)) << server.log();
}

TEST(SlapdServer, TransportsAndCertificateAuthorities)
{
    slapd_server_t server(people_options());
    server.start();
    const test_pki_t& pki = test_pki();

    struct case_t {
        const char* name;
        std::string url;
        bool start_tls;
        std::string ca;
        bool works;
    } cases[] = {
        {"plain", server.ldap_url(), false, pki.ca_cert, true},
        {"ldaps", server.ldaps_url(), false, pki.ca_cert, true},
        {"ldaps, wrong CA", server.ldaps_url(), false, pki.wrong_ca_cert, false},
        {"StartTLS", server.ldap_url(), true, pki.ca_cert, true},
        {"StartTLS, wrong CA", server.ldap_url(), true, pki.wrong_ca_cert, false},
        {"ldapi", server.ldapi_url(), false, pki.ca_cert, true},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const child_result_t r = whoami(c.url, user_dn("alice"), "alice-pw", ldap_tool_env(c.ca), c.start_tls);
        if (c.works) {
            EXPECT_EQ(r.status, 0) << describe(r);
            EXPECT_EQ(r.out, "dn:" + user_dn("alice") + "\n");
        } else {
            EXPECT_NE(r.status, 0) << describe(r);
            EXPECT_EQ(r.out, "");
        }
    }
    // Both StartTLS requests reached the server; a client that refused the
    // certificate never bound.
    EXPECT_TRUE(server.wait_for_stats("closed", 6)) << server.log();
    EXPECT_EQ(server.stats_count("STARTTLS"), 2u) << server.log();
    EXPECT_EQ(server.stats_count("BIND"), 4u) << server.log();
    EXPECT_NE(server.log().find("ACCEPT from PATH=" + server.ldapi_path()), std::string::npos);
}

TEST(SlapdServer, ClientCertificatesWhenDemanded)
{
    slapd_options_t options = people_options();
    options.client_certs = client_certs_t::demand;
    slapd_server_t server(options);
    server.start();
    const test_pki_t& pki = test_pki();

    child_result_t r = whoami(server.ldaps_url(), "", "", ldap_tool_env(pki.ca_cert, pki.client_cert, pki.client_key));
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, "anonymous\n");
    r = whoami(server.ldaps_url(), "", "", ldap_tool_env(pki.ca_cert));
    EXPECT_NE(r.status, 0) << describe(r);
    r = whoami(server.ldaps_url(), "", "",
               ldap_tool_env(pki.ca_cert, pki.wrong_client_cert, pki.wrong_client_key));
    EXPECT_NE(r.status, 0) << describe(r);
    EXPECT_EQ(server.stats_count("BIND"), 1u) << server.log();
}

TEST(SlapdServer, BinaryValuesAndSizeLimit)
{
    const std::string photo("\x00\x01\xfe\xff\n\r binary\x80", 14);
    slapd_options_t options = people_options();
    options.size_limit = 2;
    options.ldif += ldif_user(user_dn("dave"), "dave", "dave-pw", ldif_binary("jpegPhoto", photo));
    slapd_server_t server(options);
    server.start();
    temp_dir_t out;

    // -t writes the value that is not text to a file of its own.
    child_result_t r = ldap_tool("ldapsearch", {"-x", "-LLL", "-t", "-T", out.path(), "-H", server.ldap_url(), "-b",
                                                people, "(uid=dave)", "jpegPhoto"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string marker = "jpegPhoto:< file://";
    const size_t at = r.out.find(marker);
    ASSERT_NE(at, std::string::npos) << r.out;
    const size_t start = at + marker.size();
    EXPECT_EQ(read_file(r.out.substr(start, r.out.find('\n', start) - start)), photo);

    // Four people, a limit of two: result code 4 after two entries.
    r = ldap_tool("ldapsearch", {"-x", "-LLL", "-H", server.ldap_url(), "-b", people, "(uid=*)", "uid"});
    EXPECT_EQ(r.status, 4) << describe(r);
    EXPECT_EQ(count_of(r.out, "dn: "), 2u) << r.out;
    EXPECT_NE(r.err.find("Size limit exceeded (4)"), std::string::npos) << r.err;
}

TEST(SlapdServer, ReferralToASecondServer)
{
    slapd_options_t target = slapd_referral_pair_t::other();
    target.ldif = ldif_user("uid=erin,ou=remote,dc=other,dc=test", "erin", "erin-pw");
    slapd_referral_pair_t pair(people_options(), target);
    // slapd adds the scope of the search to the URL.
    const std::string ref = pair.target.ldap_url() + "/" + pair.target_dn() + "??sub";

    child_result_t r = ldap_tool("ldapsearch", {"-x", "-H", pair.origin.ldap_url(), "-b", pair.origin.suffix(),
                                                "(uid=erin)", "uid"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("# search reference\nref: " + ref + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("dn: uid=erin"), std::string::npos) << r.out;

    // A search of the referral entry itself answers result code 10.
    r = ldap_tool("ldapsearch", {"-x", "-H", pair.origin.ldap_url(), "-b", pair.origin_referral_dn(), "(uid=erin)"});
    EXPECT_EQ(r.status, 10) << describe(r);
    EXPECT_NE(r.out.find("ref: " + ref + "\n"), std::string::npos) << r.out;

    // Chased, the reference leads to the target's entry.
    r = ldap_tool("ldapsearch", {"-x", "-C", "-LLL", "-H", pair.origin.ldap_url(), "-b", pair.origin.suffix(),
                                 "(uid=erin)", "uid"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("dn: uid=erin,ou=remote,dc=other,dc=test\nuid: erin\n"), std::string::npos) << r.out;
    EXPECT_EQ(pair.target.stats_count("SRCH"), 1u) << pair.target.log();

    // The target down, the origin still answers with the reference.
    pair.target.stop();
    r = ldap_tool("ldapsearch", {"-x", "-H", pair.target.ldap_url(), "-b", pair.target_dn()});
    EXPECT_EQ(r.status, 255) << describe(r);
    r = ldap_tool("ldapsearch", {"-x", "-H", pair.origin.ldap_url(), "-b", pair.origin.suffix(), "(uid=erin)"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("ref: " + ref + "\n"), std::string::npos) << r.out;
}

TEST(SlapdServer, ReferralsOfACyclePointAtEachOther)
{
    slapd_cycle_pair_t pair;
    const std::pair<slapd_server_t*, slapd_server_t*> directions[] = {{&pair.first, &pair.second},
                                                                      {&pair.second, &pair.first}};
    for (const auto& [from, to] : directions) {
        const child_result_t r = ldap_tool("ldapsearch", {"-x", "-H", from->ldap_url(), "-b", pair.loop_dn(*from)});
        EXPECT_EQ(r.status, 10) << describe(r);
        EXPECT_NE(r.out.find("ref: " + to->ldap_url() + "/" + pair.loop_dn(*to) + "??sub\n"), std::string::npos) << r.out;
    }
    // A subtree search from the suffix answers a search reference.
    const child_result_t r =
        ldap_tool("ldapsearch", {"-x", "-H", pair.first.ldap_url(), "-b", pair.first.suffix()});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("# search reference\nref: " + pair.second.ldap_url() + "/" + pair.loop_dn(pair.second)),
              std::string::npos)
        << r.out;
}

TEST(SlapdServer, PausedServerHangsAndRestartKeepsPortAndData)
{
    slapd_server_t server(people_options());
    server.start();
    const std::vector<std::string> search = {"-x", "-LLL", "-H", server.ldap_url(), "-b", people, "(uid=bob)", "uid"};

    server.pause();
    child_result_t r = ldap_tool("ldapsearch", search, ldap_tool_env(test_pki().ca_cert), 2);
    EXPECT_FALSE(r.exited) << describe(r);
    EXPECT_EQ(r.signal, SIGALRM);
    server.resume();
    r = ldap_tool("ldapsearch", search);
    EXPECT_EQ(r.status, 0) << describe(r);

    const pid_t first_pid = server.pid();
    server.restart();
    EXPECT_NE(server.pid(), first_pid);
    r = ldap_tool("ldapsearch", search);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find("uid: bob"), std::string::npos) << r.out;
    EXPECT_EQ(count_of(server.log(), "slapd starting"), 2u);
    EXPECT_EQ(count_of(server.log(), "slapd stopped."), 1u);

    server.stop();
    EXPECT_FALSE(server.running());
    r = ldap_tool("ldapsearch", search);
    EXPECT_EQ(r.status, 255) << describe(r);
}

TEST(SlapdServer, IdleConnectionsClosedAndStatsCountedOverRestarts)
{
    slapd_options_t options = people_options();
    options.idle_timeout = 1;
    slapd_server_t server(options);
    server.start();
    const std::vector<std::string> search = {"-x", "-LLL", "-H", server.ldap_url(), "-b", people, "(uid=bob)", "uid"};
    EXPECT_EQ(ldap_tool("ldapsearch", search).status, 0);
    server.restart();
    EXPECT_EQ(ldap_tool("ldapsearch", search).status, 0);
    // Both runs number their connections from 1000: each counts.
    EXPECT_TRUE(server.wait_for_stats("UNBIND", 2)) << server.log();
    EXPECT_EQ(server.stats_count("SRCH"), 2u) << server.log();
    EXPECT_EQ(server.stats_count("ACCEPT"), 2u) << server.log();

    // A connection that sends nothing is closed by the server.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(server.ldap_port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    char c;
    EXPECT_EQ(::read(fd, &c, 1), 0);
    ::close(fd);
    // slapd logs the close after it has closed the socket.
    EXPECT_TRUE(server.wait_for_stats("closed", 3)) << server.log();
    EXPECT_NE(server.log().find("closed (idletimeout)"), std::string::npos) << server.log();
}

TEST(SlapdServer, ServerKeepsNoDescriptorOfTheTest)
{
    // A pipe inherited by slapd would never see its end of stream.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    slapd_server_t server;
    server.start();
    ::close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 0);
    ::close(fds[0]);
}
