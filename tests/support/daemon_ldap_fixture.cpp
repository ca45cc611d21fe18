#include "support/daemon_ldap_fixture.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <set>

#include "trawld_client_ipc.pb.h"

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

void ldap_fixture_t::expect_hung_server_probed(const std::string& tag, const std::string& user,
                                               const std::vector<std::string>& answer, const std::string& list_tag,
                                               const std::function<void()>& pause,
                                               const std::function<void()>& resume)
{
    using clock_type = std::chrono::steady_clock;
    const auto ms = [](clock_type::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    ASSERT_EQ(lookup(tag, user), answer);
    const size_t opened = count_of(log(), ": init: ");
    const std::unique_ptr<trawl_client_t> lists = daemon->connect();
    uint32_t list_serial = 0;
    const auto list_answered_at_once = [&] {
        const auto asked = clock_type::now();
        EXPECT_TRUE(lists->send_check(++list_serial, lp::LOOKUP_ALLMATCH, list_tag, "GREEN"));
        const std::optional<lp::ServerMessage> checked = lists->receive(daemon_timeout);
        EXPECT_TRUE(checked && checked->result()) << log();
        EXPECT_LT(clock_type::now() - asked, std::chrono::seconds(2));
    };

    pause();
    constexpr uint32_t total = 600;
    constexpr uint32_t base = 1000;
    std::string frames;
    for (uint32_t i = 0; i < total; ++i)
        frames += frame_of(lookup_request(base + i, lookup_type, tag, user));
    const auto sent = clock_type::now();
    ASSERT_TRUE(client->send_raw(frames));
    list_answered_at_once();
    std::set<uint32_t> answered;
    clock_type::duration first{}, last{};
    while (answered.size() < total) {
        const std::optional<lp::ServerMessage> response = client->receive(std::chrono::seconds(30));
        ASSERT_TRUE(response) << answered.size() << " answers\n" << log();
        EXPECT_EQ(error_of(*response), "125 Timed out");
        EXPECT_TRUE(answered.insert(response->serial()).second) << "answered twice: " << response->serial();
        last = clock_type::now() - sent;
        if (answered.size() == 1) {
            first = last;
            list_answered_at_once();
        }
    }
    std::cout << total << " pipelined lookups: first answer after " << ms(first) << " ms, last after " << ms(last)
              << " ms\n";
    EXPECT_EQ(*answered.begin(), base);
    EXPECT_EQ(*answered.rbegin(), base + total - 1);
    EXPECT_GE(first, std::chrono::seconds(9));
    EXPECT_LE(first, std::chrono::seconds(15));
    EXPECT_LE(last, std::chrono::seconds(25));
    const std::string refusal = "Error: Datasource [" + tag + "." + lookup_type_text(lookup_type) +
                                "]: Not sent: the server timed out, and another request is probing it\n";
    const std::string text = log();
    const size_t refused = count_of(text, refusal);
    const size_t queued = count_of(text, "do_search: not sent, the connection failed: Timed out\n");
    // The search that timed out, those queued behind it on the pooled
    // connection, one probe, and the refused: only the probe opened one.
    EXPECT_EQ(count_of(text, ": init: "), opened + 1) << text;
    EXPECT_EQ(1 + queued + 1 + refused, total) << queued << " queued, " << refused << " refused";
    // The daemon reads at most 128 requests of a client ahead of its answers.
    EXPECT_GE(refused, total - 130);

    // The probe failed: the next lookup probes again, on a new connection,
    // and one sent behind it fails at once.
    ASSERT_TRUE(client->send_lookup(base + total, lookup_type, tag, user));
    ASSERT_TRUE(wait_for_log_count(": init: ", opened + 2)) << log();
    const auto behind = clock_type::now();
    ASSERT_TRUE(client->send_lookup(base + total + 1, lookup_type, tag, user));
    std::optional<lp::ServerMessage> response = client->receive(daemon_timeout);
    ASSERT_TRUE(response && response->serial() == base + total + 1) << log();
    EXPECT_EQ(error_of(*response), "125 Timed out");
    EXPECT_LT(clock_type::now() - behind, std::chrono::seconds(2));
    EXPECT_EQ(count_of(log(), refusal), refused + 1);

    // The server runs again: the probe out succeeds at once, and so does the
    // next lookup, on the connection the probe bound.
    resume();
    const auto resumed = clock_type::now();
    response = client->receive(daemon_timeout);
    ASSERT_TRUE(response && response->serial() == base + total) << log();
    EXPECT_EQ(data_of(*response), answer) << error_of(*response);
    const auto recovered = clock_type::now() - resumed;
    std::cout << "after resuming, the outstanding probe answered in " << ms(recovered) << " ms\n";
    EXPECT_LT(recovered, std::chrono::seconds(5));
    EXPECT_EQ(lookup(tag, user), answer);
    EXPECT_EQ(count_of(log(), ": init: "), opened + 2);
}
