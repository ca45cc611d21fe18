// Regex lists answer as boost::u32regex_search over the value's UTF-8 bytes,
// pattern by pattern. Input: up to eight pattern lines, then the check value
// (the last line).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <boost/regex/pending/unicode_iterator.hpp>

#include "lists/lp_regex_set.h"

namespace {

using utf8_iterator = boost::u8_to_u32_iterator<std::string::const_iterator, UChar32>;

// 1 found, 0 not found, -1 thrown.
template <class Search>
int outcome(Search search)
{
    try {
        return search() ? 1 : 0;
    } catch (const std::exception&) {
        return -1;
    }
}

// Whether every pattern answers within a budget of states scaled to the
// value's length, as a search over random-access text has it, on the
// value's code points up to the first that is not valid UTF-8. Otherwise
// the search over UTF-8 text may take its whole fixed budget, seconds for
// each pattern.
bool cheap(const std::vector<std::shared_ptr<boost::u32regex>>& regexes, const std::string& value)
{
    std::vector<UChar32> chars;
    try {
        for (utf8_iterator c(value.begin(), value.begin(), value.end()), end(value.end(), value.begin(), value.end());
             c != end; ++c)
            chars.push_back(*c);
    } catch (const std::out_of_range&) {
    }
    static const UChar32 none = 0;
    const UChar32* first = chars.empty() ? &none : chars.data();
    boost::match_results<const UChar32*> match;
    for (const auto& regex : regexes) {
        try {
            boost::u32regex_search(first, first + chars.size(), match, *regex);
        } catch (const std::exception&) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 400)
        return 0;
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' && lines.size() < 9)
            lines.emplace_back();
        else
            lines.back() += static_cast<char>(data[i]);
    }
    const std::string value = lines.back();
    lines.pop_back();

    lp_regex_set_t set;
    std::vector<std::shared_ptr<boost::u32regex>> regexes;
    for (const std::string& line : lines) {
        if (set.has(line))
            continue;
        try {
            regexes.push_back(lp_regex_compile(line));
        } catch (const std::exception&) {
            continue;
        }
        set.add(line, regexes.back());
    }
    // Of the costly inputs only short values, where the limits are reached
    // in little time by patterns that backtrack, are compared.
    if (value.size() > 24 && !cheap(regexes, value))
        return 0;

    // In file order, the first pattern that matches or throws decides.
    int first = 0;
    bool any_found = false;
    for (const auto& regex : regexes) {
        const int result = outcome([&] { return boost::u32regex_search(value, *regex); });
        if (first == 0)
            first = result;
        if (result == 1) {
            any_found = true;
            break;
        }
    }
    if (outcome([&] { return set.search_unfiltered(value); }) != first)
        std::abort();
    // Where a pattern throws, the filtered search may throw or answer from
    // the patterns it tried.
    const int filtered = outcome([&] { return set.search(value); });
    if (first != -1 ? filtered != first : filtered != -1 && filtered != (any_found ? 1 : 0))
        std::abort();
    return 0;
}
