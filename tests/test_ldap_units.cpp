// The LDAP back-end's text functions and the result accumulator, in-process.
#include <gtest/gtest.h>

#include <ldap.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

#include "ldap/lp_accumulator.h"
#include "ldap/lp_ldap_client.h"
#include "support/capture_log.h"
#include "support/test_files.h"

using velbo_test::test_log;

TEST(LdapText, ServerUrlsOfTheConnectionKey)
{
    struct case_t {
        std::string scheme, host;
        int port;
        std::string extension, url;
    };
    const std::vector<case_t> cases = {
        {"ldap", "DC1.Example.COM", 389, "", "ldap://dc1.example.com:389"},
        {"ldap", "DC1.Example.COM", 389, "StartTLS", "ldap://dc1.example.com:389/????StartTLS"},
        {"ldap", "fe80::1", 389, "!StartTLS", "ldap://[fe80::1]:389/?\?\?\?!StartTLS"},
        {"ldaps", "127.0.0.1", 636, "", "ldaps://127.0.0.1:636"},
        {"ldapi", "/var/run/slapd.sock", 0, "", "ldapi://%2fvar%2frun%2fslapd.sock"},
        {"ldapi", "/a%b?c/", 0, "", "ldapi://%2fa%25b%3fc%2f"},
        {"ldapi", "/d,x/d y/s", 0, "", "ldapi://%2fd%2cx%2fd%20y%2fs"},
        {"LDAPI", "/S", 389, "", "LDAPI:///s:389"},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(make_ldap_url(c.scheme, c.host, c.port, c.extension), c.url);
    EXPECT_EQ(url_extension_suffix("ldap://h:389/?\?\?\?!StartTLS"), "/?\?\?\?!StartTLS");
    EXPECT_EQ(url_extension_suffix("ldap://h:389"), "");
}

// libldap connects to a socket whose directory name holds any byte.
TEST(LdapText, EverySocketPathReachesItsSocket)
{
    ::setenv("LDAPNOINIT", "1", 1);
    const velbo_test::temp_dir_t dir;
    std::vector<int> missed;
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == '/')
            continue;
        const std::string sub = dir.file(std::string("d") + char(byte) + "x");
        ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0) << byte;
        const std::string path = sub + "/sock";
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, path.data(), path.size());
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << byte;
        ASSERT_EQ(::listen(listener, 4), 0);

        LDAP* ld = nullptr;
        bool reached = false;
        if (ldap_initialize(&ld, make_ldap_url("ldapi", path, 0, "").c_str()) == LDAP_SUCCESS) {
            const int version = LDAP_VERSION3;
            ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
            berval none{0, nullptr};
            int id = 0;
            // Sent without waiting: the connection is what counts.
            ldap_sasl_bind(ld, nullptr, LDAP_SASL_SIMPLE, &none, nullptr, nullptr, &id);
            pollfd ready{listener, POLLIN, 0};
            reached = ::poll(&ready, 1, 1000) == 1;
        }
        if (ld)
            ldap_unbind_ext(ld, nullptr, nullptr);
        ::close(listener);
        if (!reached)
            missed.push_back(byte);
    }
    EXPECT_EQ(missed, std::vector<int>{});
}

TEST(LdapText, EscapingForFiltersAndForDns)
{
    EXPECT_EQ(escape_filter_value(std::string("a*b(c)d\\e\0f", 11)), "a\\2ab\\28c\\29d\\5ce\\00f");
    EXPECT_EQ(escape_filter_value("plain, +=#"), "plain, +=#");
    EXPECT_EQ(escape_dn_value("a,b+c;d<e>f\"g=h\\i"), "a\\,b\\+c\\;d\\<e\\>f\\\"g\\=h\\\\i");
    EXPECT_EQ(escape_dn_value(" #lead and trail "), "\\ #lead and trail\\ ");
    EXPECT_EQ(escape_dn_value(std::string("a\0b\tc\x7f", 6)), "a\\00b\\09c\\7f");
    EXPECT_EQ(escape_dn_value("#"), "\\#");
    EXPECT_EQ(escape_dn_value("mid#dle"), "mid#dle");
}

TEST(LdapText, Placeholders)
{
    struct case_t {
        std::string text, user, domain, filter, base;
    };
    const std::vector<case_t> cases = {
        {"(uid=$u)", "jo*)", "", "(uid=jo\\2a\\29)", "(uid=jo*))"},
        {"$$u", "x", "", "$u", "$u"},
        {"$D", "", "example.com", "dc=example,dc=com", "dc=example,dc=com"},
        {"$D", "", "", "dc=", "dc="},
        {"$D", "", "a..b", "dc=a,dc=,dc=b", "dc=a,dc=,dc=b"},
        {"uid=$u,$D", "a,b", "x+y.z", "uid=a,b,dc=x+y,dc=z", "uid=a\\,b,dc=x\\+y,dc=z"},
        {"$d/$x/$", "", "d(1)", "d\\281\\29/$x/$", "d(1)/$x/$"},
        {"$U$$$", "u", "", "$U$$", "$U$$"},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(substitute_placeholders(c.text, c.user, c.domain), c.filter) << c.text;
        EXPECT_EQ(substitute_dn_placeholders(c.text, c.user, c.domain), c.base) << c.text;
    }
}

TEST(LdapText, AnswerFormatting)
{
    const lp_ldap_entry_t entry = {{"cn", {"Ann", "Anna"}}, {"uid", {"ann"}}};
    EXPECT_EQ(format_ldap_entry(entry, true), "cn=Ann,Anna,uid=ann");
    EXPECT_EQ(format_ldap_entry(entry, false), "Ann,Anna,ann");
    EXPECT_EQ(format_ldap_result({entry, {}}, true), (std::vector<std::string>{"cn=Ann,Anna,uid=ann", ""}));
}

TEST(LdapLog, LibldapOutputLineByLine)
{
    cf_log_threshold = CF_LOG_DEBUG;
    test_log().lines.clear();
    libldap_log_print("a\n\nb\n");
    libldap_log_print("c\x01");
    std::vector<std::string> lines;
    for (const auto& line : test_log().lines) {
        EXPECT_EQ(line.first, CF_LOG_DEBUG);
        lines.push_back(line.second);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"libldap: a", "libldap: ", "libldap: b", "libldap: c\\x01"}));
}

TEST(LdapAccumulator, JoinsPartsInArrivalOrderOrStopsAtTheFirstError)
{
    using strings_t = std::vector<std::string>;
    std::vector<std::pair<boost::system::error_code, strings_t>> calls;
    const auto record = [&calls](const boost::system::error_code& ec, const strings_t& data) {
        calls.emplace_back(ec, data);
    };
    {
        auto joined = std::make_shared<lp_accumulator_t<strings_t>>(3, record);
        joined->add({}, {"a"});
        joined->add({}, {});
        EXPECT_TRUE(calls.empty());
        joined->add({}, {"b", "c"});
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].first);
    EXPECT_EQ(calls[0].second, (strings_t{"a", "b", "c"}));

    calls.clear();
    const boost::system::error_code failure = make_error_code(LPE_OBJECT_NOT_FOUND);
    auto joined = std::make_shared<lp_accumulator_t<strings_t>>(3, record);
    joined->add({}, {"a"});
    joined->add(failure, {"x"});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, failure);
    EXPECT_TRUE(calls[0].second.empty());
    joined->add(make_error_code(LPE_MULTIPLE_USERS_FOUND), {});
    joined->add({}, {"late"});
    EXPECT_EQ(calls.size(), 1u);
}
