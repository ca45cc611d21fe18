// A daemon serving LDAP tags (under the PilotD stand-in, LDAPNOINIT set so
// the machine's ldap.conf plays no part), with one connected client.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_exchange.h"
#include "support/daemon_fixture.h"

struct ldap_tag_t {
    ldap_tag_t(std::string tag, std::string url, std::string bind_dn = "", std::string bind_password = "",
               bool chase_referrals = false)
        : tag(std::move(tag)), url(std::move(url)), bind_dn(std::move(bind_dn)),
          bind_password(std::move(bind_password)), chase_referrals(chase_referrals)
    {
    }

    std::string tag;
    std::string url;
    std::string bind_dn;
    std::string bind_password;
    bool chase_referrals = false;
};

// The ldap section of a configuration text.
std::string ldap_section_text(const std::vector<ldap_tag_t>& tags);

class ldap_fixture_t : public daemon_session_t {
protected:
    // LDAPNOINIT is added to the options' environment.
    explicit ldap_fixture_t(pilotd_standin_options_t options = {});

    // Starts the daemon with the tags and further global fields, and
    // connects `client`.
    void start(const std::vector<ldap_tag_t>& tags, const std::string& globals = "");
    // Applies a new configuration with the next revision.
    void reconfigure(const std::vector<ldap_tag_t>& tags, const std::string& globals = "");
    std::string config_text(const std::vector<ldap_tag_t>& tags, const std::string& globals) const;

    // Requests of lookup_type, answered within three times the usual time.
    lp::ServerMessage ask_lookup(const std::string& tag, const std::string& user = "",
                                 const std::string& domain = "");
    lp::ServerMessage ask_check(const std::string& tag, const std::string& value, const std::string& user = "",
                                const std::string& domain = "");
    // Successful answers; an error fails the test.
    std::vector<std::string> lookup(const std::string& tag, const std::string& user = "",
                                    const std::string& domain = "");
    bool check(const std::string& tag, const std::string& value, const std::string& user = "",
               const std::string& domain = "");

    // A server that hangs: pause() stops it (it accepts connections but
    // answers nothing), resume() lets it run again. With a pooled connection
    // for the tag, 600 of its lookups are sent in one write: every one fails
    // with "Timed out" within two time limits (the first ones together on the
    // pooled connection; then one probe on a new connection while the others
    // fail at once with the refusal's Error line), and an allmatch check of
    // `list_tag` (which must hold GREEN) on another connection is answered at
    // once meanwhile. The next lookup probes again; the one behind it fails
    // at once; after resume() the probe and the next lookup answer `answer`.
    void expect_hung_server_probed(const std::string& tag, const std::string& user,
                                   const std::vector<std::string>& answer, const std::string& list_tag,
                                   const std::function<void()>& pause, const std::function<void()>& resume);

    std::string log_level = "LOG_LEVEL_DEBUG";  // of the next configuration
    lp::LookupType lookup_type = lp::LOOKUP_LDAP;  // of the requests ask_lookup and ask_check send
};

// The code and text of an answer's error ("" when it has none).
std::string error_of(const lp::ServerMessage& response);
