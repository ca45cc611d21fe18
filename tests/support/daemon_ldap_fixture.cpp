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

pilotd_standin_options_t ldap_options()
{
    pilotd_standin_options_t options;
    options.env.emplace_back("LDAPNOINIT", "1");
    return options;
}

} // namespace

ldap_fixture_t::ldap_fixture_t() : daemon(std::make_unique<daemon_fixture_t>(ldap_options())) {}

void ldap_fixture_t::TearDown()
{
    if (!started)
        return;
    client.reset();
    daemon->stop();
    const std::string text = log();
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
        EXPECT_EQ(text.find(report), std::string::npos) << text;
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
    daemon->start();
    started = true;
    revision = 1;
    ASSERT_TRUE(daemon->apply(revision, config_text(tags, globals))) << log();
    client = daemon->connect();
}

void ldap_fixture_t::reconfigure(const std::vector<ldap_tag_t>& tags, const std::string& globals)
{
    ++revision;
    ASSERT_TRUE(daemon->push(revision, config_text(tags, globals))) << log();
}

lp::ServerMessage ldap_fixture_t::ask(lp::ClientMessage request)
{
    request.set_serial(++serial);
    const auto responses = client->exchange({request}, 3 * daemon_timeout);
    const auto found = responses.find(serial);
    if (found == responses.end()) {
        ADD_FAILURE() << "no answer to " << request.ShortDebugString() << "\n" << log();
        return lp::ServerMessage();
    }
    return found->second;
}

lp::ServerMessage ldap_fixture_t::ask_lookup(const std::string& tag, const std::string& user,
                                             const std::string& domain)
{
    return ask(lookup_request(0, lookup_type, tag, user, domain));
}

lp::ServerMessage ldap_fixture_t::ask_check(const std::string& tag, const std::string& value,
                                            const std::string& user, const std::string& domain)
{
    return ask(check_request(0, lookup_type, tag, value, user, domain));
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

size_t ldap_fixture_t::log_mark() const
{
    return daemon->pilotd.stderr_text().size();
}

std::string ldap_fixture_t::log_since(size_t mark) const
{
    const std::string text = daemon->pilotd.stderr_text();
    return mark < text.size() ? text.substr(mark) : std::string();
}

std::string ldap_fixture_t::log() const
{
    return daemon->pilotd.stderr_text();
}
