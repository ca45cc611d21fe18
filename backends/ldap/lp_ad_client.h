// The Active Directory back-end (lookup type 1): the groups of a user, nested
// ones and the primary group with its parents included, each by DN and by
// sAMAccountName. Every search goes through the LDAP client, so through its
// pool and worker threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>

#include "lp_client_base.h"
#include "lp_ldap_client.h"

class lp_inventory_t;

using lp_ad_dn_handler_t = std::function<void(const boost::system::error_code&, const std::string& dn)>;

class lp_ad_client_t : public lp_client_base_t, private boost::noncopyable {
public:
    explicit lp_ad_client_t(lp_inventory_t& inventory) : inventory(inventory) {}
    ~lp_ad_client_t() override = default;

    void lookup(const std::string& tag, const std::string& user, const std::string& domain,
                const lp_lookup_handler_t& handler) override;
    void check(const std::string& tag, const std::string& user, const std::string& domain,
               const std::string& value, const lp_check_handler_t& handler) override;
    void reconfigure() override {}
    bool has_tag(const std::string& tag) override;
    int lookup_type() const override { return 1; }

    void get_user_dn(const std::string& tag, lp_ldap_search_request_t request, const std::string& user,
                     const std::string& domain, const lp_ad_dn_handler_t& handler);
    void get_user_groups(const std::string& tag, const lp_ldap_search_request_t& request,
                         const std::string& user_dn, const lp_lookup_handler_t& handler);
    void get_groups(const std::string& tag, lp_ldap_search_request_t request, const std::string& dn,
                    const lp_lookup_handler_t& handler);
    void get_primary_group_names(const std::string& tag, lp_ldap_search_request_t request,
                                 const std::string& user_dn, const lp_lookup_handler_t& handler);
    void get_names_by_sid(const std::string& tag, lp_ldap_search_request_t request, const std::string& sid,
                          const lp_lookup_handler_t& handler);

private:
    using failure_handler_t = std::function<void(const boost::system::error_code&)>;
    using result_handler_t = std::function<void(const lp_ldap_search_result_t&)>;

    lp_ldap_search_request_t make_request(const std::string& tag) const;
    // One search of a lookup: its error, a result of another shape than
    // check_result_shape (single, n) accepts and, when not_found is not
    // empty, no entry (with not_found as a Warning) go to fail; any other
    // result goes to done.
    void search(const std::string& tag, const lp_ldap_search_request_t& request, bool single, std::size_t n,
                const std::string& not_found, const failure_handler_t& fail, const result_handler_t& done);
    void warn(const std::string& tag, const std::string& text) const;

    lp_inventory_t& inventory;
};

// At most one entry when single; every entry n attributes of one non-empty
// value each.
bool check_result_shape(const lp_ldap_search_result_t& result, bool single, std::size_t n);
// The domain of a DN: its trailing DC= pieces joined with "." ("" when none).
std::string ad_dn_domain(const std::string& dn);
// primaryGroupID as an unsigned 32-bit number; false for any other text.
bool parse_primary_group_id(const std::string& text, uint32_t& value);
// The SID with its last four bytes (the RID) replaced, little-endian.
std::string replace_sid_rid(std::string sid, uint32_t rid);
// "\xx" for every byte.
std::string escape_sid_bytes(const std::string& sid);
// Equal without regard to case, whatever the locale: UTF-8 code points by
// their Unicode simple case folding, any other bytes as they are.
bool ad_iequals(const std::string& a, const std::string& b);
