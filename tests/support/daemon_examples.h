// The example configurations of examples/, made fit for a test's daemon:
// loaded as velbo-pilotd loads them, their hosts, ports and paths rewritten
// to the test's own servers and files.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "support/daemon_exchange.h"
#include "trawld_config.pb.h"

class example_config_t {
public:
    // examples/<name> of the source tree; throws when it does not parse.
    explicit example_config_t(const std::string& name);

    // Replaces `from` by `to` in every string of the configuration. A text
    // the example does not hold fails the test: the rewrite would silently
    // leave the example's own server in place.
    void rewrite(const std::string& from, const std::string& to);

    // The configuration for the daemon of `fixture`: the example's with the
    // fixture's socket, run as root (the example's user need not exist
    // here) and a Debug log on standard error.
    std::string text_for(const daemon_fixture_t& fixture) const;

    const std::string name;
    qv::TrawlDConfig config;
};

// A daemon with LDAPNOINIT set (libldap ignores the machine's ldap.conf),
// started with an example.
class example_session_t : public daemon_session_t {
protected:
    example_session_t();
    void start_example(const example_config_t& example);
    // Applies the example as the next revision.
    void reconfigure_example(const example_config_t& example);
};
