// CIDR entries and values, and masks over values in the C and a UTF-8
// locale: the first input byte splits the rest into an entry (or mask) and
// a value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fnmatch.h>
#include <locale.h>
#include <string>

#include "fuzz_support.h"
#include "lists/lp_cidr_client.h"
#include "lists/lp_mask_client.h"

namespace {

void check_entry(const lp_cidr_entry_t& entry)
{
    // A parsed entry never reaches past its address.
    if (entry.family == AF_INET6 &&
        (entry.whole_words < 0 || entry.whole_words > 4 || (entry.whole_words == 4 && entry.rest_bits != 0)))
        __builtin_trap();
    if (entry.family != -1 && entry.family != AF_INET && entry.family != AF_INET6)
        __builtin_trap();
}

bool is_ascii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz_daemon_t daemon;
    static lp_cidr_client_t cidr(*daemon.inventory);
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!utf8)
        __builtin_trap();
    if (size == 0)
        return 0;
    const size_t split = std::min<size_t>(data[0], size - 1);
    const std::string first(reinterpret_cast<const char*>(data) + 1, split);
    const std::string second(reinterpret_cast<const char*>(data) + 1 + split, size - 1 - split);

    lp_cidr_entry_t entry;
    lp_cidr_entry_t value;
    const bool entry_parsed = cidr.parse_cidr("fuzz", first, entry);
    const bool value_parsed = cidr.parse_cidr("fuzz", second, value);
    check_entry(entry);
    check_entry(value);
    if (entry_parsed != (entry.family != -1) || value_parsed != (value.family != -1))
        __builtin_trap();
    const bool matched = cidr_match(value, entry);
    // An address always lies in its own network; a failed parse matches nothing.
    if (entry_parsed && cidr_match(entry, entry) != true)
        __builtin_trap();
    if ((!entry_parsed || !value_parsed) && matched)
        __builtin_trap();

    const int result = mask_match(first, second);
    if (second.find('\0') != std::string::npos && result == 0)
        __builtin_trap();
    // A mask without wildcards matches itself.
    const bool plain = first.find_first_of(std::string("*?[\\\0", 5)) == std::string::npos;
    if (plain && mask_match(first, first) != 0)
        __builtin_trap();

    // In a UTF-8 locale a mask fails only where it fails in the C locale,
    // whatever the value, and masks and values of ASCII alone match as there.
    const locale_t previous = uselocale(utf8);
    const int utf8_result = mask_match(first, second);
    const int utf8_itself = mask_match(first, first);
    uselocale(previous);
    if (utf8_result != 0 && utf8_result != FNM_NOMATCH && utf8_result != result)
        __builtin_trap();
    if (is_ascii(first) && is_ascii(second) && utf8_result != result)
        __builtin_trap();
    if (plain && utf8_itself != 0)
        __builtin_trap();
    return 0;
}
