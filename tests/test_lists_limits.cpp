// A lookup whose answer exceeds the 64 MiB frame limit.
#include <fstream>

#include <gtest/gtest.h>

#include "support/daemon_lists_fixture.h"

namespace {
using ListLimits = lists_fixture_t;
}

TEST_F(ListLimits, OversizedLookupAnswerFailsThatRequestOnly)
{
    // About 68 MB of distinct lines: more than one frame may carry.
    const std::string path = path_of("huge.txt");
    {
        std::ofstream out(path, std::ios::binary);
        const std::string filler(4000, 'x');
        for (int i = 0; i < 17500; ++i)
            out << "line-" << i << '-' << filler << '\n';
        ASSERT_TRUE(out.good());
    }
    const std::string small = write_file("small.txt", "*.log\n");
    // Debug lines for every one of those lines would only slow the test.
    start({{lp::LOOKUP_MASK, "huge", path}, {lp::LOOKUP_MASK, "small", small}}, "LOG_LEVEL_WARNING");
    std::unique_ptr<trawl_client_t> other = daemon->connect();

    const lp::ServerMessage refused = ask_lookup(lp::LOOKUP_MASK, "huge");
    EXPECT_EQ(refused.tag(), lp::ServerMessage::LOOKUP_RESPONSE);
    ASSERT_TRUE(refused.has_error()) << refused.ShortDebugString().substr(0, 200);
    EXPECT_EQ(refused.error().code(), qv::EC_BAD_MESSAGE_SIZE);
    EXPECT_EQ(refused.error().what(), "Invalid IPC message size");
    EXPECT_EQ(refused.data_size(), 0);
    EXPECT_EQ(count_of(log(), "Warning: Client 0x1 "), 1u) << log();
    EXPECT_EQ(count_of(log(), "Invalid IPC message size"), 1u);

    // The same connection and another one go on: the big tag answers checks,
    // the small one lookups.
    EXPECT_TRUE(check(lp::LOOKUP_MASK, "huge", "line-17499-" + std::string(4000, 'X')));
    EXPECT_FALSE(check(lp::LOOKUP_MASK, "huge", "line-17500-" + std::string(4000, 'x')));
    EXPECT_EQ(lookup(lp::LOOKUP_MASK, "small"), std::vector<std::string>{"*.log"});
    const auto answers = other->exchange({check_request(7, lp::LOOKUP_MASK, "small", "a.LOG")}, daemon_timeout);
    ASSERT_EQ(answers.count(7), 1u);
    EXPECT_TRUE(answers.at(7).result());
    EXPECT_FALSE(daemon->pilotd.wait_exit(std::chrono::milliseconds(0)).has_value());
}
