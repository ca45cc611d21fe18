// Regular expressions: a check value is found when one of the tag's
// patterns matches somewhere in it, without regard to case.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "lists/lp_file_client.h"
#include "lists/lp_regex_set.h"

class lp_regex_client_t : public lp_file_client_t {
public:
    explicit lp_regex_client_t(lp_inventory_t& inventory);
    ~lp_regex_client_t() override;

    void reconfigure() override;
    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;

protected:
    const std::string& file_for_tag(const std::string& tag) override;
    void add_entry(const std::string& tag, const std::string& line) override;
    void get_entries(const std::string& tag, std::vector<std::string>& out) override;
    // Throws std::out_of_range when a search reaches a sequence that is not
    // valid UTF-8, and whatever the regex engine throws while matching.
    bool search_for(const std::string& tag, const std::string& value) override;
    void forget_entries(const std::string& tag) override;

private:
    // Pattern text -> compiled expression, in file order, per tag.
    std::unordered_map<std::string, lp_regex_set_t> entries;
};
