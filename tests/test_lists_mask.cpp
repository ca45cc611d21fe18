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

namespace {

const char* const letter_masks = "\xc3\x9c*\n"        // Ü*
                                 "?\n"
                                 "[\xc3\xa4\xc3\xb6]x\n"  // [äö]x
                                 "\xcf\x83\xce\xbf\xcf\x86\xce\xaf\xce\xb1\n"  // σοφία
                                 "stra\xc3\x9f" "e\n"  // straße
                                 "*.TXT\n";

// Whether each value is found in a UTF-8 locale and in a C or POSIX one.
const struct {
    const char* value;
    bool utf8, c;
} letter_cases[] = {
    {"\xc3\xbc" "ber", true, false},                         // über
    {"\xc3\x9c" "BER", true, true},                          // ÜBER
    {"uber", false, false},
    {"\xc3\xa9", true, false},                               // é: one character, two bytes
    {"\xc3\xa9\xc3\xa9", false, false},
    {"\xc3\x84X", true, false},                              // ÄX
    {"\xc3\xb6x", true, false},                              // öx
    {"ax", false, false},
    {"\xce\xa3\xce\x9f\xce\xa6\xce\x8a\xce\x91", true, false},  // ΣΟΦΊΑ
    {"\xcf\x83\xce\xbf\xcf\x86\xce\xaf\xce\xb1", true, true},  // σοφία
    {"STRASSE", false, false},                               // ß is one letter, SS two
    {"STRA\xe1\xba\x9e" "E", true, false},                   // STRAẞE
    {"notes.txt", true, true},
    {"Q", true, true},
};

class MaskListInC : public lists_fixture_t, public ::testing::WithParamInterface<const char*> {
protected:
    MaskListInC() : lists_fixture_t(GetParam()) {}
};

} // namespace

TEST_F(MaskList, LettersFoldAndQuestionMarkIsOneCharacterInTheLocale)
{
    start({{lp::LOOKUP_MASK, "letters", write_file("masks.txt", letter_masks)}});
    for (const auto& c : letter_cases)
        EXPECT_EQ(check(lp::LOOKUP_MASK, "letters", c.value), c.utf8) << '"' << c.value << '"';

    // A value that is not UTF-8 leaves every mask in place.
    for (const char* value : {"\xff", "\xc3\xbc" "ber\xff", "\xc3"}) {
        const lp::ServerMessage answer = ask_check(lp::LOOKUP_MASK, "letters", value);
        EXPECT_FALSE(answer.has_error()) << answer.DebugString();
    }
    EXPECT_EQ(lookup(lp::LOOKUP_MASK, "letters").size(), 6u);
    EXPECT_EQ(count_of(log(), "Warning:"), 0u) << log();
}

TEST_P(MaskListInC, OnlyAsciiLettersFoldAndQuestionMarkIsOneByte)
{
    start({{lp::LOOKUP_MASK, "letters", write_file("masks.txt", letter_masks)}});
    for (const auto& c : letter_cases)
        EXPECT_EQ(check(lp::LOOKUP_MASK, "letters", c.value), c.c) << '"' << c.value << '"';
    EXPECT_TRUE(check(lp::LOOKUP_MASK, "letters", "\xff"));
}

INSTANTIATE_TEST_SUITE_P(Locales, MaskListInC, ::testing::Values("C", "POSIX"));
