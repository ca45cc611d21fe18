// The Active Directory back-end's text and SID functions, in-process.
#include <gtest/gtest.h>

#include <cstdint>
#include <locale>
#include <string>
#include <vector>

#include "ldap/lp_ad_client.h"

TEST(AdText, TheDomainOfADn)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"CN=Jo,OU=Staff,DC=Corp,DC=Example,DC=com", "Corp.Example.com"},
        {"cn=jo,dc=corp,Dc=example,dC=com", "corp.example.com"},
        {"CN=Jo,OU=Staff, DC=Corp,DC=com", "com"},
        {"CN=Jo,OU=Staff,DC=Corp, DC=com", ""},
        {"CN=Jo,OU=Staff", ""},
        {"DC=com", "com"},
        {"CN=a\\,DC=b,DC=c", "b.c"},
        {"CN=Jo,DC=,DC=com", ".com"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ad_dn_domain(c.first), c.second) << c.first;
}

TEST(AdText, PrimaryGroupIdAsAnUnsigned32BitNumber)
{
    const std::vector<std::pair<std::string, uint32_t>> good = {
        {"513", 513u},          {"+513", 513u},       {"-1", 0xffffffffu},  {"0", 0u},
        {"4294967295", 0xffffffffu}, {"-4294966783", 513u}, {"000513", 513u},
    };
    for (const auto& c : good) {
        uint32_t value = 7;
        EXPECT_TRUE(parse_primary_group_id(c.first, value)) << c.first;
        EXPECT_EQ(value, c.second) << c.first;
    }
    for (const char* bad : {"", "+", "-", "abc", "51 3", " 513", "513 ", "4294967296", "-4294967296", "0x10",
                            "+-1", "99999999999999999999999"}) {
        uint32_t value = 7;
        EXPECT_FALSE(parse_primary_group_id(bad, value)) << bad;
    }
}

TEST(AdText, ThePrimaryGroupsSidForTheFilter)
{
    const std::string user("\x01\x05\x00\x00\x00\x00\x00\x05\x15\x00\x00\x00\x01\x00\x00\x00"
                           "\x02\x00\x00\x00\x03\x00\x00\x00\x51\x04\x00\x00",
                           28);
    const std::string group = replace_sid_rid(user, 513);
    EXPECT_EQ(group.substr(0, 24), user.substr(0, 24));
    EXPECT_EQ(group.substr(24), std::string("\x01\x02\x00\x00", 4));
    const std::string text = escape_sid_bytes(group);
    EXPECT_EQ(text.size(), 84u);  // three characters a byte
    EXPECT_EQ(text.substr(0, 12), "\\01\\05\\00\\00");
    EXPECT_EQ(text.substr(72), "\\01\\02\\00\\00");
    EXPECT_EQ(escape_sid_bytes(std::string("\xff\x0a", 2)), "\\ff\\0a");

    EXPECT_EQ(replace_sid_rid("", 513), std::string("\x01\x02\x00\x00", 4));
    EXPECT_EQ(replace_sid_rid(std::string("\x09\x09\x09", 3), 0x04030201u), "\x01\x02\x03\x04");
    EXPECT_EQ(replace_sid_rid("abcd", 0xffffffffu), "\xff\xff\xff\xff");
}

TEST(AdText, ResultShapes)
{
    const lp_ldap_entry_t one = {{"distinguishedName", {"CN=a"}}};
    const lp_ldap_entry_t two = {{"distinguishedName", {"CN=a"}}, {"sAMAccountName", {"a"}}};
    const lp_ldap_entry_t twice = {{"distinguishedName", {"CN=a"}}, {"sAMAccountName", {"a", "b"}}};
    const lp_ldap_entry_t blank = {{"distinguishedName", {"CN=a"}}, {"sAMAccountName", {""}}};
    const lp_ldap_entry_t none = {{"distinguishedName", {"CN=a"}}, {"sAMAccountName", {}}};
    EXPECT_TRUE(check_result_shape({}, true, 2));
    EXPECT_TRUE(check_result_shape({two}, true, 2));
    EXPECT_TRUE(check_result_shape({two, two}, false, 2));
    EXPECT_FALSE(check_result_shape({two, two}, true, 2));
    EXPECT_FALSE(check_result_shape({one}, false, 2));
    EXPECT_FALSE(check_result_shape({two}, false, 1));
    EXPECT_FALSE(check_result_shape({twice}, false, 2));
    EXPECT_FALSE(check_result_shape({blank}, false, 2));
    EXPECT_FALSE(check_result_shape({none}, false, 2));
    EXPECT_FALSE(check_result_shape({two, one}, false, 2));
}

TEST(AdText, NamesCompareWithoutRegardToCaseForEveryLetterInAnyLocale)
{
    struct case_t {
        std::string a, b;
        bool equal;
    };
    const std::vector<case_t> cases = {
        {"Ärzte", "ärzte", true},
        {"ÄRZTE", "ärzte", true},
        {"CN=Ärzte,CN=Users,DC=lookup,DC=test", "cn=ärzte,cn=users,dc=lookup,dc=test", true},
        {"ΟΔΌΣ", "οδός", true},
        {"σ", "ς", true},               // both fold to σ
        {"\u212a", "k", true},           // KELVIN SIGN: three bytes against one
        {"\u1e9e", "ß", true},           // capital sharp s
        {"STRASSE", "straße", false},    // full folding only
        {"Arzte", "Ärzte", false},
        {"\u0131", "i", false},          // dotless i is a letter of its own
        {"A\u0308rzte", "Ärzte", false},  // no normalisation
        {"Ärzte", "ärzt", false},
        {"IJ", "ij", true},               // ASCII as always, Turkish or not
        {"a\xff", "A\xff", true},       // bytes that are no UTF-8 compare as they are
        {"\xc4rzte", "\xe4rzte", false},
        {"\xc3", "\xc3\xa4", false},
        {"\xe2\x84", "\xe2\x84", true},
    };
    for (const char* name : {"C", "C.UTF-8"}) {
        std::locale::global(std::locale(name));
        for (const case_t& c : cases) {
            EXPECT_EQ(ad_iequals(c.a, c.b), c.equal) << name << ": " << c.a << " " << c.b;
            EXPECT_EQ(ad_iequals(c.b, c.a), c.equal) << name << ": " << c.b << " " << c.a;
        }
    }
    std::locale::global(std::locale::classic());
}

TEST(AdText, NamesCompareWithoutRegardToCase)
{
    EXPECT_TRUE(ad_iequals("Domain Users", "domain users"));
    EXPECT_TRUE(ad_iequals("CN=Ops (East),DC=x", "cn=OPS (EAST),dc=X"));
    EXPECT_TRUE(ad_iequals("", ""));
    EXPECT_FALSE(ad_iequals("Domain Users", "Domain Users "));
    EXPECT_FALSE(ad_iequals("Staff", "Stuff"));
}
