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

std::string lp_cidr_client_t::file_for_tag(const std::string& tag)
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
    if (prefixed_entries[tag].texts.count(value) != 0)
        return true;
    lp_cidr_entry_t address;
    if (!parse_entry(tag, value, address, false))
        return false;
    return networks[tag].contains(address);
}

// network_index_t

namespace {

struct v6_masked_t {
    uint64_t high;
    uint64_t low;
};

// The address with every bit after the first whole_words words and
// rest_bits bits cleared.
v6_masked_t v6_masked(const unsigned char* address, int whole_words, int rest_bits)
{
    unsigned char bytes[16] = {};
    std::memcpy(bytes, address, 4 * static_cast<size_t>(whole_words));
    if (rest_bits != 0) {
        const uint32_t word = word_at(address, whole_words) & leading_bits_mask(rest_bits);
        std::memcpy(bytes + 4 * whole_words, &word, sizeof word);
    }
    v6_masked_t masked;
    std::memcpy(&masked.high, bytes, 8);
    std::memcpy(&masked.low, bytes + 8, 8);
    return masked;
}

uint64_t mix(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

} // namespace

size_t lp_cidr_client_t::network_index_t::v6_key_hash_t::operator()(const v6_key_t& key) const noexcept
{
    return static_cast<size_t>(mix(key.high ^ mix(key.low ^ static_cast<uint64_t>(key.prefix))));
}

void lp_cidr_client_t::network_index_t::add(const lp_cidr_entry_t& entry)
{
    if (entry.family == AF_INET) {
        const uint64_t key = (static_cast<uint64_t>(entry.mask) << 32) |
                             (word_at(entry.address, 0) & entry.mask);
        if (v4.emplace(key, &entry).second &&
            std::find(v4_masks.begin(), v4_masks.end(), entry.mask) == v4_masks.end())
            v4_masks.push_back(entry.mask);
    } else if (entry.family == AF_INET6) {
        const int32_t prefix = entry.whole_words * 32 + entry.rest_bits;
        const v6_masked_t masked = v6_masked(entry.address, entry.whole_words, entry.rest_bits);
        if (v6.emplace(v6_key_t{masked.high, masked.low, prefix}, &entry).second &&
            std::find(v6_prefixes.begin(), v6_prefixes.end(), prefix) == v6_prefixes.end())
            v6_prefixes.push_back(prefix);
    }
}

bool lp_cidr_client_t::network_index_t::contains(const lp_cidr_entry_t& value) const
{
    if (value.family == AF_INET) {
        const uint32_t word = word_at(value.address, 0);
        for (const uint32_t mask : v4_masks) {
            const auto found = v4.find((static_cast<uint64_t>(mask) << 32) | (word & mask));
            if (found != v4.end() && cidr_match(value, *found->second))
                return true;
        }
    } else if (value.family == AF_INET6) {
        for (const int32_t prefix : v6_prefixes) {
            const v6_masked_t masked = v6_masked(value.address, prefix / 32, prefix % 32);
            const auto found = v6.find(v6_key_t{masked.high, masked.low, prefix});
            if (found != v6.end() && cidr_match(value, *found->second))
                return true;
        }
    }
    return false;
}

void lp_cidr_client_t::forget_entries(const std::string& tag)
{
    networks.erase(tag);
    prefixed_entries.erase(tag);
    entries.erase(tag);
}
