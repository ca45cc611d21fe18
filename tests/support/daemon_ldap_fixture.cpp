#include "support/daemon_ldap_fixture.h"

std::string ldap_section_text(const std::vector<ldap_tag_t>& tags)
{
    if (tags.empty())
        return "";
    std::string text = "ldap {\n";
    for (const ldap_tag_t& t : tags) {
        text += "  item { tag: " + config_literal(t.tag) + " url: " + config_literal(t.url);
        if (!t.bind_dn.empty())
            text += " bind_dn: " + config_literal(t.bind_dn);
        if (!t.bind_password.empty())
            text += " bind_password: " + config_literal(t.bind_password);
        text += std::string(" chase_referrals: ") + (t.chase_referrals ? "true" : "false") + " }\n";
    }
    return text + "}\n";
}

std::string error_of(const lp::ServerMessage& response)
{
    if (!response.has_error())
        return "";
    return std::to_string(response.error().code()) + " " + response.error().what();
}

namespace {

pilotd_standin_options_t ldap_options(pilotd_standin_options_t options)
{
    options.env.emplace_back("LDAPNOINIT", "1");
    return options;
}

} // namespace

ldap_fixture_t::ldap_fixture_t(pilotd_standin_options_t options)
    : daemon_session_t(ldap_options(std::move(options)))
{
}

std::string ldap_fixture_t::config_text(const std::vector<ldap_tag_t>& tags, const std::string& globals) const
{
    return "run_as_user { uid: 0 }\n"
           "socket_path: " + config_literal(daemon->socket_path) + "\n"
           "log_level: " + log_level + "\n"
           "actual_log { type: STDERR }\n" + globals + "\n" + ldap_section_text(tags);
}

void ldap_fixture_t::start(const std::vector<ldap_tag_t>& tags, const std::string& globals)
{
    start_text(config_text(tags, globals));
}

void ldap_fixture_t::reconfigure(const std::vector<ldap_tag_t>& tags, const std::string& globals)
{
    reconfigure_text(config_text(tags, globals));
}

lp::ServerMessage ldap_fixture_t::ask_lookup(const std::string& tag, const std::string& user,
                                             const std::string& domain)
{
    return ask(lookup_request(0, lookup_type, tag, user, domain), 3 * daemon_timeout);
}

lp::ServerMessage ldap_fixture_t::ask_check(const std::string& tag, const std::string& value,
                                            const std::string& user, const std::string& domain)
{
    return ask(check_request(0, lookup_type, tag, value, user, domain), 3 * daemon_timeout);
}

std::vector<std::string> ldap_fixture_t::lookup(const std::string& tag, const std::string& user,
                                                const std::string& domain)
{
    const lp::ServerMessage response = ask_lookup(tag, user, domain);
    EXPECT_FALSE(response.has_error()) << tag << ": " << response.ShortDebugString() << "\n" << log();
    return data_of(response);
}

bool ldap_fixture_t::check(const std::string& tag, const std::string& value, const std::string& user,
                           const std::string& domain)
{
    const lp::ServerMessage response = ask_check(tag, value, user, domain);
    EXPECT_FALSE(response.has_error()) << tag << ": " << response.ShortDebugString();
    return response.result();
}
