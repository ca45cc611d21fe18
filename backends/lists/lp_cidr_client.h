// IPv4 and IPv6 networks in CIDR notation: a check value is found when the
// address lies in one of the tag's networks, or is written exactly as one of
// its network lines.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lists/lp_file_client.h"

// One parsed address or network.
struct lp_cidr_entry_t {
    int32_t family = -1;          // -1 (not parsed), AF_INET or AF_INET6
    uint32_t mask = 0xffffffffu;  // network byte order; IPv6: the partial word's mask
    unsigned char address[16] = {};
    int32_t rest_bits = 0;        // IPv6: prefix length % 32
    int32_t whole_words = 0;      // IPv6: prefix length / 32
};

// Whether the address of `value` lies in the network `entry`.
bool cidr_match(const lp_cidr_entry_t& value, const lp_cidr_entry_t& entry);

// Sorted disjoint address intervals with a table of 2^bits blocks on the
// bits that follow the prefix all intervals share: a look-up reads one table
// slot and searches the few intervals that end in that block.
template <typename address_t>
class lp_cidr_intervals_t {
public:
    void add(address_t low, address_t high);
    // Merges what was added and builds the table.
    void build();
    bool contains(address_t address) const;
    bool built() const { return is_built; }

private:
    static constexpr unsigned width = sizeof(address_t) * 8;

    size_t block_of(address_t key) const;

    std::vector<std::pair<address_t, address_t>> added;
    std::vector<address_t> lows;
    std::vector<address_t> highs;
    // block_first[b]: the first interval whose high end lies in block b or
    // later; one more slot than there are blocks.
    std::vector<uint32_t> block_first;
    unsigned common_bits = 0;  // leading bits shared by the whole range
    unsigned block_bits = 0;
    bool is_built = true;
};

// The networks of one tag, answering as cidr_match over all of them would.
class lp_cidr_networks_t {
public:
    void add(const lp_cidr_entry_t& entry);
    // Builds the look-up tables on the first call after an add.
    bool contains(const lp_cidr_entry_t& value);

private:
    lp_cidr_intervals_t<uint32_t> v4;
    lp_cidr_intervals_t<unsigned __int128> v6;
};

class lp_cidr_client_t : public lp_file_client_t {
public:
    explicit lp_cidr_client_t(lp_inventory_t& inventory);
    ~lp_cidr_client_t() override;

    void reconfigure() override;
    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;

    // Parses an address with an optional "/" and prefix length; logs an
    // Error for a text that is not one.
    bool parse_cidr(const std::string& tag, const std::string& text, lp_cidr_entry_t& entry);
    // parse_cidr and, with remember, records a parsed text holding "/".
    bool parse_entry(const std::string& tag, const std::string& text, lp_cidr_entry_t& entry,
                     bool remember);

protected:
    const std::string& file_for_tag(const std::string& tag) override;
    void add_entry(const std::string& tag, const std::string& line) override;
    // The parsed lines holding "/", in file order.
    void get_entries(const std::string& tag, std::vector<std::string>& out) override;
    bool search_for(const std::string& tag, const std::string& value) override;
    void forget_entries(const std::string& tag) override;

private:
    struct prefixed_t {
        std::unordered_set<std::string> texts;
        std::vector<const std::string*> order;  // file order
    };

    // tag -> line -> parsed entry (family -1 for a line that did not parse)
    std::unordered_map<std::string, std::unordered_map<std::string, lp_cidr_entry_t>> entries;
    std::unordered_map<std::string, prefixed_t> prefixed_entries;
    // The parsed networks of each tag, for checks.
    std::unordered_map<std::string, lp_cidr_networks_t> networks;
};
