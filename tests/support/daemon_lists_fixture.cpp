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

pilotd_standin_options_t locale_options(const std::string& locale)
{
    pilotd_standin_options_t options;
    // Case folding of exact values and masks follows the locale.
    options.env.emplace_back("LC_ALL", locale);
    return options;
}

} // namespace

lists_fixture_t::lists_fixture_t(const std::string& locale) : daemon_session_t(locale_options(locale)) {}

void lists_fixture_t::start(const std::vector<list_tag_t>& tags, const std::string& log_level)
{
    start_text(config_text(tags, log_level));
}

void lists_fixture_t::reconfigure(const std::vector<list_tag_t>& tags, const std::string& log_level)
{
    reconfigure_text(config_text(tags, log_level));
}

std::string lists_fixture_t::write_file(const std::string& name, const std::string& content) const
{
    return daemon->dir.write(name, content);
}
