// The compiled patterns of one regex tag, in file order, with a literal
// pre-filter: each pattern keeps one literal factor that every match of it
// must contain, all factors are searched at once in the case-folded value,
// and only the patterns whose factor occurs (and those without one) run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/regex/icu.hpp>

struct hs_database;
struct hs_scratch;

// Compiles a list line as the regex lists do: Perl syntax, without regard
// to case, with collation. Throws what boost::make_u32regex throws.
std::shared_ptr<boost::u32regex> lp_regex_compile(const std::string& pattern);

// The literal factors, folded per code point with u_tolower and encoded in
// UTF-8, that every match of the pattern contains. Empty when the pattern
// has none or uses syntax that is not understood here.
std::vector<std::string> lp_regex_required_factors(const std::string& pattern);

// Steps over decoded code points as boost::u32regex_search steps over UTF-8
// text: bidirectionally, so that Boost's matcher gives a search the fixed
// state budget it gives UTF-8 text (random-access iterators get one scaled
// by the text's length), and taking the UTF-8 iterator's room, so that the
// saved states of a search fill the matcher's bounded stack as fast.
class lp_code_point_iterator_t {
public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = UChar32;
    using difference_type = std::ptrdiff_t;
    using pointer = const UChar32*;
    using reference = const UChar32&;

    lp_code_point_iterator_t() = default;
    explicit lp_code_point_iterator_t(const UChar32* position) : position(position) {}

    reference operator*() const { return *position; }
    pointer operator->() const { return position; }
    lp_code_point_iterator_t& operator++()
    {
        ++position;
        return *this;
    }
    lp_code_point_iterator_t operator++(int)
    {
        lp_code_point_iterator_t before = *this;
        ++position;
        return before;
    }
    lp_code_point_iterator_t& operator--()
    {
        --position;
        return *this;
    }
    lp_code_point_iterator_t operator--(int)
    {
        lp_code_point_iterator_t before = *this;
        --position;
        return before;
    }
    bool operator==(const lp_code_point_iterator_t& other) const { return position == other.position; }
    bool operator!=(const lp_code_point_iterator_t& other) const { return position != other.position; }

private:
    const UChar32* position = nullptr;
    // Where the UTF-8 iterator keeps the code point it decoded.
    [[maybe_unused]] UChar32 unused = 0;
};

class lp_regex_set_t {
public:
    lp_regex_set_t();
    ~lp_regex_set_t();
    lp_regex_set_t(const lp_regex_set_t&) = delete;
    lp_regex_set_t& operator=(const lp_regex_set_t&) = delete;

    bool has(const std::string& text) const { return patterns.count(text) != 0; }
    // Appends a pattern after the others.
    void add(const std::string& text, std::shared_ptr<boost::u32regex> compiled);
    bool empty() const { return order.empty(); }
    // The pattern texts in file order.
    void texts(std::vector<std::string>& out) const;

    // Whether a pattern matches somewhere in value, trying only those that
    // can. Each pattern answers as boost::u32regex_search over the value's
    // UTF-8 bytes does, and throws where it throws (std::out_of_range for a
    // value that is not valid UTF-8, the complexity and stack limits).
    bool search(const std::string& value);
    // The same, trying every pattern in file order, none skipped.
    bool search_unfiltered(const std::string& value);

private:
    struct pattern_t {
        const std::string* text;
        const boost::u32regex* regex;
    };
    struct hs_free_t {
        void operator()(hs_database* database) const;
        void operator()(hs_scratch* scratch) const;
    };

    void build_filter();
    bool search_chars(const std::vector<uint32_t>& candidates);
    bool search_one(const boost::u32regex& regex);

    std::unordered_map<std::string, std::shared_ptr<boost::u32regex>> patterns;
    std::vector<pattern_t> order;
    // Each pattern's factors, until the filter is built.
    std::vector<std::vector<std::string>> factors;

    bool filter_built = false;
    // Patterns that always run, ascending.
    std::vector<uint32_t> always;
    // Literal id -> the patterns that chose it: pattern_of[first[id]..first[id + 1]).
    std::vector<uint32_t> literal_first;
    std::vector<uint32_t> pattern_of;
    std::unique_ptr<hs_database, hs_free_t> database;
    std::unique_ptr<hs_scratch, hs_free_t> scratch;

    // Per-check work space, reused.
    std::vector<UChar32> value_chars;
    std::string folded;
    std::vector<uint32_t> literal_hits;
    std::vector<uint32_t> candidates;
    boost::match_results<lp_code_point_iterator_t> match;
};
