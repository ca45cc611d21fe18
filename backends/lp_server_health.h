// How one server key (a pooled connection's key) has answered lately. After
// a time-out, or a connection that could not be opened, the key is suspect
// until the server answers a request again. While it is suspect one request
// at a time goes to the server, the probe; every other request fails at
// once with the code of the failure. There is no hold-down time: once the
// probe ends, the next request is the next probe. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include <boost/system/error_code.hpp>

class lp_server_health_t {
public:
    // How a request that went to the server ended.
    enum class outcome_t {
        answered,   // the server answered, whatever it said
        timed_out,  // no answer within the bound
        unopened,   // no connection could be opened
        other,      // tells nothing of the server (a local failure)
    };

    // What a request may do: go (probe set when it goes as the probe), or
    // fail at once (refused) with code().
    struct pass_t {
        bool refused = false;
        uint64_t probe = 0;
    };

    pass_t admit();
    // Reports a request that went, with the probe number its pass carried.
    void settle(uint64_t probe, outcome_t outcome, const boost::system::error_code& code);

    bool suspect() const noexcept { return is_suspect; }
    // Whether admit would refuse now.
    bool refusing() const noexcept { return is_suspect && probe_out != 0; }
    // Whether nothing is left to remember: healthy, no probe out.
    bool idle() const noexcept { return !is_suspect && probe_out == 0; }
    const boost::system::error_code& code() const noexcept { return failure; }
    // The Error line's text for a refused request.
    std::string refusal() const;

private:
    bool is_suspect = false;
    bool was_timeout = false;
    boost::system::error_code failure;
    // The probe out, 0 for none. Numbers are unique in the process, so that
    // a probe of a forgotten record never settles a new one's.
    uint64_t probe_out = 0;
};
