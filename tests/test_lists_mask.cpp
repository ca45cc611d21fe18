// The mask list back-end through the real daemon.
#include <gtest/gtest.h>

#include "support/daemon_lists_fixture.h"

namespace {
using MaskList = lists_fixture_t;
}

TEST_F(MaskList, MasksMatchWholeValuesWithoutRegardToCase)
{
    const std::string path = write_file("masks.txt",
                                        "*.TXT\n"
                                        "a*\n"
                                        "?\n"
                                        "/etc/*.conf\n"
                                        ".hidden\n"
                                        "[bc]x\n"
                                        "a*\n");
    start({{lp::LOOKUP_MASK, "masks", path}});

    EXPECT_EQ(lookup(lp::LOOKUP_MASK, "masks"),
              (std::vector<std::string>{"*.TXT", "a*", "?", "/etc/*.conf", ".hidden", "[bc]x"}));

    const struct {
        const char* value;
        bool found;
    } cases[] = {
        {"notes.txt", true},    {"NOTES.TXT", true},   {"dir/notes.txt", true}, {".profile.txt", true},
        {"notes.txt.bak", false}, {"a/b", true},       {"Abc", true},           {"ba", false},
        {"q", true},            {"/", true},           {".", true},             {"", false},
        {"qq", false},          {"/ETC/x.CONF", true}, {"/etc/sub/x.conf", true}, {"/etc/x.con", false},
        {".HIDDEN", true},      {"hidden", false},     {"bx", true},            {"CX", true},
        {"dx", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check(lp::LOOKUP_MASK, "masks", c.value), c.found) << '"' << c.value << '"';
    // Misses with valid masks log nothing beyond Debug.
    EXPECT_EQ(count_of(log(), "Warning:"), 0u) << log();
    EXPECT_EQ(count_of(log(), "Error:"), 0u);
}
