#include "support/daemon_lists_fixture.h"
#include "support/daemon_exchange.h"

#include <sstream>
#include <utility>

namespace {

const char* section_name(lp::LookupType type)
{
    switch (type) {
    case lp::LOOKUP_ALLMATCH:
        return "allmatch";
    case lp::LOOKUP_REGEX:
        return "regex";
    case lp::LOOKUP_CIDR:
        return "cidr";
    case lp::LOOKUP_MASK:
        return "mask";
    default:
        throw std::invalid_argument("not a list type");
    }
}


} // namespace

std::string list_sections_text(const std::vector<list_tag_t>& tags)
{
    std::ostringstream text;
    for (const lp::LookupType type :
         {lp::LOOKUP_ALLMATCH, lp::LOOKUP_REGEX, lp::LOOKUP_CIDR, lp::LOOKUP_MASK}) {
        std::string items;
        for (const list_tag_t& tag : tags) {
            if (tag.type != type)
                continue;
            items += "  item { tag: " + config_literal(tag.tag);
            if (tag.file)
                items += " file: " + config_literal(*tag.file);
            items += " }\n";
        }
        if (!items.empty())
            text << section_name(type) << " {\n" << items << "}\n";
    }
    return text.str();
}

std::string lists_fixture_t::config_text(const std::vector<list_tag_t>& tags,
                                         const std::string& log_level) const
{
    return "run_as_user { uid: 0 }\n"
           "socket_path: " + config_literal(daemon->socket_path) + "\n"
           "log_level: " + log_level + "\n"
           "actual_log { type: STDERR }\n" + list_sections_text(tags);
}

namespace {

pilotd_standin_options_t utf8_options()
{
    pilotd_standin_options_t options;
    // Upper-casing of exact values follows the locale.
    options.env.emplace_back("LC_ALL", "C.UTF-8");
    return options;
}

} // namespace

lists_fixture_t::lists_fixture_t() : daemon(std::make_unique<daemon_fixture_t>(utf8_options())) {}

void lists_fixture_t::TearDown()
{
    if (!started)
        return;
    client.reset();
    daemon->stop();
    const std::string text = log();
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"})
        EXPECT_EQ(text.find(report), std::string::npos) << text;
}

void lists_fixture_t::start(const std::vector<list_tag_t>& tags, const std::string& log_level)
{
    daemon->start();
    started = true;
    revision = 1;
    ASSERT_TRUE(daemon->apply(revision, config_text(tags, log_level))) << daemon->pilotd.stderr_text();
    client = daemon->connect();
}

void lists_fixture_t::reconfigure(const std::vector<list_tag_t>& tags, const std::string& log_level)
{
    ++revision;
    ASSERT_TRUE(daemon->pilotd.send_config(revision, parse_config_text(config_text(tags, log_level))));
    for (;;) {
        const auto info = daemon->pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, daemon_timeout);
        ASSERT_TRUE(info.has_value()) << daemon->pilotd.stderr_text();
        if (info->config_revision() == revision)
            break;
    }
}

lp::ServerMessage lists_fixture_t::ask(lp::ClientMessage request)
{
    return ask_daemon(*daemon, *client, serial, std::move(request), daemon_timeout);
}

lp::ServerMessage lists_fixture_t::ask_lookup(lp::LookupType type, const std::string& tag)
{
    return ask(lookup_request(0, type, tag));
}

lp::ServerMessage lists_fixture_t::ask_check(lp::LookupType type, const std::string& tag,
                                             const std::string& value)
{
    return ask(check_request(0, type, tag, value));
}

std::vector<std::string> lists_fixture_t::lookup(lp::LookupType type, const std::string& tag)
{
    const lp::ServerMessage response = ask_lookup(type, tag);
    return lookup_values(response, tag);
}

bool lists_fixture_t::check(lp::LookupType type, const std::string& tag, const std::string& value)
{
    const lp::ServerMessage response = ask_check(type, tag, value);
    return check_result(response, tag, value);
}

size_t lists_fixture_t::log_mark() const
{
    return daemon->pilotd.stderr_text().size();
}

std::string lists_fixture_t::log_since(size_t mark) const
{
    return daemon_log_since(*daemon, mark);
}

std::string lists_fixture_t::log() const
{
    return daemon->pilotd.stderr_text();
}

std::string lists_fixture_t::write_file(const std::string& name, const std::string& content) const
{
    return daemon->dir.write(name, content);
}
