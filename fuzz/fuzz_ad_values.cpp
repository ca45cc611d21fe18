// Values an Active Directory server returns, as the AD back-end reads them:
// names compared without regard to case, the domain of a DN, primaryGroupID
// as a number, and the primary group's SID written for a filter. Input: any
// bytes, used whole by each.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ldap/lp_ad_client.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// primaryGroupID by a second route: sign, digits, at most 2^32 - 1.
bool reference_number(const std::string& text, uint32_t& value)
{
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '+' || text[0] == '-'))
        i = 1;
    if (i == text.size())
        return false;
    for (std::size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9')
            return false;
    while (i + 1 < text.size() && text[i] == '0')
        ++i;
    const std::string digits = text.substr(i);
    if (digits.size() > 10 || (digits.size() == 10 && digits > "4294967295"))
        return false;
    value = static_cast<uint32_t>(std::stoull(digits));
    if (negative)
        value = static_cast<uint32_t>(0u - value);
    return true;
}

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Names: ASCII letters of either case are equal, whatever surrounds
    // them; one more letter never is.
    std::string flipped = input;
    for (char& c : flipped) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    check(ad_iequals(input, input));
    check(ad_iequals(input, flipped) && ad_iequals(flipped, input));
    check(!ad_iequals(input, input + "x") && !ad_iequals(input + "x", input));

    const std::string domain = ad_dn_domain(input);
    check(domain.find(',') == std::string::npos);
    check(domain.size() <= input.size());
    check(ad_iequals(domain, domain));

    uint32_t parsed = 0, expected = 0;
    const bool ok = parse_primary_group_id(input, parsed);
    check(ok == reference_number(input, expected));
    check(!ok || parsed == expected);

    const uint32_t rid = size >= 4 ? static_cast<uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3] : 0;
    const std::string sid = replace_sid_rid(input, rid);
    check(sid.size() == (size < 4 ? 4 : size));
    check(size < 4 || sid.compare(0, size - 4, input, 0, size - 4) == 0);
    const std::string text = escape_sid_bytes(sid);
    check(text.size() == 3 * sid.size());
    for (std::size_t i = 0; i < sid.size(); ++i) {
        check(text[3 * i] == '\\');
        const int high = hex(text[3 * i + 1]), low = hex(text[3 * i + 2]);
        check(high >= 0 && low >= 0);
        check(static_cast<unsigned char>(sid[i]) == high * 16 + low);
    }
    for (std::size_t i = 0; i < 4; ++i)
        check(static_cast<unsigned char>(sid[sid.size() - 4 + i]) == ((rid >> (8 * i)) & 0xff));
    return 0;
}
