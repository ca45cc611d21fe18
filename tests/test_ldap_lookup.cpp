// LDAP lookups and checks through the daemon against a real slapd: binds,
// answers and their formatting, placeholders and escaping, URL handling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
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

// Entries whose names need escaping in a filter or in a DN.
std::string people_ldif()
{
    return ldif_ou(people) + ldif_user(user_dn("alice"), "alice", "alice-pw", "mail: alice@example.test\n") +
           ldif_user(user_dn("bob"), "bob", "bob-pw") + ldif_user(user_dn("x1y"), "x1y", "pw") +
           ldif_user(user_dn("x*y"), "x*y", "pw") + ldif_user(user_dn("p(q)r\\5cs"), "p(q)r\\s", "pw") +
           ldif_user(user_dn("d\\,e"), "d,e", "pw") + ldif_user(user_dn("binary"), "binary", "pw",
                                                                ldif_binary("jpegPhoto", std::string("a\0b\xff\n", 5))) +
           // cn=x,ou=people: what an unescaped "x,ou=people" would reach.
           "dn: cn=x," + people + "\nobjectClass: person\ncn: x\nsn: hidden\n\n";
}

class LdapLookup : public ldap_fixture_t {
protected:
    static void SetUpTestSuite()
    {
        slapd_options_t options;
        options.ldif = people_ldif();
        options.size_limit = 3;
        server = new slapd_server_t(options);
        server->start();
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }

    static std::string url(const std::string& rest) { return server->ldap_url() + "/" + rest; }

    static slapd_server_t* server;
};

slapd_server_t* LdapLookup::server = nullptr;

TEST_F(LdapLookup, AnonymousAndDnBindsAnswerWithAttributesInRequestedOrder)
{
    start({{"anon", url(people + "?mail,cn?sub?(uid=$u)")},
           {"root", url(people + "?sn,cn?sub?(uid=$u)"), server->root_dn(), server->root_password()},
           {"User_Bound", url(people + "?cn?sub?(uid=$u)"), user_dn("bob"), "bob-pw"}});
    EXPECT_EQ(lookup("anon", "alice"), (std::vector<std::string>{"mail=alice@example.test,cn=alice"}));
    EXPECT_EQ(lookup("root", "alice"), (std::vector<std::string>{"sn=alice,cn=alice"}));
    // One attribute asked for: values without names; the tag is normalised.
    EXPECT_EQ(lookup("userbound", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(lookup("anon", "nobody"), std::vector<std::string>{});

    const std::string text = log();
    EXPECT_NE(text.find("do_bind: \"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("do_bind: \"" + server->root_dn() + "\"\n"), std::string::npos);
    EXPECT_NE(text.find("do_search: \"" + people + "\" 2 \"(uid=alice)\" \"mail,cn\"\n"), std::string::npos);
    EXPECT_NE(text.find("lp_ldap_ties_t::put: " + server->ldap_url() + " \"\" 0x"), std::string::npos);
    EXPECT_EQ(text.find("bob-pw"), std::string::npos) << "a password reached the log";
}

TEST_F(LdapLookup, StarAndPlusListNamesAndUnrequestedAttributesComeLast)
{
    start({{"all", url(people + "?*?sub?(uid=$u)")},
           {"some", url(people + "?uid,*?sub?(uid=$u)")},
           {"entries", url(people + "?mail?one?(|(uid=alice)(uid=bob))")}});
    const std::vector<std::string> all = lookup("all", "bob");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_NE(all[0].find("cn=bob"), std::string::npos) << all[0];
    EXPECT_NE(all[0].find("objectClass=inetOrgPerson"), std::string::npos) << all[0];
    const std::vector<std::string> some = lookup("some", "bob");
    ASSERT_EQ(some.size(), 1u);
    EXPECT_EQ(some[0].rfind("uid=bob,", 0), 0u) << some[0];
    // bob has no mail: his entry is an empty text beside alice's.
    std::vector<std::string> entries = lookup("entries");
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"", "alice@example.test"}));
}

TEST_F(LdapLookup, ChecksCompareWholeEntryTextsExactly)
{
    start({{"pair", url(people + "?cn,mail?sub?(uid=$u)")}, {"one", url(people + "?cn?sub?(uid=$u)")}});
    EXPECT_TRUE(check("pair", "cn=alice,mail=alice@example.test", "alice"));
    EXPECT_FALSE(check("pair", "CN=alice,mail=alice@example.test", "alice"));
    EXPECT_FALSE(check("pair", "alice", "alice"));
    EXPECT_TRUE(check("one", "alice", "alice"));
    EXPECT_FALSE(check("one", "Alice", "alice"));
    const lp::ServerMessage refused = ask_check("nosuchtag", "x", "alice");
    EXPECT_EQ(refused.error().code(), qv::EC_INVALID_TAG);
}

TEST_F(LdapLookup, PlaceholdersAreEscapedForTheFilterAndForTheBase)
{
    start({{"filter", url(people + "?uid?sub?(uid=$u)")},
           {"base", url("uid=$u," + people + "?uid?base")},
           {"cnbase", url("cn=$u,dc=example,dc=test?sn?base")},
           {"domain", url("ou=people,$D?uid?one?(uid=$d)")},
           {"dollar", url(people + "?uid?sub?(|(uid=$$u)(uid=$u))")}});
    struct case_t {
        std::string tag, user, domain;
        std::vector<std::string> expected;
    };
    const std::vector<case_t> cases = {
        {"filter", "x*y", "", {"x*y"}},  // the star is a value, not a wildcard
        {"filter", "x*", "", {}},
        {"filter", "*", "", {}},
        {"filter", "p(q)r\\s", "", {"p(q)r\\s"}},
        {"filter", "alice)(uid=bob", "", {}},
        {"filter", std::string("alice\0", 6), "", {}},
        {"base", "d,e", "", {"d,e"}},
        {"base", "alice", "", {"alice"}},
        {"domain", "", "example.test", {}},
        {"dollar", "bob", "", {"bob"}},
    };
    for (const case_t& c : cases) {
        const lp::ServerMessage answer = ask_lookup(c.tag, c.user, c.domain);
        EXPECT_EQ(error_of(answer), "") << c.tag << " " << c.user;
        EXPECT_EQ(data_of(answer), c.expected) << c.tag << " " << c.user;
    }
    // "x,ou=people" stays one RDN value: the base names no entry, and the
    // entry cn=x,ou=people is not reached.
    EXPECT_EQ(error_of(ask_lookup("cnbase", "x,ou=people")), "125 No such object");
    EXPECT_EQ(error_of(ask_lookup("base", "alice,ou=people")), "125 No such object");
    EXPECT_NE(log().find("do_search: \"uid=d\\,e," + people + "\" 0 \"\" \"uid\""), std::string::npos) << log();
    EXPECT_NE(log().find("(uid=x\\2a)"), std::string::npos);
    EXPECT_NE(log().find("(uid=alice\\29\\28uid=bob)"), std::string::npos);
    EXPECT_NE(log().find("(uid=alice\\00)"), std::string::npos);
    EXPECT_NE(log().find("\"ou=people,dc=example,dc=test\" 1 \"(uid=example.test)\""), std::string::npos);
    EXPECT_NE(log().find("(|(uid=$u)(uid=bob))"), std::string::npos);
}

TEST_F(LdapLookup, BinaryValuesKeepEveryByte)
{
    start({{"photo", url(people + "?jpegPhoto?sub?(uid=$u)")}});
    EXPECT_EQ(lookup("photo", "binary"), (std::vector<std::string>{std::string("a\0b\xff\n", 5)}));
    // The response's log line shows the bytes escaped.
    EXPECT_NE(log().find("--> LOOKUP_RESPONSE 1: data: a\\x00b\xff\\n\n"), std::string::npos) << log();
}

TEST_F(LdapLookup, ServerAndUrlErrorsAnswerWithTheirCodesAndTexts)
{
    start({{"wrongpw", url(people + "?cn?sub?(uid=$u)"), user_dn("bob"), "not-bob-pw"},
           {"limit", url(people + "?cn?sub?(objectClass=inetOrgPerson)")},
           {"badurl", "ldap://127.0.0.1:" + std::to_string(server->ldap_port()) + "/??nonsense"},
           {"notldap", "http://example.test/"},
           {"critical", server->ldaps_url() + "/" + people + "?cn?sub?(uid=$u)?!StartTLS"},
           {"other", url(people + "?cn?sub?(uid=$u)?!1.2.3.4")},
           {"ignored", url(people + "?cn?sub?(uid=$u)?1.2.3.4")},
           {"down", "ldap://127.0.0.1:1/" + people + "?cn?sub?(uid=$u)"}});
    EXPECT_EQ(error_of(ask_lookup("wrongpw", "alice")), "125 Invalid credentials");
    EXPECT_EQ(error_of(ask_lookup("limit")), "125 Size limit exceeded");
    EXPECT_EQ(data_of(ask_lookup("limit")), std::vector<std::string>{});
    EXPECT_EQ(error_of(ask_lookup("badurl", "alice")).rfind("125 ldap_url_parse error ", 0), 0u)
        << error_of(ask_lookup("badurl", "alice"));
    EXPECT_EQ(error_of(ask_lookup("notldap")), "125 ldap_url_parse error 3");
    EXPECT_EQ(error_of(ask_lookup("critical", "alice")), "125 Non-supported extension");
    EXPECT_EQ(error_of(ask_lookup("other", "alice")), "125 Non-supported extension");
    EXPECT_EQ(lookup("ignored", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(error_of(ask_lookup("down", "alice")), "125 Can't contact LDAP server");
    EXPECT_FALSE(ask_check("wrongpw", "alice", "alice").result());

    const std::string text = log();
    EXPECT_NE(text.find("Warning: Datasource [critical.ldap]: Non-supported extension: !StartTLS\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Warning: Datasource [ignored.ldap]: Non-supported extension: 1.2.3.4\n"), std::string::npos);
    EXPECT_NE(text.find("ldap_sasl_bind_s: Invalid credentials\n"), std::string::npos);
    EXPECT_NE(text.find("ldap_search_ext_s: Size limit exceeded\n"), std::string::npos);
    EXPECT_EQ(text.find("not-bob-pw"), std::string::npos);
}

TEST_F(LdapLookup, PortsBeyondSixteenBitsFailWithoutContact)
{
    // libldap would keep only the low 16 (or 32) bits of these ports and
    // reach the server on its own port.
    const uint64_t port = server->ldap_port();
    const std::string rest = "/" + people + "?cn?sub?(uid=$u)";
    const std::vector<std::string> urls = {
        "ldap://127.0.0.1:" + std::to_string(port + 65536) + rest,
        "ldap://127.0.0.1:" + std::to_string(port + (uint64_t(1) << 32)) + rest,
        "ldaps://127.0.0.1:" + std::to_string(server->ldaps_port() + 65536) + rest,
        "ldap://127.0.0.1:65536" + rest,
        "ldap://[::1]:" + std::to_string(port + 65536) + rest,
        "ldap://127.0.0.1:6%35536" + rest,
        "ldap://127.0.0.1:-1" + rest,
    };
    std::vector<ldap_tag_t> tags;
    for (size_t i = 0; i < urls.size(); ++i)
        tags.push_back({"t" + std::to_string(i), urls[i]});
    tags.push_back({"top", "ldap://127.0.0.1:65535" + rest});
    start(tags);
    const size_t accepted = server->stats_count("ACCEPT");
    const size_t mark = log_mark();
    for (size_t i = 0; i < urls.size(); ++i) {
        const std::string tag = "t" + std::to_string(i);
        EXPECT_EQ(error_of(ask_lookup(tag, "alice")), "125 ldap_url_parse error 5") << urls[i];
        EXPECT_EQ(count_of(log_since(mark), "Error: Datasource [" + tag + ".ldap]: Port number is invalid\n"), 1u)
            << urls[i] << "\n" << log_since(mark);
    }
    EXPECT_EQ(log_since(mark).find("init: "), std::string::npos) << log_since(mark);
    EXPECT_EQ(server->stats_count("ACCEPT"), accepted);
    // The highest port is a port: tried, and nobody listens there.
    EXPECT_EQ(error_of(ask_lookup("top", "alice")), "125 Can't contact LDAP server");
}

TEST(LdapLookupSockets, LdapiSocketsInDirectoriesNamedWithCommasAndBlanks)
{
    std::vector<std::unique_ptr<slapd_server_t>> servers;
    std::vector<ldap_tag_t> tags;
    for (const char* dir : {"d,x", "d x", " a, b ,"}) {
        slapd_options_t options;
        options.ldapi_dir = dir;
        servers.push_back(std::make_unique<slapd_server_t>(options));
        servers.back()->start();
        tags.push_back({"s" + std::to_string(tags.size()), servers.back()->ldapi_url() + "/dc=example,dc=test?dc?base"});
    }
    // A comma may stand unencoded in a single URL.
    std::string raw = servers[0]->ldapi_url();
    raw.replace(raw.find("%2C"), 3, ",");
    tags.push_back({"raw", raw + "/dc=example,dc=test?dc?base"});

    pilotd_standin_options_t options;
    options.env.emplace_back("LDAPNOINIT", "1");
    daemon_fixture_t daemon(options);
    daemon.start();
    ASSERT_TRUE(daemon.apply(1, daemon.config_text(ldap_section_text(tags))));
    auto client = daemon.connect();
    std::vector<lp::ClientMessage> requests;
    for (size_t i = 0; i < tags.size(); ++i)
        requests.push_back(lookup_request(uint32_t(i + 1), lp::LOOKUP_LDAP, tags[i].tag));
    const auto answers = client->exchange(requests, 3 * daemon_timeout);
    for (size_t i = 0; i < tags.size(); ++i) {
        ASSERT_EQ(answers.count(uint32_t(i + 1)), 1u) << daemon.pilotd.stderr_text();
        EXPECT_EQ(data_of(answers.at(uint32_t(i + 1))), std::vector<std::string>{"example"})
            << tags[i].url << "\n" << answers.at(uint32_t(i + 1)).ShortDebugString();
    }
    EXPECT_NE(daemon.pilotd.stderr_text().find("%2fd%2cx%2fldapi\n"), std::string::npos)
        << daemon.pilotd.stderr_text();
    EXPECT_NE(daemon.pilotd.stderr_text().find("%2fd%20x%2fldapi\n"), std::string::npos);
    daemon.stop();
    // The raw comma reaches the same server as the coded one.
    EXPECT_EQ(servers[0]->stats_count("SRCH"), 2u);
}

TEST_F(LdapLookup, AFailedBindReleasesItsConnectionOnTheMainThread)
{
    // Nothing but the bind's own handler holds the connection: its last
    // reference goes when that handler has run on the main loop.
    start({{"wrongpw", url(people + "?cn?sub?(uid=$u)"), user_dn("bob"), "wrong"},
           {"good", url(people + "?cn?sub?(uid=$u)"), user_dn("bob"), "bob-pw"}});
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(error_of(ask_lookup("wrongpw", "alice")), "125 Invalid credentials");
    for (int i = 0; i < 100 && count_of(log(), ": destroyed\n") < 5; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(count_of(log(), ": destroyed\n"), 5u) << log();
    EXPECT_EQ(count_of(log(), "lp_ldap_ties_t::put"), 0u);
    EXPECT_EQ(lookup("good", "alice"), (std::vector<std::string>{"alice"}));
}

TEST_F(LdapLookup, LdapiAndTheUrlKeyOfTheConnection)
{
    start({{"socket", server->ldapi_url() + "/" + people + "?cn?sub?(uid=$u)"},
           {"upper", "ldap://127.0.0.1:" + std::to_string(server->ldap_port()) + "/" + people +
                         "?cn?sub?(uid=$u)?!1.3.6.1.4.1.1466.20037"}});
    EXPECT_EQ(lookup("socket", "alice"), (std::vector<std::string>{"alice"}));
    std::string encoded;
    for (const char c : server->ldapi_path())
        encoded += c == '/' ? std::string("%2f") : std::string(1, c);
    EXPECT_NE(log().find("init: ldapi://" + encoded + "\n"), std::string::npos) << log();
    // The StartTLS extension by its number; certificates unchecked (mode No).
    EXPECT_EQ(lookup("upper", "alice"), (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(server->wait_for_stats("STARTTLS", 1));
    EXPECT_NE(log().find("init: ldap://127.0.0.1:" + std::to_string(server->ldap_port()) + "/?\?\?\?!StartTLS\n"),
              std::string::npos)
        << log();
}

} // namespace
