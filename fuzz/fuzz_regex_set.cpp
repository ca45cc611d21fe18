// Regex lists: the literal pre-filter never changes an answer. Input: up to
// eight pattern lines, then the check value (the last line).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "lists/lp_regex_set.h"

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
    for (const std::string& line : lines) {
        try {
            set.add(line, lp_regex_compile(line));
        } catch (const std::exception&) {
        }
    }
    bool expected = false, answer = false, expected_threw = false, threw = false;
    try {
        expected = set.search_unfiltered(value);
    } catch (const std::exception&) {
        expected_threw = true;
    }
    try {
        answer = set.search(value);
    } catch (const std::exception&) {
        threw = true;
    }
    // Skipping a pattern that cannot match may avoid an error it would
    // raise; otherwise the outcome is the same.
    if (!expected_threw && (threw || answer != expected))
        std::abort();
    return 0;
}
