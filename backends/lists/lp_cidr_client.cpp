#include "lists/lp_cidr_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cf_log.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

uint32_t word_at(const unsigned char* address, int index)
{
    uint32_t word;
    std::memcpy(&word, address + 4 * index, sizeof word);
    return word;
}

// The mask of the first `bits` bits of a word (1 to 32), in network byte order.
uint32_t leading_bits_mask(int bits)
{
    return htonl(0xffffffffu << (32 - bits));
}

} // namespace

bool cidr_match(const lp_cidr_entry_t& value, const lp_cidr_entry_t& entry)
{
    if (value.family != entry.family)
        return false;
    if (entry.family == AF_INET)
        return ((word_at(entry.address, 0) ^ word_at(value.address, 0)) & entry.mask) == 0;
    if (entry.family != AF_INET6)
        return false;
    // Never compare beyond the 16 address bytes.
    if (entry.whole_words < 0 || entry.whole_words > 4 ||
        (entry.whole_words == 4 && entry.rest_bits != 0))
        return false;
    if (std::memcmp(entry.address, value.address, 4 * static_cast<size_t>(entry.whole_words)) != 0)
        return false;
    if (entry.rest_bits == 0)
        return true;
    return ((word_at(entry.address, entry.whole_words) ^ word_at(value.address, entry.whole_words)) &
            entry.mask) == 0;
}

lp_cidr_client_t::lp_cidr_client_t(lp_inventory_t& inventory) : lp_file_client_t(inventory) {}

lp_cidr_client_t::~lp_cidr_client_t() = default;

void lp_cidr_client_t::reconfigure()
{
    networks.clear();
    prefixed_entries.clear();
    entries.clear();
    lp_file_client_t::reconfigure();
}

bool lp_cidr_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->cidr_has_tag(tag);
}

int lp_cidr_client_t::lookup_type() const
{
    return lp::LOOKUP_CIDR;
}

const std::string& lp_cidr_client_t::file_for_tag(const std::string& tag)
{
    return inventory.settings->cidr_file(tag);
}

bool lp_cidr_client_t::parse_cidr(const std::string& tag, const std::string& text, lp_cidr_entry_t& entry)
{
    entry = lp_cidr_entry_t();
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    const bool ipv6 = address.find(':') != std::string::npos;

    // Read as atoi does; strtol saturates instead of overflowing. A "/"
    // without digits after it is no prefix of 0: "2001:db8::/" would match
    // every IPv6 address.
    long prefix = ipv6 ? 128 : 0;
    bool no_digits = false;
    if (slash != std::string::npos) {
        const char* start = text.c_str() + slash + 1;
        char* end = nullptr;
        prefix = std::strtol(start, &end, 10);
        if (prefix < 0)
            return false;
        no_digits = end == start;
    }
    // A NUL would end the text early for inet_pton.
    const bool has_nul = address.find('\0') != std::string::npos;

    const int family = ipv6 ? AF_INET6 : AF_INET;
    const char* family_name = ipv6 ? "IPv6" : "IPv4";
    const int result = has_nul ? 0 : inet_pton(family, address.c_str(), entry.address);
    if (result < 0) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Invalid " + family_name +
                                             " address family: \"" + cf_log_escape(text) + "\"");
        return false;
    }
    // A prefix beyond the address width, or none after the "/", is no network.
    if (result == 0 || no_digits || prefix > (ipv6 ? 128 : 32)) {
        entry = lp_cidr_entry_t();
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Invalid " + family_name + " address: \"" +
                                             cf_log_escape(text) + "\"");
        return false;
    }

    const int bits = static_cast<int>(prefix);
    if (ipv6) {
        entry.whole_words = bits / 32;
        entry.rest_bits = bits % 32;
        if (entry.rest_bits != 0)
            entry.mask = leading_bits_mask(entry.rest_bits);
    } else if (bits != 0) {
        // An IPv4 prefix of 0 keeps the host mask: an exact match.
        entry.mask = leading_bits_mask(bits);
    }
    entry.family = family;
    return true;
}

bool lp_cidr_client_t::parse_entry(const std::string& tag, const std::string& text, lp_cidr_entry_t& entry,
                                   bool remember)
{
    if (!parse_cidr(tag, text, entry))
        return false;
    if (remember && text.find('/') != std::string::npos) {
        prefixed_t& prefixed = prefixed_entries[tag];
        const auto inserted = prefixed.texts.insert(text);
        if (inserted.second)
            prefixed.order.push_back(&*inserted.first);
    }
    return true;
}

void lp_cidr_client_t::add_entry(const std::string& tag, const std::string& line)
{
    auto& tag_entries = entries[tag];
    if (prefixed_entries[tag].texts.count(line) != 0 || tag_entries.count(line) != 0)
        return;
    lp_cidr_entry_t& entry = tag_entries[line];
    if (parse_entry(tag, line, entry, true))
        networks[tag].add(entry);
}

void lp_cidr_client_t::get_entries(const std::string& tag, std::vector<std::string>& out)
{
    const prefixed_t& prefixed = prefixed_entries[tag];
    out.reserve(out.size() + prefixed.order.size());
    for (const std::string* text : prefixed.order)
        out.push_back(*text);
}

bool lp_cidr_client_t::search_for(const std::string& tag, const std::string& value)
{
    // Only a text holding "/" can be one of the network lines.
    if (value.find('/') != std::string::npos && prefixed_entries[tag].texts.count(value) != 0)
        return true;
    lp_cidr_entry_t address;
    if (!parse_entry(tag, value, address, false))
        return false;
    return networks[tag].contains(address);
}

// lp_cidr_intervals_t

template <typename address_t>
void lp_cidr_intervals_t<address_t>::add(address_t low, address_t high)
{
    if (is_built) {
        // Merged intervals go back into the list to merge anew.
        added.reserve(lows.size() + 1);
        for (size_t i = 0; i < lows.size(); ++i)
            added.emplace_back(lows[i], highs[i]);
        lows.clear();
        highs.clear();
        block_first.clear();
        is_built = false;
    }
    added.emplace_back(low, high);
}

template <typename address_t>
size_t lp_cidr_intervals_t<address_t>::block_of(address_t key) const
{
    if (block_bits == 0)
        return 0;
    return static_cast<size_t>(static_cast<address_t>(key << common_bits) >> (width - block_bits));
}

template <typename address_t>
void lp_cidr_intervals_t<address_t>::build()
{
    is_built = true;
    std::sort(added.begin(), added.end());
    for (const auto& interval : added) {
        // Overlapping or adjacent intervals merge.
        if (!highs.empty() && (highs.back() == static_cast<address_t>(~address_t(0)) || interval.first <= highs.back() + 1)) {
            highs.back() = std::max(highs.back(), interval.second);
            continue;
        }
        lows.push_back(interval.first);
        highs.push_back(interval.second);
    }
    std::vector<std::pair<address_t, address_t>>().swap(added);
    lows.shrink_to_fit();
    highs.shrink_to_fit();
    if (lows.empty())
        return;

    // Index on the bits after the prefix that the whole range shares, with
    // about two blocks per interval and at most 2^16.
    const address_t spread = lows.front() ^ highs.back();
    common_bits = 0;
    block_bits = 0;
    if (spread != 0) {
        while (!(spread & (address_t(1) << (width - 1 - common_bits))))
            ++common_bits;
        unsigned wanted = 1;
        while (wanted < 16 && (size_t(1) << wanted) < 2 * lows.size())
            ++wanted;
        block_bits = std::min(wanted, width - common_bits);
    }
    const size_t blocks = size_t(1) << block_bits;
    const unsigned low_bits = width - common_bits - block_bits;
    const address_t base = common_bits == 0 ? address_t(0)
                                        : static_cast<address_t>((lows.front() >> (width - common_bits)) << (width - common_bits));
    block_first.assign(blocks + 1, static_cast<uint32_t>(lows.size()));
    size_t next = 0;
    for (size_t block = 0; block < blocks; ++block) {
        const address_t start = static_cast<address_t>(base | (low_bits >= width ? address_t(0) : address_t(block) << low_bits));
        while (next < highs.size() && highs[next] < start)
            ++next;
        block_first[block] = static_cast<uint32_t>(next);
    }
}

template <typename address_t>
bool lp_cidr_intervals_t<address_t>::contains(address_t key) const
{
    if (lows.empty() || key < lows.front() || key > highs.back())
        return false;
    const size_t block = block_of(key);
    // The first interval ending at or after key is one of those ending in
    // this block, or else the first one ending in a later block.
    const auto found = std::lower_bound(highs.begin() + block_first[block], highs.begin() + block_first[block + 1], key);
    return found != highs.end() && lows[static_cast<size_t>(found - highs.begin())] <= key;
}

template class lp_cidr_intervals_t<uint32_t>;
template class lp_cidr_intervals_t<unsigned __int128>;

// lp_cidr_networks_t

namespace {

unsigned __int128 v6_key(const unsigned char* address)
{
    unsigned __int128 key = 0;
    for (int i = 0; i < 16; ++i)
        key = (key << 8) | address[i];
    return key;
}

} // namespace

void lp_cidr_networks_t::add(const lp_cidr_entry_t& entry)
{
    if (entry.family == AF_INET) {
        const uint32_t mask = ntohl(entry.mask);
        const uint32_t address = ntohl(word_at(entry.address, 0));
        v4.add(address & mask, address | ~mask);
    } else if (entry.family == AF_INET6) {
        // Never more than the 16 address bytes, as cidr_match.
        if (entry.whole_words < 0 || entry.whole_words > 4 || entry.rest_bits < 0 || entry.rest_bits > 31 ||
            (entry.whole_words == 4 && entry.rest_bits != 0))
            return;
        const int prefix = entry.whole_words * 32 + entry.rest_bits;
        const unsigned __int128 host_bits =
            prefix == 0 ? ~static_cast<unsigned __int128>(0) : (static_cast<unsigned __int128>(1) << (128 - prefix)) - 1;
        const unsigned __int128 address = v6_key(entry.address);
        v6.add(address & ~host_bits, address | host_bits);
    }
}

bool lp_cidr_networks_t::contains(const lp_cidr_entry_t& value)
{
    if (value.family == AF_INET) {
        if (!v4.built())
            v4.build();
        return v4.contains(ntohl(word_at(value.address, 0)));
    }
    if (value.family == AF_INET6) {
        if (!v6.built())
            v6.build();
        return v6.contains(v6_key(value.address));
    }
    return false;
}

void lp_cidr_client_t::forget_entries(const std::string& tag)
{
    networks.erase(tag);
    prefixed_entries.erase(tag);
    entries.erase(tag);
}
