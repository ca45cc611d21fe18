// The CIDR list back-end through the real daemon.
#include <gtest/gtest.h>

#include "support/daemon_lists_fixture.h"

namespace {
using CidrList = lists_fixture_t;
}

TEST_F(CidrList, AddressesMatchTheListedNetworks)
{
    const std::string path = write_file("nets.txt",
                                        "# networks\n"
                                        "10.0.0.0/8\n"
                                        "192.168.1.0/24\r\n"
                                        "203.0.113.7/32\n"
                                        "198.51.100.9\n"
                                        "172.16.5.5/0\n"
                                        "100.20.30.40/33\n"
                                        "192.0.2.0/255.255.255.0\n"
                                        "10.0.0.0/-1\n"
                                        "2001:db8:1::/64\n"
                                        "2001:db8:2::1\n"
                                        "2001:db9::/33\n"
                                        "2001:db8:4::5/128\n"
                                        "2001:db8:5::/129\n"
                                        "2001:db8:6::/\n"
                                        "198.51.100.77/x\n"
                                        "::ffff:192.0.2.0/120\n"
                                        "not-an-address\n"
                                        "10.0.0.0/8\n");
    const std::string any = write_file("any.txt", "::/0\n0.0.0.0/0\n");
    const std::string hosts = write_file("hosts.txt", "198.51.100.1\n2001:db8::1\n");
    start({{lp::LOOKUP_CIDR, "nets", path}, {lp::LOOKUP_CIDR, "any", any}, {lp::LOOKUP_CIDR, "hosts", hosts}});

    // Only the lines with "/" that parsed are listed, as written.
    EXPECT_EQ(lookup(lp::LOOKUP_CIDR, "nets"),
              (std::vector<std::string>{"10.0.0.0/8", "192.168.1.0/24", "203.0.113.7/32", "172.16.5.5/0",
                                        "2001:db8:1::/64", "2001:db9::/33", "2001:db8:4::5/128",
                                        "::ffff:192.0.2.0/120"}));
    // Refused lines, each logged once; a negative prefix is refused silently.
    for (const char* line : {"Invalid IPv4 address: \"100.20.30.40/33\"",
                             "Invalid IPv4 address: \"192.0.2.0/255.255.255.0\"",
                             "Invalid IPv6 address: \"2001:db8:5::/129\"",
                             "Invalid IPv6 address: \"2001:db8:6::/\"",
                             "Invalid IPv4 address: \"198.51.100.77/x\"",
                             "Invalid IPv4 address: \"not-an-address\""})
        EXPECT_EQ(count_of(log(), std::string("Error: Datasource [nets.cidr]: ") + line + "\n"), 1u) << line;
    EXPECT_EQ(count_of(log(), "Error:"), 6u) << log();

    const struct {
        const char* tag;
        const char* value;
        bool found;
    } cases[] = {
        {"nets", "10.255.1.1", true},          // /8
        {"nets", "11.0.0.1", false},
        {"nets", "192.168.1.200", true},       // /24
        {"nets", "192.168.2.1", false},
        {"nets", "203.0.113.7", true},         // /32
        {"nets", "203.0.113.8", false},
        {"nets", "198.51.100.9", true},        // no prefix: the one address
        {"nets", "198.51.100.10", false},
        {"nets", "172.16.5.5", true},          // /0 for IPv4: the one address
        {"nets", "172.16.5.6", false},
        {"nets", "100.20.30.40", false},       // refused /33 line
        {"nets", "192.0.2.1", false},          // refused dotted netmask
        {"nets", "2001:db8:1::abcd", true},    // /64
        {"nets", "2001:db8:1:0:ffff:ffff:ffff:ffff", true},
        {"nets", "2001:db8:1:1::1", false},
        {"nets", "2001:db8:2::1", true},       // no prefix: the one address
        {"nets", "2001:db8:2::2", false},
        {"nets", "2001:db9:7fff:ffff::1", true},  // /33: one word and one bit
        {"nets", "2001:db9:8000::1", false},
        {"nets", "2001:db8:4::5", true},       // /128
        {"nets", "2001:db8:4::6", false},
        {"nets", "2001:db8:5::1", false},      // refused /129 line
        {"nets", "2001:db8:7::1", false},      // refused "/" without digits
        {"nets", "198.51.100.77", false},
        {"nets", "::ffff:10.1.2.3", false},    // IPv4-mapped value, IPv4 network
        {"nets", "192.0.2.5", false},          // IPv4 value, IPv4-mapped network
        {"nets", "::ffff:192.0.2.5", true},
        {"nets", "10.0.0.0/8", true},          // verbatim line
        {"nets", "192.168.1.0/24", true},
        {"nets", "10.0.0.0/16", true},         // its address lies in 10.0.0.0/8
        {"nets", "192.168.1.0/25", true},
        {"nets", "11.0.0.0/8", false},
        {"nets", "fe80::1", false},            // the other tag's ::/0 does not count here
        {"any", "fe80::1", true},              // IPv6 /0: every address
        {"any", "::", true},
        {"any", "0.0.0.0", true},              // IPv4 /0: the one address
        {"any", "1.2.3.4", false},
        {"hosts", "198.51.100.1", true},
        {"hosts", "2001:db8::1", true},
        {"hosts", "2001:db8::2", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check(lp::LOOKUP_CIDR, c.tag, c.value), c.found) << c.tag << " \"" << c.value << '"';
    EXPECT_EQ(count_of(log(), "Error:"), 6u) << log();

    // Plain addresses are matched but never listed.
    const lp::ServerMessage listed = ask_lookup(lp::LOOKUP_CIDR, "hosts");
    EXPECT_FALSE(listed.has_error());
    EXPECT_EQ(listed.data_size(), 0);
}

TEST_F(CidrList, ValuesThatAreNoAddressesAreRefusedOnce)
{
    const std::string path = write_file("nets.txt", "10.0.0.0/8\n2001:db8::/32\n");
    start({{lp::LOOKUP_CIDR, "nets", path}});

    const struct {
        const char* value;
        const char* error;
    } cases[] = {
        {"junk", "Invalid IPv4 address: \"junk\""},
        {"", "Invalid IPv4 address: \"\""},
        {" 10.1.1.1", "Invalid IPv4 address: \" 10.1.1.1\""},
        {"10.1.1.1/33", "Invalid IPv4 address: \"10.1.1.1/33\""},
        {"10.1.1.1/4294967328", "Invalid IPv4 address: \"10.1.1.1/4294967328\""},
        {"2001:db8::1/129", "Invalid IPv6 address: \"2001:db8::1/129\""},
        {"10.1.1.1/", "Invalid IPv4 address: \"10.1.1.1/\""},
        {"2001:db8::1/ x", "Invalid IPv6 address: \"2001:db8::1/ x\""},
        {"2001:db8::zz", "Invalid IPv6 address: \"2001:db8::zz\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string line = std::string("Error: Datasource [nets.cidr]: ") + c.error + "\n";
        EXPECT_FALSE(check(lp::LOOKUP_CIDR, "nets", c.value));
        EXPECT_EQ(count_of(log(), line), 1u) << log();
        // Asked again: the "NOT found" cache answers, without a second Error.
        EXPECT_FALSE(check(lp::LOOKUP_CIDR, "nets", c.value));
        EXPECT_EQ(count_of(log(), line), 1u);
        EXPECT_EQ(count_of(log(), std::string("Request \"") + c.value + "\" found in \"NOT found\" cache."), 1u);
    }
    // A value's own valid prefix plays no part.
    EXPECT_TRUE(check(lp::LOOKUP_CIDR, "nets", "10.1.1.1/32"));
    EXPECT_TRUE(check(lp::LOOKUP_CIDR, "nets", "2001:db8::1/0"));
}

TEST_F(CidrList, ControlCharactersAreEscapedInErrors)
{
    const std::string path = write_file("nets.txt", "10.0.0.0/8\n192.0.2.\x1b[31m1\n");
    start({{lp::LOOKUP_CIDR, "nets", path}});

    EXPECT_FALSE(check(lp::LOOKUP_CIDR, "nets", "10.1.2.3\r\nError: forged"));  // holds ":": IPv6
    EXPECT_TRUE(check(lp::LOOKUP_CIDR, "nets", "10.1.2.3"));
    const std::string text = log();
    EXPECT_EQ(count_of(text, "Error: Datasource [nets.cidr]: Invalid IPv4 address: \"192.0.2.\\x1b[31m1\"\n"), 1u)
        << text;
    EXPECT_EQ(count_of(text, "Error: Datasource [nets.cidr]: Invalid IPv6 address: \"10.1.2.3\\r\\nError: forged\"\n"),
              1u)
        << text;
}
