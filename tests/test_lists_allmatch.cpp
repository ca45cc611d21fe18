// The exact-value list back-end through the real daemon.
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/daemon_exchange.h"
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

// The lines of a lookup answer are encoded once and spliced into each
// response: every frame holds exactly the bytes of the response built field
// by field, whatever the length of its serial and of its lines.
TEST_F(AllMatchList, LookupAnswerBytesAreThoseOfTheWholeResponse)
{
    const std::vector<std::string> lines = {"first", "Z\xc3\xbcrich", std::string(300, 'L'), "last"};
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    start({{lp::LOOKUP_ALLMATCH, "words", write_file("words.txt", text)}});
    const int fd = raw_connect(daemon->socket_path);
    for (const uint32_t serial : {1u, 200u, 70000u, 1u}) {
        ASSERT_TRUE(write_bytes(fd, frame_of(lookup_request(serial, lp::LOOKUP_ALLMATCH, "words"))));
        std::string body;
        ASSERT_TRUE(read_frame_body(fd, body)) << log();
        lp::ServerMessage expected;
        expected.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
        expected.set_serial(serial);
        for (const std::string& line : lines)
            expected.add_data(line);
        EXPECT_EQ(body, expected.SerializeAsString()) << "serial " << serial;
    }
    ::close(fd);
}
