// The suspect gate shared by the directory and database pools: one probe at
// a time while suspect, refusals carrying the failure's code, and recovery
// at the first answer.
#include <gtest/gtest.h>

#include "error.pb.h"
#include "cf_errors.h"
#include "lp_suspect_gate.h"

namespace {

using outcome_t = lp_suspect_gate_t::outcome_t;

TEST(SuspectGate, OneProbeAtATimeUntilTheServerAnswers)
{
    lp_suspect_gate_t gate;
    const boost::system::error_code timeout = qv::make_error_code(qv::EC_DB_CONN_CLOSED);
    const boost::system::error_code unopened = qv::make_error_code(qv::EC_DB_OPEN_ERROR);

    // Healthy: every request goes, none as a probe.
    const lp_suspect_gate_t::pass_t first = gate.admit();
    const lp_suspect_gate_t::pass_t second = gate.admit();
    EXPECT_FALSE(first.refused);
    EXPECT_EQ(first.probe, 0u);
    EXPECT_FALSE(second.refused);
    EXPECT_TRUE(gate.idle());

    // A time-out makes it suspect; a later answer of an older request heals it.
    gate.settle(first.probe, outcome_t::timed_out, timeout);
    EXPECT_TRUE(gate.suspect());
    EXPECT_EQ(gate.code(), timeout);
    EXPECT_NE(gate.refusal().find("timed out"), std::string::npos);

    const lp_suspect_gate_t::pass_t probe = gate.admit();
    EXPECT_FALSE(probe.refused);
    EXPECT_NE(probe.probe, 0u);
    const lp_suspect_gate_t::pass_t behind = gate.admit();
    EXPECT_TRUE(behind.refused);
    EXPECT_TRUE(gate.refusing());

    // A local failure of the probe tells nothing: still suspect, next probe.
    gate.settle(probe.probe, outcome_t::other, qv::make_error_code(qv::EC_UNEXPECTED_ERROR));
    EXPECT_TRUE(gate.suspect());
    EXPECT_EQ(gate.code(), timeout);
    const lp_suspect_gate_t::pass_t next = gate.admit();
    EXPECT_NE(next.probe, 0u);
    EXPECT_NE(next.probe, probe.probe);

    // A failed opening keeps it suspect with its own code and text.
    EXPECT_TRUE(gate.refusing());
    gate.settle(next.probe, outcome_t::unopened, unopened);
    EXPECT_FALSE(gate.refusing()) << "no probe out";
    EXPECT_EQ(gate.code(), unopened);
    EXPECT_NE(gate.refusal().find("could be opened"), std::string::npos);

    // A probe of another gate's numbering never releases this one's.
    const lp_suspect_gate_t::pass_t last = gate.admit();
    gate.settle(last.probe + 1000, outcome_t::other, {});
    EXPECT_TRUE(gate.admit().refused);

    gate.settle(second.probe, outcome_t::answered, {});
    EXPECT_FALSE(gate.suspect());
    EXPECT_FALSE(gate.admit().refused);
    // The probe that is still out is released when it ends.
    EXPECT_FALSE(gate.idle());
    gate.settle(last.probe, outcome_t::answered, {});
    EXPECT_TRUE(gate.idle());
}

} // namespace
