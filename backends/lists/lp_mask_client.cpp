#include "lists/lp_mask_client.h"

#include <fnmatch.h>

#include <cstddef>

#include "cf_log.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

int mask_match(const std::string& mask, const std::string& value)
{
    // fnmatch would see only the text before a NUL.
    if (value.find('\0') != std::string::npos)
        return FNM_NOMATCH;
    return fnmatch(mask.c_str(), value.c_str(), FNM_CASEFOLD);
}

lp_mask_client_t::lp_mask_client_t(lp_inventory_t& inventory) : lp_file_client_t(inventory) {}

lp_mask_client_t::~lp_mask_client_t() = default;

void lp_mask_client_t::reconfigure()
{
    entries.clear();
    lp_file_client_t::reconfigure();
}

bool lp_mask_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->mask_has_tag(tag);
}

int lp_mask_client_t::lookup_type() const
{
    return lp::LOOKUP_MASK;
}

const std::string& lp_mask_client_t::file_for_tag(const std::string& tag)
{
    return inventory.settings->mask_file(tag);
}

void lp_mask_client_t::add_entry(const std::string& tag, const std::string& line)
{
    tag_entries_t& tag_entries = entries[tag];
    const auto inserted = tag_entries.masks.insert(line);
    if (inserted.second)
        tag_entries.order.push_back(&*inserted.first);
}

void lp_mask_client_t::get_entries(const std::string& tag, std::vector<std::string>& out)
{
    const tag_entries_t& tag_entries = entries[tag];
    out.reserve(out.size() + tag_entries.order.size());
    for (const std::string* mask : tag_entries.order)
        out.push_back(*mask);
}

bool lp_mask_client_t::search_for(const std::string& tag, const std::string& value)
{
    tag_entries_t& tag_entries = entries[tag];
    for (size_t i = 0; i < tag_entries.order.size();) {
        const std::string& mask = *tag_entries.order[i];
        const int result = mask_match(mask, value);
        if (result == 0)
            return true;
        if (result == FNM_NOMATCH) {
            ++i;
            continue;
        }
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, log_prefix(tag) + "Invalid mask \"" + cf_log_escape(mask) + "\"");
        tag_entries.order.erase(tag_entries.order.begin() + static_cast<std::ptrdiff_t>(i));
        tag_entries.masks.erase(tag_entries.masks.find(mask));
        entries_changed(tag);
    }
    return false;
}

void lp_mask_client_t::forget_entries(const std::string& tag)
{
    entries.erase(tag);
}
