// Option keys compared without regard to case and underscores, and a tree
// of such keys with list values that mirrors qv.LexMap.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lexmap.pb.h"

// The key without "_" and with every other byte lowered by libc's tolower.
std::string normalize_lex_key(const std::string& key);
// Whether normalize_lex_key would return the key unchanged.
bool is_normal_lex_key(const std::string& key);

// True when both keys have the same normal form.
bool lex_keys_equal(const std::string& a, const std::string& b);

// Not empty, and only alphanumerics and "_".
bool is_lex_identifier(const std::string& key);

// run_as_user gives RunAsUser.
std::string lex_key_to_camel_case(const std::string& key);

class cf_lex_map_t;

// A list of items, a nested tree, both or neither.
class cf_lex_value_t {
public:
    cf_lex_value_t();
    explicit cf_lex_value_t(const std::vector<std::string>& items);
    explicit cf_lex_value_t(const cf_lex_map_t& map);
    explicit cf_lex_value_t(const qv::LexOption& option);
    cf_lex_value_t(const cf_lex_value_t& other);
    cf_lex_value_t(cf_lex_value_t&& other) noexcept;
    cf_lex_value_t& operator=(const cf_lex_value_t& other);
    cf_lex_value_t& operator=(cf_lex_value_t&& other) noexcept;
    ~cf_lex_value_t();

    // The part, or null when absent.
    const std::vector<std::string>* list() const { return list_.get(); }
    const cf_lex_map_t* map() const { return map_.get(); }

    // The part, created empty when absent.
    std::vector<std::string>* mutable_list();
    cf_lex_map_t* mutable_map();

    bool operator==(const cf_lex_value_t& other) const;
    bool operator!=(const cf_lex_value_t& other) const { return !(*this == other); }

private:
    std::unique_ptr<std::vector<std::string>> list_;
    std::unique_ptr<cf_lex_map_t> map_;
};

// Entries in insertion order; keys compared with lex_keys_equal, not unique.
class cf_lex_map_t {
public:
    typedef std::pair<std::string, cf_lex_value_t> entry_t;
    typedef std::vector<entry_t>::const_iterator const_iterator;

    cf_lex_map_t() = default;
    explicit cf_lex_map_t(const qv::LexMap& record);

    // Replaces the tree by the record's options; list items of repeated
    // keys accumulate.
    void from_proto(const qv::LexMap& record);
    // Appends one option per entry to the record.
    void to_proto(qv::LexMap* record) const;

    // The value of the first entry with an equal key, or null.
    cf_lex_value_t* find(const std::string& key);
    const cf_lex_value_t* find(const std::string& key) const;

    // The value of the first entry with an equal key; appends an empty
    // entry when there is none. Appending invalidates earlier references.
    cf_lex_value_t& operator[](const std::string& key);

    // Removes every entry with an equal key.
    void erase(const std::string& key);
    void clear() { entries_.clear(); }
    void append(const std::string& key, const cf_lex_value_t& value);

    bool empty() const { return entries_.empty(); }
    size_t size() const { return entries_.size(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    bool operator==(const cf_lex_map_t& other) const;
    bool operator!=(const cf_lex_map_t& other) const { return !(*this == other); }

private:
    std::vector<entry_t> entries_;
};

// Logs one line per leaf at the level, keys joined by "." after the prefix;
// nothing when the level is below cf_log_threshold.
void print_lex_map(int level, const std::string& prefix, const cf_lex_map_t& map);
