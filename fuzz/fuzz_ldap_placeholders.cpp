// Placeholder expansion and escaping of LDAP filters and base DNs. Input:
// template, user and domain separated by NUL bytes (missing parts empty).
// Checks that a filter value decodes back to the user's bytes with nothing
// special left raw, that an escaped DN value parses as one value equal to
// the input, and that a user or domain never adds RDNs to a base.
#include <ldap.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ldap/lp_ldap_client.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A filter value: no raw NUL ( ) *, every backslash starts \XX; decoded.
std::string decode_filter_value(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        check(c != '\0' && c != '(' && c != ')' && c != '*');
        if (c != '\\') {
            out += c;
            continue;
        }
        check(i + 2 < text.size());
        const int high = hex(text[i + 1]);
        const int low = hex(text[i + 2]);
        check(high >= 0 && low >= 0);
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

bool valid_utf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2)
                return false;
        i += n;
    }
    return true;
}

// The RDNs of a DN, or -1 when it does not parse.
int rdn_count(const std::string& dn, std::string* first_value = nullptr)
{
    LDAPDN parsed = nullptr;
    if (ldap_str2dn(dn.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS)
        return -1;
    int n = 0;
    if (parsed) {
        for (; parsed[n]; ++n) {
        }
        if (first_value && n > 0 && parsed[0][0])
            first_value->assign(parsed[0][0]->la_value.bv_val, parsed[0][0]->la_value.bv_len);
        ldap_dnfree(parsed);
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t a = input.find('\0');
    const std::string text = input.substr(0, a);
    std::string user, domain;
    if (a != std::string::npos) {
        const std::size_t b = input.find('\0', a + 1);
        user = input.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        if (b != std::string::npos)
            domain = input.substr(b + 1);
    }

    // Filters: the user's bytes come back whole and nothing else changes.
    check(decode_filter_value(escape_filter_value(user)) == user);
    check(substitute_placeholders("(uid=$u)", user, domain) == "(uid=" + escape_filter_value(user) + ")");
    const std::string filter = substitute_placeholders(text, user, domain);
    if (text.find('$') == std::string::npos)
        check(filter == text);
    (void)substitute_dn_placeholders(text, user, domain);

    // Base DNs: an escaped value is one value of one RDN, equal to the input.
    const std::string escaped = escape_dn_value(user);
    if (!user.empty() && user.find('\0') == std::string::npos && valid_utf8(user)) {
        std::string value;
        check(rdn_count("cn=" + escaped, &value) == 1);
        check(value == user);
        check(rdn_count(substitute_dn_placeholders("uid=$u,ou=people,dc=example", user, domain)) == 3);
    }
    if (domain.find('\0') == std::string::npos && valid_utf8(domain)) {
        std::size_t pieces = 1;
        for (const char c : domain)
            pieces += c == '.';
        const int n = rdn_count(substitute_dn_placeholders("ou=people,$D", user, domain));
        // Empty pieces ("a..b") make empty values, which the parser refuses.
        if (!domain.empty() && domain.find("..") == std::string::npos && domain.front() != '.' &&
            domain.back() != '.')
            check(n == static_cast<int>(pieces) + 1);
        else
            check(n == -1 || n == static_cast<int>(pieces) + 1);
    }
    return 0;
}
