// Exact values: a check value is found when it equals a line of the tag's
// file without regard to case.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "lists/lp_file_client.h"

class lp_allmatch_client_t : public lp_file_client_t {
public:
    explicit lp_allmatch_client_t(lp_inventory_t& inventory);
    ~lp_allmatch_client_t() override;

    void reconfigure() override;
    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;

protected:
    const std::string& file_for_tag(const std::string& tag) override;
    void add_entry(const std::string& tag, const std::string& line) override;
    void get_entries(const std::string& tag, std::vector<std::string>& out) override;
    bool search_for(const std::string& tag, const std::string& value) override;
    void forget_entries(const std::string& tag) override;

private:
    struct tag_entries_t {
        // Upper-case form -> the line as read.
        std::unordered_map<std::string, std::string> values;
        // The values in the order their keys first appeared in the file.
        std::vector<const std::string*> order;
    };

    std::unordered_map<std::string, tag_entries_t> entries;
};
