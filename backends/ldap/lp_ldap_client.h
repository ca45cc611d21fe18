// The LDAP back-end (lookup type 0): turns a tag's LDAP URL into a search,
// puts the user and domain into its base and filter, searches through a
// pooled connection, follows the referrals the server returns, and answers
// one text per entry. It also runs the directory searches of the Active
// Directory back-end and sets libldap's options at each configuration.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/core/noncopyable.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "lp_client_base.h"
#include "lp_ldap_tie.h"

class lp_inventory_t;

struct lp_ldap_search_request_t {
    std::string url;  // from make_ldap_url; with bind_dn (and the password) the pool key
    std::string bind_dn;
    std::string bind_password;
    std::string base_dn;
    std::vector<std::string> attributes;
    int scope = 0;
    std::string filter;  // empty: none
    bool chase_referrals = true;
};

using lp_ldap_search_handler_t =
    std::function<void(const boost::system::error_code&, const lp_ldap_search_result_t&)>;
// `pooled`: the connection was taken from the pool, bound before.
using lp_ldap_bind_handler_t =
    std::function<void(const boost::system::error_code&, const std::shared_ptr<lp_ldap_tie_t>&, bool pooled)>;

// Results of ldap_url_parse.
const boost::system::error_category& ldap_url_category() noexcept;

class lp_ldap_client_t : public lp_client_base_t, private boost::noncopyable {
public:
    // How deep referrals are followed below the search that started them.
    static constexpr int max_referral_level = 10;

    explicit lp_ldap_client_t(lp_inventory_t& inventory);
    ~lp_ldap_client_t() override;

    void lookup(const std::string& tag, const std::string& user, const std::string& domain,
                const lp_lookup_handler_t& handler) override;
    void check(const std::string& tag, const std::string& user, const std::string& domain,
               const std::string& value, const lp_check_handler_t& handler) override;
    void reconfigure() override;
    bool has_tag(const std::string& tag) override;
    int lookup_type() const override { return 0; }

    // One search with binding, pooling and referral following; the handler
    // runs once, on the main loop, never inside the call. Every line logged
    // for it starts with `prefix`, the log prefix of the back-end and tag it
    // is made for. While the key's server is suspect (it timed out or could
    // not be reached) and another request probes it, the search fails at
    // once with the code of that failure.
    void search(const std::string& prefix, const lp_ldap_search_request_t& request,
                const lp_ldap_search_handler_t& handler);
    // A bound connection for the request's URL and credentials: the pooled
    // one, or the one being opened for them (a request arriving meanwhile
    // waits for it and shares its outcome), or a new one.
    void bind(const lp_ldap_search_request_t& request, const lp_ldap_bind_handler_t& handler);
    // Throws boost::system::system_error; lines it logs start with `prefix`.
    lp_ldap_search_request_t request_from_url(const std::string& prefix, const std::string& url);

private:
    // The servers and bases searched for one search and its referrals.
    struct referral_tree_t;
    // A connection being opened and bound, and the requests waiting for it.
    struct opening_t;
    using opening_key_t = std::tuple<std::string, std::string, std::string>;  // URL, bind DN, password
    // The log prefix of the search's owner, and the request.
    using tagged_request_t = std::pair<std::string, lp_ldap_search_request_t>;

    // One search through the health record of its key.
    void search_at(const std::string& prefix, const lp_ldap_search_request_t& request,
                   const lp_ldap_search_handler_t& handler, const std::shared_ptr<referral_tree_t>& tree,
                   int level);
    // One attempt of the search; a pooled connection found lost before any
    // part of the result arrived makes a second one, if `first`. The record
    // hears of the outcome of the last attempt; `probe` is the pass's.
    void attempt(const std::shared_ptr<const tagged_request_t>& request, const lp_ldap_search_handler_t& handler,
                 const std::shared_ptr<referral_tree_t>& tree, int level, bool first, uint64_t probe);
    void follow_referrals(const std::string& prefix, const lp_ldap_search_request_t& request,
                          const std::vector<std::string>& urls,
                          const std::function<void(const lp_ldap_search_result_t&)>& part,
                          const std::shared_ptr<referral_tree_t>& tree, int level);
    void release(const std::shared_ptr<lp_ldap_tie_t>& tie);

    lp_inventory_t& inventory;
    // One entry per bind or search in flight.
    std::multiset<std::shared_ptr<lp_ldap_tie_t>> pending_ties;
    // At most one per key, for the configuration it began under.
    std::map<opening_key_t, std::shared_ptr<opening_t>> openings;
    // The private handle that owns the client TLS context of the current
    // configuration, and what new connections take from it.
    struct ldap* tls_handle = nullptr;
    lp_ldap_tls_t tls;
};

// The bad-URL error of ldap_url_category(), after the Error line "Port number
// is invalid" with the prefix: for a port outside 0 to 65535.
[[noreturn]] void throw_bad_port(const std::string& prefix);
std::string make_ldap_url(const std::string& scheme, const std::string& host, int port,
                          const std::string& extension);
// RFC 4515: NUL ( ) * and backslash as \XX.
std::string escape_filter_value(const std::string& value);
// RFC 4514: one attribute value of a DN.
std::string escape_dn_value(const std::string& value);
// $u, $d, $D and $$ in a filter, values escaped for a filter.
std::string substitute_placeholders(const std::string& text, const std::string& user, const std::string& domain);
// The same in a base DN, values escaped for a DN.
std::string substitute_dn_placeholders(const std::string& text, const std::string& user,
                                       const std::string& domain);
std::string url_extension_suffix(const std::string& url);
std::string format_ldap_attribute(const lp_ldap_attribute_t& attribute, bool names);
std::string format_ldap_entry(const lp_ldap_entry_t& entry, bool names);
std::vector<std::string> format_ldap_result(const lp_ldap_search_result_t& result, bool names);

// The path's text once it names a readable regular file ("" stays "").
std::string check_readable_file(const boost::filesystem::path& path);
// liblber's printer: one Debug line per line of libldap's output.
void libldap_log_print(const char* text);
