// The health record shared by the directory and database pools: one probe at
// a time while suspect, refusals carrying the failure's code, and recovery
// at the first answer.
#include <gtest/gtest.h>

#include "error.pb.h"
#include "cf_errors.h"
#include "lp_server_health.h"

namespace {

using outcome_t = lp_server_health_t::outcome_t;

TEST(ServerHealth, OneProbeAtATimeUntilTheServerAnswers)
{
    lp_server_health_t health;
    const boost::system::error_code timeout = qv::make_error_code(qv::EC_DB_CONN_CLOSED);
    const boost::system::error_code unopened = qv::make_error_code(qv::EC_DB_OPEN_ERROR);

    // Healthy: every request goes, none as a probe.
    const lp_server_health_t::pass_t first = health.admit();
    const lp_server_health_t::pass_t second = health.admit();
    EXPECT_FALSE(first.refused);
    EXPECT_EQ(first.probe, 0u);
    EXPECT_FALSE(second.refused);
    EXPECT_TRUE(health.idle());

    // A time-out makes it suspect; a later answer of an older request heals it.
    health.settle(first.probe, outcome_t::timed_out, timeout);
    EXPECT_TRUE(health.suspect());
    EXPECT_EQ(health.code(), timeout);
    EXPECT_NE(health.refusal().find("timed out"), std::string::npos);

    const lp_server_health_t::pass_t probe = health.admit();
    EXPECT_FALSE(probe.refused);
    EXPECT_NE(probe.probe, 0u);
    const lp_server_health_t::pass_t behind = health.admit();
    EXPECT_TRUE(behind.refused);
    EXPECT_TRUE(health.refusing());

    // A local failure of the probe tells nothing: still suspect, next probe.
    health.settle(probe.probe, outcome_t::other, qv::make_error_code(qv::EC_UNEXPECTED_ERROR));
    EXPECT_TRUE(health.suspect());
    EXPECT_EQ(health.code(), timeout);
    const lp_server_health_t::pass_t next = health.admit();
    EXPECT_NE(next.probe, 0u);
    EXPECT_NE(next.probe, probe.probe);

    // A failed opening keeps it suspect with its own code and text.
    EXPECT_TRUE(health.refusing());
    health.settle(next.probe, outcome_t::unopened, unopened);
    EXPECT_FALSE(health.refusing()) << "no probe out";
    EXPECT_EQ(health.code(), unopened);
    EXPECT_NE(health.refusal().find("could be opened"), std::string::npos);

    // A probe of another health's numbering never releases this one's.
    const lp_server_health_t::pass_t last = health.admit();
    health.settle(last.probe + 1000, outcome_t::other, {});
    EXPECT_TRUE(health.admit().refused);

    health.settle(second.probe, outcome_t::answered, {});
    EXPECT_FALSE(health.suspect());
    EXPECT_FALSE(health.admit().refused);
    // The probe that is still out is released when it ends.
    EXPECT_FALSE(health.idle());
    health.settle(last.probe, outcome_t::answered, {});
    EXPECT_TRUE(health.idle());
}

} // namespace
