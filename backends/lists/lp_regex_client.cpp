#include "lists/lp_regex_client.h"

#include <exception>
#include <memory>

#include "cf_errors.h"
#include "cf_log.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

lp_regex_client_t::lp_regex_client_t(lp_inventory_t& inventory) : lp_file_client_t(inventory) {}

lp_regex_client_t::~lp_regex_client_t() = default;

void lp_regex_client_t::reconfigure()
{
    entries.clear();
    lp_file_client_t::reconfigure();
}

bool lp_regex_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->regex_has_tag(tag);
}

int lp_regex_client_t::lookup_type() const
{
    return lp::LOOKUP_REGEX;
}

const std::string& lp_regex_client_t::file_for_tag(const std::string& tag)
{
    return inventory.settings->regex_file(tag);
}

void lp_regex_client_t::add_entry(const std::string& tag, const std::string& line)
{
    lp_regex_set_t& tag_entries = entries[tag];
    if (tag_entries.has(line))
        return;
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Compiling regexp \"" + cf_log_escape(line) + "\"...");
    std::shared_ptr<boost::u32regex> compiled;
    try {
        compiled = lp_regex_compile(line);
    } catch (const std::exception& e) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Cannot compile regular expression \"" +
                                             cf_log_escape(line) + "\": " + cf_log_escape(exception_text(e)));
        return;
    }
    tag_entries.add(line, std::move(compiled));
}

void lp_regex_client_t::get_entries(const std::string& tag, std::vector<std::string>& out)
{
    entries[tag].texts(out);
}

bool lp_regex_client_t::search_for(const std::string& tag, const std::string& value)
{
    return entries[tag].search(value);
}

void lp_regex_client_t::forget_entries(const std::string& tag)
{
    entries.erase(tag);
}
