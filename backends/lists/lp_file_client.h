// The base of the list-file back-ends: reads a tag's file on first use after
// each configuration, answers lookups with the derived class's list and
// checks through its matcher, and caches every check answer per tag.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/core/noncopyable.hpp>

#include "lp_client_base.h"

class lp_inventory_t;

// Bounds of each tag's check-answer cache; a value longer than
// cache_max_bytes is answered but never cached.
constexpr size_t cache_max_values = 65536;
constexpr size_t cache_max_bytes = 16 * 1024 * 1024;

class lp_file_client_t : public lp_client_base_t, private boost::noncopyable {
public:
    explicit lp_file_client_t(lp_inventory_t& inventory);
    ~lp_file_client_t() override;

    void lookup(const std::string& tag, const std::string& user, const std::string& domain,
                const lp_lookup_handler_t& handler) override;
    bool lookup_encoded(const std::string& tag, const std::string& user, const std::string& domain,
                        const lp_encoded_lookup_handler_t& handler) override;
    void check(const std::string& tag, const std::string& user, const std::string& domain,
               const std::string& value, const lp_check_handler_t& handler) override;
    // Forgets every file read and every cached answer.
    void reconfigure() override;

protected:
    // The tag's "File" setting, empty when unset.
    virtual std::string file_for_tag(const std::string& tag) = 0;
    // One trimmed, non-comment line of the tag's file.
    virtual void add_entry(const std::string& tag, const std::string& line) = 0;
    // Appends what a lookup of the tag lists.
    virtual void get_entries(const std::string& tag, std::vector<std::string>& out) = 0;
    virtual bool search_for(const std::string& tag, const std::string& value) = 0;
    // Drops whatever add_entry stored for the tag: a file that could not be
    // read whole leaves no partial list behind.
    virtual void forget_entries(const std::string& tag) = 0;

    // Makes sure the tag's list is in memory and, with `entries`, appends
    // the tag's entries to it. Throws boost::system::system_error with a
    // qv::ErrorCode.
    void load(const std::string& tag, std::vector<std::string>* entries);

    // A derived class that removes an entry of a loaded tag calls this, so
    // that lookups list the tag anew.
    void entries_changed(const std::string& tag);

    lp_inventory_t& inventory;

private:
    // The tag's listed entries, encoded once per read (and again after
    // entries_changed); null with ec set when the file cannot be read.
    lp_encoded_entries_ptr_t listed(const std::string& tag, boost::system::error_code& ec);

    // Steps of load before the entries: reads the file unless it is read;
    // answers whether it was read already.
    bool read_file(const std::string& tag);

    using file_key_t = std::pair<std::string, std::string>;  // tag, path
    struct file_key_hash_t {
        size_t operator()(const file_key_t& key) const noexcept
        {
            const size_t h = std::hash<std::string>()(key.first);
            return h ^ (std::hash<std::string>()(key.second) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
        }
    };
    // Reads the tag's lines into add_entry; throws std::system_error when
    // reading fails.
    void read_lines(const std::string& tag, int fd);
    // Remembers a check answer, within the cache's bounds.
    void cache_answer(const std::string& tag, const std::string& value, bool answer);

    // The check answers of one tag. Found and not found together hold at
    // most cache_max_values values of at most cache_max_bytes bytes.
    struct answer_cache_t {
        // Each cached value with its answer: found (true) or not found.
        std::unordered_map<std::string, bool> answers;
        size_t value_bytes = 0;
    };

    std::unordered_set<file_key_t, file_key_hash_t> loaded_files;
    std::unordered_map<std::string, answer_cache_t> answer_caches;
    // What lookups of each read tag list, taken from get_entries once.
    std::unordered_map<std::string, lp_encoded_entries_ptr_t> listed_entries;
};
