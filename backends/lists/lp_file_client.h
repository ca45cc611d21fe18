// The base of the list-file back-ends: reads a tag's file on first use after
// each configuration, answers lookups with the derived class's list and
// checks through its matcher, and caches every check answer per tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
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
    virtual const std::string& file_for_tag(const std::string& tag) = 0;
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

    // Reads the tag's lines into add_entry; throws std::system_error when
    // reading fails.
    void read_lines(const std::string& tag, int fd);
    // The check answers of one tag, found and not found, in one flat table:
    // the values' bytes in one buffer, the entries in the order cached, and
    // open-addressed slots holding entry numbers. It holds at most
    // cache_max_values values of at most cache_max_bytes bytes together, and
    // starts again empty when a value would exceed either; once it has grown,
    // caching allocates nothing.
    class answer_cache_t {
    public:
        static size_t hash_of(const std::string& value) { return std::hash<std::string>()(value); }
        // 1 found, 0 not found, -1 not cached.
        int find(const std::string& value, size_t hash) const;
        // A value that is not cached yet; one longer than cache_max_bytes is
        // left out.
        void insert(const std::string& value, size_t hash, bool answer);

    private:
        struct entry_t {
            size_t hash;
            uint32_t offset;
            uint32_t size;
            bool answer;
        };
        void clear();
        // Doubles the slots and places every entry anew.
        void grow();

        std::string bytes;
        std::vector<entry_t> entries;
        std::vector<uint32_t> slots;  // entry number + 1; 0 is a free slot
    };

    // tag -> the path read for it since the last configuration
    std::unordered_map<std::string, std::string> loaded_files;
    std::unordered_map<std::string, answer_cache_t> answer_caches;
    // What lookups of each read tag list, taken from get_entries once.
    std::unordered_map<std::string, lp_encoded_entries_ptr_t> listed_entries;
};
