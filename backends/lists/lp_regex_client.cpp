#include "lists/lp_regex_client.h"

#include <exception>

#include <boost/regex/pending/unicode_iterator.hpp>

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

std::string lp_regex_client_t::file_for_tag(const std::string& tag)
{
    return inventory.settings->regex_file(tag);
}

void lp_regex_client_t::add_entry(const std::string& tag, const std::string& line)
{
    tag_entries_t& tag_entries = entries[tag];
    if (tag_entries.patterns.count(line) != 0)
        return;
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Compiling regexp \"" + cf_log_escape(line) + "\"...");
    std::shared_ptr<boost::u32regex> compiled;
    try {
        compiled = std::make_shared<boost::u32regex>(boost::make_u32regex(
            line, boost::regex_constants::perl | boost::regex_constants::icase |
                      boost::regex_constants::collate));
    } catch (const std::exception& e) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Cannot compile regular expression \"" +
                                             cf_log_escape(line) + "\": " + cf_log_escape(exception_text(e)));
        return;
    }
    const auto inserted = tag_entries.patterns.emplace(line, std::move(compiled));
    tag_entries.order.emplace_back(&inserted.first->first, inserted.first->second.get());
}

void lp_regex_client_t::get_entries(const std::string& tag, std::vector<std::string>& out)
{
    const tag_entries_t& tag_entries = entries[tag];
    out.reserve(out.size() + tag_entries.order.size());
    for (const auto& pattern : tag_entries.order)
        out.push_back(*pattern.first);
}

bool lp_regex_client_t::search_for(const std::string& tag, const std::string& value)
{
    const tag_entries_t& tag_entries = entries[tag];
    if (tag_entries.order.empty())
        return false;

    // A valid value is decoded once for all patterns.
    using utf8_iterator = boost::u8_to_u32_iterator<std::string::const_iterator, UChar32>;
    try {
        value_chars.assign(utf8_iterator(value.begin(), value.begin(), value.end()),
                           utf8_iterator(value.end(), value.begin(), value.end()));
    } catch (const std::out_of_range&) {
        // Not valid UTF-8: each pattern decodes the value as it searches, so
        // a match before the bad sequence answers, and reaching it throws.
        for (const auto& pattern : tag_entries.order) {
            if (boost::u32regex_search(value, *pattern.second))
                return true;
        }
        return false;
    }
    static const UChar32 no_chars = 0;
    const UChar32* first = value_chars.empty() ? &no_chars : value_chars.data();
    const UChar32* last = first + value_chars.size();
    for (const auto& pattern : tag_entries.order) {
        if (boost::u32regex_search(first, last, match, *pattern.second))
            return true;
    }
    return false;
}

void lp_regex_client_t::forget_entries(const std::string& tag)
{
    entries.erase(tag);
}
