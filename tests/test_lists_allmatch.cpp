// The exact-value list back-end through the real daemon.
#include <gtest/gtest.h>

#include "support/daemon_lists_fixture.h"

namespace {
using AllMatchList = lists_fixture_t;
}

TEST_F(AllMatchList, ValuesMatchWholeLinesWithoutRegardToCase)
{
    const std::string path = write_file("people.txt",
                                        "# staff\n"
                                        "Alice\n"
                                        "  bob  \n"
                                        "Carol\r\n"
                                        "carol\n"          // differs in case only: listed instead
                                        "Eve\n"
                                        "EVE\n"            // already a key: Eve stays listed
                                        "x#y\n"
                                        "Ünal\n"
                                        "jo*\n");
    start({{lp::LOOKUP_ALLMATCH, "people", path}});

    EXPECT_EQ(lookup(lp::LOOKUP_ALLMATCH, "people"),
              (std::vector<std::string>{"Alice", "bob", "carol", "Eve", "x#y", "Ünal", "jo*"}));

    const struct {
        const char* value;
        bool found;
    } cases[] = {
        {"Alice", true},   {"ALICE", true},   {"alice", true},  {" alice", false}, {"alice ", false},
        {"Alic", false},   {"Alicex", false}, {"BOB", true},    {"bob", true},     {"CAROL", true},
        {"Carol", true},   {"eve", true},     {"X#Y", true},    {"# staff", false}, {"ÜNAL", true},
        {"ünal", true},    {"unal", false},   {"jo*", true},    {"john", false},   {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check(lp::LOOKUP_ALLMATCH, "people", c.value), c.found) << '"' << c.value << '"';
    EXPECT_EQ(count_of(log(), "Warning:"), 0u) << log();
    EXPECT_EQ(count_of(log(), "Error:"), 0u);
}

TEST_F(AllMatchList, LaterUpperCaseLineKeepsTheEarlierSpelling)
{
    const std::string path = write_file("pairs.txt", "DAVE\nDave\nmallory\nMALLORY\nTrent\ntrent\nTRENT\n");
    start({{lp::LOOKUP_ALLMATCH, "pairs", path}});
    EXPECT_EQ(lookup(lp::LOOKUP_ALLMATCH, "pairs"), (std::vector<std::string>{"Dave", "mallory", "trent"}));
}
