// IPv4 and IPv6 networks in CIDR notation: a check value is found when the
// address lies in one of the tag's networks, or is written exactly as one of
// its network lines.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
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
    std::string file_for_tag(const std::string& tag) override;
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

    // The parsed entries of a tag grouped by mask, so that a check costs one
    // hash look-up per distinct prefix length instead of one comparison per
    // entry. Each key maps to one entry of that network, which cidr_match
    // confirms.
    struct network_index_t {
        struct v6_key_t {
            uint64_t high;
            uint64_t low;
            int32_t prefix;
            bool operator==(const v6_key_t& other) const
            {
                return high == other.high && low == other.low && prefix == other.prefix;
            }
        };
        struct v6_key_hash_t {
            size_t operator()(const v6_key_t& key) const noexcept;
        };

        void add(const lp_cidr_entry_t& entry);
        bool contains(const lp_cidr_entry_t& value) const;

        std::vector<uint32_t> v4_masks;  // distinct masks in use
        std::unordered_map<uint64_t, const lp_cidr_entry_t*> v4;
        std::vector<int32_t> v6_prefixes;  // distinct prefix lengths in use
        std::unordered_map<v6_key_t, const lp_cidr_entry_t*, v6_key_hash_t> v6;
    };

    // tag -> line -> parsed entry (family -1 for a line that did not parse)
    std::unordered_map<std::string, std::unordered_map<std::string, lp_cidr_entry_t>> entries;
    std::unordered_map<std::string, prefixed_t> prefixed_entries;
    std::unordered_map<std::string, network_index_t> networks;
};
