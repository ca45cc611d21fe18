#include "lp_server_health.h"

namespace {

uint64_t last_probe = 0;

} // namespace

lp_server_health_t::pass_t lp_server_health_t::admit()
{
    pass_t pass;
    if (!is_suspect)
        return pass;
    if (probe_out != 0) {
        pass.refused = true;
        return pass;
    }
    probe_out = pass.probe = ++last_probe;
    return pass;
}

void lp_server_health_t::settle(uint64_t probe, outcome_t outcome, const boost::system::error_code& code)
{
    if (probe != 0 && probe == probe_out)
        probe_out = 0;
    switch (outcome) {
    case outcome_t::answered:
        is_suspect = false;
        failure.clear();
        break;
    case outcome_t::timed_out:
    case outcome_t::unopened:
        is_suspect = true;
        was_timeout = outcome == outcome_t::timed_out;
        failure = code;
        break;
    case outcome_t::other:
        break;
    }
}

std::string lp_server_health_t::refusal() const
{
    return was_timeout ? "Not sent: the server timed out, and another request is probing it"
                       : "Not sent: no connection to the server could be opened, and another request is probing it";
}
