// Shell-style masks: a check value is found when one of the tag's masks
// matches it whole, without regard to case.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lists/lp_file_client.h"

// fnmatch of the mask over the whole value, without regard to case: 0 for
// a match, FNM_NOMATCH, or fnmatch's error for an invalid mask. A value
// holding a NUL matches no mask.
int mask_match(const std::string& mask, const std::string& value);

class lp_mask_client_t : public lp_file_client_t {
public:
    explicit lp_mask_client_t(lp_inventory_t& inventory);
    ~lp_mask_client_t() override;

    void reconfigure() override;
    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;

protected:
    const std::string& file_for_tag(const std::string& tag) override;
    void add_entry(const std::string& tag, const std::string& line) override;
    void get_entries(const std::string& tag, std::vector<std::string>& out) override;
    // A mask that fnmatch reports an error for is removed from the tag.
    bool search_for(const std::string& tag, const std::string& value) override;
    void forget_entries(const std::string& tag) override;

private:
    struct tag_entries_t {
        std::unordered_set<std::string> masks;
        // The masks in file order.
        std::vector<const std::string*> order;
    };

    std::unordered_map<std::string, tag_entries_t> entries;
};
