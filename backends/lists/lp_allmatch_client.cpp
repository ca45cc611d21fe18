#include "lists/lp_allmatch_client.h"

#include <locale>

#include <boost/locale/conversion.hpp>

#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

// Upper case by the global locale's converter (set from the environment).
std::string upper_case(const std::string& text)
{
    return boost::locale::to_upper(text, std::locale());
}

} // namespace

lp_allmatch_client_t::lp_allmatch_client_t(lp_inventory_t& inventory) : lp_file_client_t(inventory) {}

lp_allmatch_client_t::~lp_allmatch_client_t() = default;

void lp_allmatch_client_t::reconfigure()
{
    entries.clear();
    lp_file_client_t::reconfigure();
}

bool lp_allmatch_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->allmatch_has_tag(tag);
}

int lp_allmatch_client_t::lookup_type() const
{
    return lp::LOOKUP_ALLMATCH;
}

const std::string& lp_allmatch_client_t::file_for_tag(const std::string& tag)
{
    return inventory.settings->allmatch_file(tag);
}

void lp_allmatch_client_t::add_entry(const std::string& tag, const std::string& line)
{
    tag_entries_t& tag_entries = entries[tag];
    if (tag_entries.values.count(line) != 0)
        return;
    const auto inserted = tag_entries.values.emplace(upper_case(line), line);
    if (inserted.second)
        tag_entries.order.push_back(&inserted.first->second);
    else
        inserted.first->second = line;
}

void lp_allmatch_client_t::get_entries(const std::string& tag, std::vector<std::string>& out)
{
    const tag_entries_t& tag_entries = entries[tag];
    out.reserve(out.size() + tag_entries.order.size());
    for (const std::string* value : tag_entries.order)
        out.push_back(*value);
}

bool lp_allmatch_client_t::search_for(const std::string& tag, const std::string& value)
{
    const tag_entries_t& tag_entries = entries[tag];
    return tag_entries.values.count(upper_case(value)) != 0;
}

void lp_allmatch_client_t::forget_entries(const std::string& tag)
{
    entries.erase(tag);
}
