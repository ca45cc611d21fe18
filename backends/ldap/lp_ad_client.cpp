#include "lp_ad_client.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "cf_log.h"
#include "lp_accumulator.h"
#include "lp_inventory.h"
#include "lp_settings.h"

namespace {

const std::vector<std::string> empty_list;
const std::string no_dn;

const std::string& first_value(const lp_ldap_entry_t& entry)
{
    return entry.front().values.front();
}

bool starts_with_dc(const std::string& piece)
{
    return piece.size() >= 3 && (piece[0] == 'd' || piece[0] == 'D') && (piece[1] == 'c' || piece[1] == 'C') &&
           piece[2] == '=';
}

std::string quoted(const std::string& text)
{
    return "\"" + cf_log_escape(text) + "\"";
}

// A failed search step: its error and an empty list.
std::function<void(const boost::system::error_code&)> failure_of(const lp_lookup_handler_t& handler)
{
    return [handler](const boost::system::error_code& ec) { handler(ec, empty_list); };
}

} // namespace

bool check_result_shape(const lp_ldap_search_result_t& result, bool single, std::size_t n)
{
    if (single && result.size() > 1)
        return false;
    for (const lp_ldap_entry_t& entry : result) {
        if (entry.size() != n)
            return false;
        for (const lp_ldap_attribute_t& attribute : entry)
            if (attribute.values.size() != 1 || attribute.values.front().empty())
                return false;
    }
    return true;
}

std::string ad_dn_domain(const std::string& dn)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = dn.find(',', start);
        pieces.push_back(dn.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    std::size_t first = pieces.size();
    while (first > 0 && starts_with_dc(pieces[first - 1]))
        --first;
    std::string domain;
    for (std::size_t i = first; i < pieces.size(); ++i) {
        if (i != first)
            domain += '.';
        domain.append(pieces[i], 3, std::string::npos);
    }
    return domain;
}

bool parse_primary_group_id(const std::string& text, uint32_t& value)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return false;
    uint64_t number = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        number = number * 10 + static_cast<unsigned>(text[i] - '0');
        if (number > std::numeric_limits<uint32_t>::max())
            return false;
    }
    value = static_cast<uint32_t>(number);
    if (negative)
        value = static_cast<uint32_t>(0u - value);
    return true;
}

std::string replace_sid_rid(std::string sid, uint32_t rid)
{
    if (sid.size() < 4)
        sid.assign(4, '\0');
    for (std::size_t i = 0; i < 4; ++i)
        sid[sid.size() - 4 + i] = static_cast<char>((rid >> (8 * i)) & 0xff);
    return sid;
}

std::string escape_sid_bytes(const std::string& sid)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(sid.size() * 3);
    for (const char c : sid) {
        const auto byte = static_cast<unsigned char>(c);
        out += '\\';
        out += digits[byte >> 4];
        out += digits[byte & 0xf];
    }
    return out;
}

bool ad_iequals(const std::string& a, const std::string& b)
{
    // ICU's UTF-8 macros index with int32_t.
    if (a.size() > INT32_MAX || b.size() > INT32_MAX)
        return a == b;
    const int32_t m = static_cast<int32_t>(a.size());
    const int32_t n = static_cast<int32_t>(b.size());
    int32_t i = 0;
    int32_t j = 0;
    while (i < m && j < n) {
        const int32_t i0 = i;
        const int32_t j0 = j;
        UChar32 x = 0;
        UChar32 y = 0;
        U8_NEXT(a.data(), i, m, x);
        U8_NEXT(b.data(), j, n, y);
        if (x >= 0 && y >= 0) {
            if (u_foldCase(x, U_FOLD_CASE_DEFAULT) != u_foldCase(y, U_FOLD_CASE_DEFAULT))
                return false;
        } else if (x >= 0 || y >= 0 || a.compare(i0, i - i0, b, j0, j - j0) != 0) {
            // Bytes that are no UTF-8 compare as they are.
            return false;
        }
    }
    return i == m && j == n;
}

bool lp_ad_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->ad_has_tag(tag);
}

void lp_ad_client_t::warn(const std::string& tag, const std::string& text) const
{
    if (cf_log_threshold <= CF_LOG_WARNING)
        cf_log_message(CF_LOG_WARNING, log_prefix(tag) + text);
}

lp_ldap_search_request_t lp_ad_client_t::make_request(const std::string& tag) const
{
    const lp_settings_t& settings = *inventory.settings;
    const uint32_t port = settings.ad_port(tag);
    if (port > 65535)
        throw_bad_port(log_prefix(tag));
    lp_ldap_search_request_t request;
    request.url = make_ldap_url(settings.ad_use_ssl(tag) ? "ldaps" : "ldap", settings.ad_host(tag),
                                static_cast<int>(port), std::string());
    request.bind_dn = settings.ad_user(tag);
    request.bind_password = settings.ad_password(tag);
    // Already a DN: filter escaping would corrupt its escaped characters.
    request.base_dn = settings.ad_dn(tag);
    request.scope = 2;
    request.chase_referrals = settings.ad_chase_referrals(tag);
    return request;
}

void lp_ad_client_t::lookup(const std::string& tag, const std::string& user, const std::string& domain,
                            const lp_lookup_handler_t& handler)
{
    try {
        lp_ldap_search_request_t request = make_request(tag);
        auto shared = std::make_shared<const lp_ldap_search_request_t>(request);
        get_user_dn(tag, std::move(request), user, domain,
                    [this, tag, shared, handler](const boost::system::error_code& ec, const std::string& dn) {
                        if (ec || dn.empty()) {
                            handler(ec, empty_list);
                            return;
                        }
                        get_user_groups(tag, *shared, dn, handler);
                    });
    } catch (const boost::system::system_error& e) {
        boost::asio::post(inventory.io_context, [handler, code = e.code()]() { handler(code, empty_list); });
    }
}

void lp_ad_client_t::check(const std::string& tag, const std::string& user, const std::string& domain,
                           const std::string& value, const lp_check_handler_t& handler)
{
    lookup(tag, user, domain,
           [handler, value](const boost::system::error_code& ec, const std::vector<std::string>& names) {
               handler(ec, !ec && std::any_of(names.begin(), names.end(), [&value](const std::string& name) {
                               return ad_iequals(name, value);
                           }));
           });
}

void lp_ad_client_t::search(const std::string& tag, const lp_ldap_search_request_t& request, bool single,
                            std::size_t n, const std::string& not_found, const failure_handler_t& fail,
                            const result_handler_t& done)
{
    // The LDAP client's lines for the search carry this tag's own prefix.
    inventory.ldap_client()->search(
        log_prefix(tag), request,
        [this, tag, single, n, not_found, fail, done](const boost::system::error_code& ec,
                                                      const lp_ldap_search_result_t& result) {
            if (ec) {
                fail(ec);
                return;
            }
            if (!check_result_shape(result, single, n)) {
                fail(make_error_code(LPE_UNEXPECTED_AD_RESULT));
                return;
            }
            if (result.empty() && !not_found.empty()) {
                warn(tag, not_found);
                fail(make_error_code(LPE_OBJECT_NOT_FOUND));
                return;
            }
            done(result);
        });
}

void lp_ad_client_t::get_user_dn(const std::string& tag, lp_ldap_search_request_t request, const std::string& user,
                                 const std::string& domain, const lp_ad_dn_handler_t& handler)
{
    request.filter = "(&(objectCategory=person)(objectClass=user)(sAMAccountName=" + escape_filter_value(user) + "))";
    request.attributes = {"distinguishedName"};
    search(tag, request, false, 1, std::string(),
           [handler](const boost::system::error_code& ec) { handler(ec, no_dn); },
           [this, tag, domain, handler](const lp_ldap_search_result_t& result) {
               const std::string* found = nullptr;
               for (const lp_ldap_entry_t& entry : result) {
                   const std::string& dn = first_value(entry);
                   if (!domain.empty() && !ad_iequals(ad_dn_domain(dn), domain))
                       continue;
                   if (found) {
                       warn(tag, "More than one matching user found: " + quoted(*found) + ", " + quoted(dn));
                       handler(make_error_code(LPE_MULTIPLE_USERS_FOUND), no_dn);
                       return;
                   }
                   found = &dn;
               }
               handler(boost::system::error_code(), found ? *found : no_dn);
           });
}

void lp_ad_client_t::get_user_groups(const std::string& tag, const lp_ldap_search_request_t& request,
                                     const std::string& user_dn, const lp_lookup_handler_t& handler)
{
    auto joined = std::make_shared<lp_accumulator_t<std::vector<std::string>>>(
        3, [handler](const boost::system::error_code& ec, const std::vector<std::string>& parts) {
            if (ec) {
                handler(ec, empty_list);
                return;
            }
            std::vector<std::string> names(parts);
            std::sort(names.begin(), names.end());
            names.erase(std::unique(names.begin(), names.end()), names.end());
            handler(ec, names);
        });
    const lp_lookup_handler_t part = [joined](const boost::system::error_code& ec,
                                              const std::vector<std::string>& names) { joined->add(ec, names); };
    get_groups(tag, request, user_dn, part);
    get_primary_group_names(
        tag, request, user_dn,
        [this, tag, request, part](const boost::system::error_code& ec, const std::vector<std::string>& names) {
            if (ec) {
                part(ec, empty_list);
                return;
            }
            part(ec, names);
            get_groups(tag, request, names.front(), part);
        });
}

void lp_ad_client_t::get_groups(const std::string& tag, lp_ldap_search_request_t request, const std::string& dn,
                                const lp_lookup_handler_t& handler)
{
    request.filter = "(member:1.2.840.113556.1.4.1941:=" + escape_filter_value(dn) + ")";
    request.attributes = {"distinguishedName", "sAMAccountName"};
    search(tag, request, false, 2, std::string(), failure_of(handler),
           [handler](const lp_ldap_search_result_t& result) {
               std::vector<std::string> names;
               names.reserve(result.size() * 2);
               for (const lp_ldap_entry_t& entry : result) {
                   names.push_back(entry[0].values.front());
                   names.push_back(entry[1].values.front());
               }
               handler(boost::system::error_code(), names);
           });
}

void lp_ad_client_t::get_primary_group_names(const std::string& tag, lp_ldap_search_request_t request,
                                             const std::string& user_dn, const lp_lookup_handler_t& handler)
{
    request.filter = "(distinguishedName=" + escape_filter_value(user_dn) + ")";
    request.attributes = {"objectSid", "primaryGroupID"};
    auto next = std::make_shared<const lp_ldap_search_request_t>(request);
    search(tag, request, true, 2, "Failed to get objectSid and primaryGroupID for " + quoted(user_dn),
           failure_of(handler), [this, tag, next, handler](const lp_ldap_search_result_t& result) {
               uint32_t rid = 0;
               if (!parse_primary_group_id(result[0][1].values.front(), rid)) {
                   warn(tag, "Failed to convert primaryGroupID to number");
                   handler(make_error_code(LPE_UNEXPECTED_AD_RESULT), empty_list);
                   return;
               }
               get_names_by_sid(tag, *next, escape_sid_bytes(replace_sid_rid(result[0][0].values.front(), rid)),
                                handler);
           });
}

void lp_ad_client_t::get_names_by_sid(const std::string& tag, lp_ldap_search_request_t request,
                                      const std::string& sid, const lp_lookup_handler_t& handler)
{
    request.filter = "(objectSid=" + sid + ")";
    request.attributes = {"distinguishedName", "sAMAccountName"};
    search(tag, request, true, 2, "Failed to find group by objectSid=" + quoted(sid), failure_of(handler),
           [handler](const lp_ldap_search_result_t& result) {
               handler(boost::system::error_code(), {result[0][0].values.front(), result[0][1].values.front()});
           });
}
