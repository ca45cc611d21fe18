// Regular expressions: a check value is found when one of the tag's
// patterns matches somewhere in it, without regard to case.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/regex/icu.hpp>

#include "lists/lp_file_client.h"

class lp_regex_client_t : public lp_file_client_t {
public:
    explicit lp_regex_client_t(lp_inventory_t& inventory);
    ~lp_regex_client_t() override;

    void reconfigure() override;
    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;

protected:
    std::string file_for_tag(const std::string& tag) override;
    void add_entry(const std::string& tag, const std::string& line) override;
    void get_entries(const std::string& tag, std::vector<std::string>& out) override;
    // Throws std::out_of_range when a search reaches a sequence that is not
    // valid UTF-8, and whatever the regex engine throws while matching.
    bool search_for(const std::string& tag, const std::string& value) override;
    void forget_entries(const std::string& tag) override;

private:
    struct tag_entries_t {
        // Pattern text -> compiled expression.
        std::unordered_map<std::string, std::shared_ptr<boost::u32regex>> patterns;
        // The patterns in file order.
        std::vector<std::pair<const std::string*, const boost::u32regex*>> order;
    };

    std::unordered_map<std::string, tag_entries_t> entries;
    // A valid check value, decoded once for all patterns.
    std::vector<UChar32> value_chars;
    boost::match_results<const UChar32*> match;
};
