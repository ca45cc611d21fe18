// The regular-expression list back-end through the real daemon.
#include <gtest/gtest.h>

#include "support/daemon_lists_fixture.h"

namespace {
using RegexList = lists_fixture_t;
}

TEST_F(RegexList, PatternsSearchTheValueWithoutRegardToCase)
{
    const std::string path = write_file("patterns.txt",
                                        "abc\n"
                                        "^xyz$\n"
                                        "(\n"
                                        "abc\n"
                                        "^café$\n"
                                        "\\d{3}-\\d{4}\n"
                                        "^$\n");
    start({{lp::LOOKUP_REGEX, "patterns", path}});

    // The pattern that does not compile is left out; a repeated one is listed once.
    EXPECT_EQ(lookup(lp::LOOKUP_REGEX, "patterns"),
              (std::vector<std::string>{"abc", "^xyz$", "^café$", "\\d{3}-\\d{4}", "^$"}));
    const std::string text = log();
    EXPECT_EQ(count_of(text, "Debug: Datasource [patterns.regex]: Compiling regexp \"abc\"...\n"), 1u);
    EXPECT_EQ(count_of(text, "Debug: Datasource [patterns.regex]: Compiling regexp \"(\"...\n"), 1u);
    EXPECT_EQ(count_of(text, "Error: Datasource [patterns.regex]: Cannot compile regular expression \"(\": "), 1u)
        << text;
    EXPECT_EQ(count_of(text, "Error:"), 1u);

    const struct {
        const char* value;
        bool found;
    } cases[] = {
        {"abc", true},       {"xxabcxx", true}, {"XXABCXX", true}, {"ab c", false},     {"xyz", true},
        {"XYZ", true},       {"axyz", false},   {"xyz1", false},   {"café", true},      {"CAFÉ", true},
        {"cafe", false},     {"le café", false}, {"555-1234", true}, {"tel 555-1234!", true}, {"55-1234", false},
        {"", true},          {"(", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check(lp::LOOKUP_REGEX, "patterns", c.value), c.found) << '"' << c.value << '"';
}

TEST_F(RegexList, InvalidUtf8ValueClosesOnlyThatConnection)
{
    const std::string path = write_file("names.txt", "^admin\n");
    const std::string early = write_file("early.txt", "adm\n");
    start({{lp::LOOKUP_REGEX, "names", path}, {lp::LOOKUP_REGEX, "early", early}});
    std::unique_ptr<trawl_client_t> other = daemon->connect();
    EXPECT_TRUE(check(lp::LOOKUP_REGEX, "names", "administrator"));
    // A match that the search finds before it reaches the bad sequence answers.
    EXPECT_TRUE(check(lp::LOOKUP_REGEX, "early", "adm\xffxyz"));

    // The matcher reaches the bad sequence and refuses the value; the connection logs a Warning and closes
    // without an answer.
    ASSERT_TRUE(client->send_message(check_request(50, lp::LOOKUP_REGEX, "names", "adm\xff\xfe")));
    EXPECT_TRUE(client->wait_closed(daemon_timeout));
    EXPECT_TRUE(daemon->wait_for_stderr("Warning: Client 0x1 Invalid UTF-8 sequence")) << log();
    EXPECT_TRUE(daemon->wait_for_stderr("Debug: Client 0x1 Disconnected"));
    // The request that failed is owed no answer: the connection goes.
    EXPECT_TRUE(daemon->wait_for_stderr("Debug: Client 0x1 Destroyed")) << log();
    EXPECT_EQ(count_of(log(), "Request \"adm\xff\xfe\" NOT found."), 0u);

    // Other connections go on, the earlier one as well as a new one.
    const auto answers = other->exchange({check_request(1, lp::LOOKUP_REGEX, "names", "ADMIN"),
                                          check_request(2, lp::LOOKUP_REGEX, "names", "root")},
                                         daemon_timeout);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers.at(1).result());
    EXPECT_FALSE(answers.at(2).result());
    client = daemon->connect();
    EXPECT_TRUE(check(lp::LOOKUP_REGEX, "names", "admin"));
    EXPECT_FALSE(daemon->pilotd.wait_exit(std::chrono::milliseconds(0)).has_value());
}

TEST_F(RegexList, ManyPatternsWithSharedAndFoldedLiterals)
{
    // Patterns that share a domain and differ in one literal, then some with
    // letters whose case folding is special (İ, ı, the Kelvin sign, ſ).
    std::string patterns;
    for (int i = 0; i < 300; ++i)
        patterns += "^[a-z]+\\." + std::to_string(i) + "@(mail|smtp)\\.example\\.org$\n";
    patterns += "\xc4\xb0stanbul-office\n"
                "\xe2\x84\xaa" "elvin-lab\n"
                "^\xc4\xb1" "rmak$\n"
                "\xc5\xbf" "hell\n"
                "^room [0-9]+$|team-x\n";
    const std::string path = write_file("patterns.txt", patterns);
    start({{lp::LOOKUP_REGEX, "patterns", path}});

    const struct {
        const char* value;
        bool found;
    } cases[] = {
        {"john.17@mail.example.org", true},
        {"JOHN.299@SMTP.EXAMPLE.ORG", true},
        {"john.300@mail.example.org", false},
        {"john.17@web.example.org", false},
        {"mail.example.org", false},
        {"the istanbul-office", true},
        {"ISTANBUL-OFFICE", true},
        {"\xc4\xb1stanbul-office", false},      // ı is no i
        {"KELVIN-LAB", true},
        {"\xe2\x84\xaa" "elvin-lab", true},
        {"IRMAK", false},
        {"\xc4\xb1" "RMAK", true},
        {"shell", false},                        // ſ stays ſ
        {"\xc5\xbf" "HELL", true},
        {"TEAM-X", true},
        {"room 7", true},
        {"nothing here", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check(lp::LOOKUP_REGEX, "patterns", c.value), c.found) << '"' << c.value << '"';
}

TEST_F(RegexList, ControlCharactersAreEscapedInLogLines)
{
    const std::string path = write_file("patterns.txt", "(\x1b[31m\nok\x01\n");
    start({{lp::LOOKUP_REGEX, "patterns", path}});

    EXPECT_EQ(lookup(lp::LOOKUP_REGEX, "patterns"), (std::vector<std::string>{"ok\x01"}));
    const std::string text = log();
    EXPECT_EQ(count_of(text, "Debug: Datasource [patterns.regex]: Compiling regexp \"(\\x1b[31m\"...\n"), 1u) << text;
    EXPECT_EQ(count_of(text, "Debug: Datasource [patterns.regex]: Compiling regexp \"ok\\x01\"...\n"), 1u);
    EXPECT_EQ(count_of(text, "Error: Datasource [patterns.regex]: Cannot compile regular expression \"(\\x1b[31m\": "),
              1u);
}

TEST_F(RegexList, BacktrackingPatternAnswersWithoutClosingTheConnection)
{
    const std::string path = write_file("backtracking.txt", "(.{2}|.)*?(x|y)\n");
    start({{lp::LOOKUP_REGEX, "backtracking", path}});

    // Answered by a search over the value's UTF-8 text; pipelined requests
    // behind the first are answered too.
    const std::string letters(20, 'a');
    const auto answers = client->exchange({check_request(1, lp::LOOKUP_REGEX, "backtracking", letters),
                                           check_request(2, lp::LOOKUP_REGEX, "backtracking", letters + "Y"),
                                           check_request(3, lp::LOOKUP_REGEX, "backtracking", std::string(26, 'b')),
                                           lookup_request(4, lp::LOOKUP_REGEX, "backtracking")},
                                          daemon_timeout);
    ASSERT_EQ(answers.size(), 4u) << log();
    EXPECT_FALSE(answers.at(1).result());
    EXPECT_TRUE(answers.at(2).result());
    EXPECT_FALSE(answers.at(3).result());
    EXPECT_EQ(data_of(answers.at(4)), std::vector<std::string>{"(.{2}|.)*?(x|y)"});
    EXPECT_EQ(count_of(log(), "Warning:"), 0u) << log();
    EXPECT_TRUE(check(lp::LOOKUP_REGEX, "backtracking", "x"));
}
