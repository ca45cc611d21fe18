#include "lp_ldap_client.h"

#include <unistd.h>

#include <ldap.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <set>
#include <sstream>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "cf_strings.h"
#include "lp_accumulator.h"
#include "lp_inventory.h"
#include "lp_ldap_ties.h"
#include "lp_settings.h"

// Exported by libldap but not declared in its public headers: drops one
// reference to a TLS context.
extern "C" void ldap_pvt_tls_ctx_free(void* ctx);

#if defined(__SANITIZE_ADDRESS__)
// libldap's GnuTLS context set-up never frees the client key and certificate
// it loads (gnutls_certificate_set_x509_key keeps copies of its own): about
// 1 KB each time a context is built with a client certificate. Not ours to
// free; the leak checker is told so.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:gnutls_x509_privkey_init\n"
           "leak:gnutls_x509_crt_init\n";
}
#endif

namespace {

class ldap_url_category_t : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "ldap_url"; }
    std::string message(int ev) const override { return "ldap_url_parse error " + std::to_string(ev); }
};

const ldap_url_category_t ldap_url_category_instance;

const std::string start_tls = "StartTLS";
const std::string extension_marker = "/????";
const std::string critical_start_tls = extension_marker + "!" + start_tls;
const std::vector<std::string> empty_list;

struct url_free_t {
    void operator()(LDAPURLDesc* d) const noexcept { ldap_free_urldesc(d); }
};

bool iequals(const std::string& a, const std::string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

bool starts_with(const std::string& text, const char* head)
{
    return text.compare(0, std::char_traits<char>::length(head), head) == 0;
}

// A connection URL whose binds never travel in the clear.
bool protected_transport(const std::string& url)
{
    return starts_with(url, "ldaps://") || starts_with(url, "ldapi://") ||
           url_extension_suffix(url) == critical_start_tls;
}

std::string quoted(const std::string& path)
{
    std::ostringstream out;
    out << boost::filesystem::path(path);
    return out.str();
}

void log_debug(const std::string& text)
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, text);
}

// Sets one TLS or debug option; a refusal is an Error line and a failed
// configuration.
void set_option(LDAP* ld, int option, const void* value, const char* name)
{
    const int rc = ldap_set_option(ld, option, value);
    if (rc != LDAP_OPT_SUCCESS) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, std::string("ldap_set_option: ") + name + ": " + std::to_string(rc));
        throw boost::system::system_error(make_error_code(LPE_LDAP_OPTION_FAILED));
    }
}

int require_cert_value(qv::CertCheckMode mode)
{
    switch (mode) {
    case qv::CCM_YES:
        return LDAP_OPT_X_TLS_HARD;
    case qv::CCM_ALLOW:
        return LDAP_OPT_X_TLS_ALLOW;
    case qv::CCM_TRY:
        return LDAP_OPT_X_TLS_TRY;
    default:
        return LDAP_OPT_X_TLS_NEVER;
    }
}

void access_or_throw(const std::string& path, int mode)
{
    if (access(path.c_str(), mode) != 0)
        throw boost::filesystem::filesystem_error(
            "access", boost::filesystem::path(path),
            boost::system::error_code(errno, boost::system::system_category()));
}

// Whether the port written in a URL that ldap_url_parse accepted, read as
// libldap reads it (percent-decoded, then as strtol does), lies in 0 to
// 65535. libldap keeps only the low bits of a larger number, so that
// 65536 + 389 would reach port 389.
bool url_port_in_range(const std::string& url)
{
    const std::size_t start = url.find("://");
    if (start == std::string::npos)
        return true;
    const std::size_t end = url.find_first_of("/?", start + 3);
    const std::string hostport =
        url.substr(start + 3, end == std::string::npos ? std::string::npos : end - start - 3);
    std::size_t colon = std::string::npos;
    if (!hostport.empty() && hostport[0] == '[') {
        const std::size_t close = hostport.find(']');
        if (close != std::string::npos && close + 1 < hostport.size() && hostport[close + 1] == ':')
            colon = close + 1;
    } else {
        colon = hostport.find(':');
    }
    if (colon == std::string::npos)
        return true;
    std::string text;
    try {
        text = url_decode(hostport.data() + colon + 1, hostport.size() - colon - 1);
    } catch (const std::exception&) {
        return false;  // a malformed escape, which libldap refuses as well
    }
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
        if (value > 65535)
            return false;
    }
    return !negative || value == 0;
}

template <typename Escape>
std::string substitute(const std::string& text, const std::string& user, const std::string& domain,
                       Escape escape)
{
    std::string out;
    out.reserve(text.size() + user.size() + domain.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '$' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[i + 1]) {
        case '$':
            out += '$';
            break;
        case 'u':
            out += escape(user);
            break;
        case 'd':
            out += escape(domain);
            break;
        case 'D': {
            std::size_t start = 0;
            for (;;) {
                const std::size_t dot = domain.find('.', start);
                out += "dc=";
                out += escape(domain.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
                if (dot == std::string::npos)
                    break;
                out += ',';
                start = dot + 1;
            }
            break;
        }
        default:
            out += '$';
            continue;
        }
        ++i;
    }
    return out;
}

} // namespace

struct lp_ldap_client_t::referral_tree_t {
    std::set<std::pair<std::string, std::string>> searched;  // URL, base DN
};

struct lp_ldap_client_t::opening_t {
    uint64_t generation = 0;  // of the pool when the bind began
    std::vector<lp_ldap_bind_handler_t> waiters;
};

const boost::system::error_category& ldap_url_category() noexcept
{
    return ldap_url_category_instance;
}

void throw_bad_port(const std::string& prefix)
{
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, prefix + "Port number is invalid");
    throw boost::system::system_error(LDAP_URL_ERR_BADURL, ldap_url_category_instance);
}

std::string make_ldap_url(const std::string& scheme, const std::string& host, int port,
                          const std::string& extension)
{
    std::string url = scheme + "://";
    if (scheme != "ldapi") {
        std::string lower(host);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find(':') != std::string::npos)
            url += "[" + lower + "]";
        else
            url += lower;
        url += ":" + std::to_string(port);
    } else {
        // ldap_initialize reads "," and blanks as separators between URLs.
        for (const char c : host) {
            if (c == '%')
                url += "%25";
            else if (c == '/')
                url += "%2f";
            else if (c == '?')
                url += "%3f";
            else if (c == ',')
                url += "%2c";
            else if (c == ' ')
                url += "%20";
            else
                url += c;
        }
    }
    if (!extension.empty())
        url += extension_marker + extension;
    return url;
}

std::string url_extension_suffix(const std::string& url)
{
    const std::size_t at = url.rfind(extension_marker);
    return at == std::string::npos ? std::string() : url.substr(at);
}

std::string escape_filter_value(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
        case '\0':
            out += "\\00";
            break;
        case '(':
            out += "\\28";
            break;
        case ')':
            out += "\\29";
            break;
        case '*':
            out += "\\2a";
            break;
        case '\\':
            out += "\\5c";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string escape_dn_value(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
        case '"':
        case '+':
        case ',':
        case ';':
        case '<':
        case '>':
        case '=':
        case '\\':
            out += '\\';
            out += c;
            break;
        case '#':
            if (i == 0)
                out += '\\';
            out += c;
            break;
        case ' ':
            if (i == 0 || i + 1 == value.size())
                out += '\\';
            out += c;
            break;
        default:
            // Control characters as \XX: the parser would take some of
            // them for blanks around the value.
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                static const char digits[] = "0123456789abcdef";
                out += '\\';
                out += digits[static_cast<unsigned char>(c) >> 4];
                out += digits[c & 0xf];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string substitute_placeholders(const std::string& text, const std::string& user, const std::string& domain)
{
    return substitute(text, user, domain, &escape_filter_value);
}

std::string substitute_dn_placeholders(const std::string& text, const std::string& user,
                                       const std::string& domain)
{
    return substitute(text, user, domain, &escape_dn_value);
}

std::string format_ldap_attribute(const lp_ldap_attribute_t& attribute, bool names)
{
    std::string out;
    if (names)
        out = attribute.name + "=";
    for (std::size_t i = 0; i < attribute.values.size(); ++i) {
        if (i)
            out += ',';
        out += attribute.values[i];
    }
    return out;
}

std::string format_ldap_entry(const lp_ldap_entry_t& entry, bool names)
{
    std::string out;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        if (i)
            out += ',';
        out += format_ldap_attribute(entry[i], names);
    }
    return out;
}

std::vector<std::string> format_ldap_result(const lp_ldap_search_result_t& result, bool names)
{
    std::vector<std::string> out;
    out.reserve(result.size());
    for (const lp_ldap_entry_t& entry : result)
        out.push_back(format_ldap_entry(entry, names));
    return out;
}

std::string check_readable_file(const boost::filesystem::path& path)
{
    if (path.empty())
        return std::string();
    if (!boost::filesystem::is_regular_file(boost::filesystem::status(path))) {
        if (cf_log_threshold <= CF_LOG_ERROR) {
            std::ostringstream out;
            out << "Not a regular file: " << path;
            cf_log_message(CF_LOG_ERROR, out.str());
        }
        throw qv::EC_BAD_CONFIG;
    }
    access_or_throw(path.string(), R_OK);
    return path.string();
}

void libldap_log_print(const char* text)
{
    const std::string all(text ? text : "");
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t nl = all.find('\n', start);
        const std::size_t end = nl == std::string::npos ? all.size() : nl;
        cf_log_message(CF_LOG_DEBUG, "libldap: " + cf_log_escape(all.substr(start, end - start)));
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
}

lp_ldap_client_t::lp_ldap_client_t(lp_inventory_t& inventory) : inventory(inventory)
{
    const int rc = ber_set_option(nullptr, LBER_OPT_LOG_PRINT_FN, reinterpret_cast<const void*>(&libldap_log_print));
    if (rc != LBER_OPT_SUCCESS) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, "ber_set_option: LBER_OPT_LOG_PRINT_FN: " + std::to_string(rc));
        throw boost::system::system_error(make_error_code(LPE_LDAP_OPTION_FAILED));
    }
}

lp_ldap_client_t::~lp_ldap_client_t()
{
    // Connections with a call in flight end their worker here, on the main
    // thread, while the main loop still exists for what they post.
    const std::vector<std::shared_ptr<lp_ldap_tie_t>> busy(pending_ties.begin(), pending_ties.end());
    for (const auto& tie : busy)
        tie->shut_down();
    pending_ties.clear();
    if (tls_handle)
        ldap_unbind_ext(tls_handle, nullptr, nullptr);
}

bool lp_ldap_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->ldap_has_tag(tag);
}

lp_ldap_search_request_t lp_ldap_client_t::request_from_url(const std::string& prefix, const std::string& url)
{
    LDAPURLDesc* parsed = nullptr;
    const int rc = ldap_url_parse(url.c_str(), &parsed);
    const std::unique_ptr<LDAPURLDesc, url_free_t> guard(parsed);
    if (rc != LDAP_URL_SUCCESS)
        throw boost::system::system_error(rc, ldap_url_category_instance);

    const std::string scheme = parsed->lud_scheme ? parsed->lud_scheme : "";
    // An ldapi host is a socket path: nothing in it is a port.
    if (scheme != "ldapi" && (parsed->lud_port < 0 || parsed->lud_port > 65535 || !url_port_in_range(url)))
        throw_bad_port(prefix);
    std::string extension;
    for (char** e = parsed->lud_exts; e && *e; ++e) {
        const std::string written(*e);
        const bool critical = !written.empty() && written[0] == '!';
        const std::string name = critical ? written.substr(1) : written;
        if (scheme == "ldap" && (iequals(name, start_tls) || name == "1.3.6.1.4.1.1466.20037")) {
            extension = critical ? "!" + start_tls : start_tls;
            continue;
        }
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, prefix + "Non-supported extension: " + cf_log_escape(written));
        if (critical)
            throw boost::system::system_error(make_error_code(LPE_UNSUPPORTED_EXTENSION));
    }

    lp_ldap_search_request_t request;
    request.url = make_ldap_url(scheme, parsed->lud_host ? parsed->lud_host : "", parsed->lud_port, extension);
    if (parsed->lud_dn)
        request.base_dn = parsed->lud_dn;
    request.scope = parsed->lud_scope < 0 ? LDAP_SCOPE_BASE : parsed->lud_scope;
    if (parsed->lud_filter)
        request.filter = parsed->lud_filter;
    for (char** a = parsed->lud_attrs; a && *a; ++a)
        request.attributes.emplace_back(*a);
    request.chase_referrals = true;
    return request;
}

void lp_ldap_client_t::lookup(const std::string& tag, const std::string& user, const std::string& domain,
                              const lp_lookup_handler_t& handler)
{
    try {
        const lp_settings_t& settings = *inventory.settings;
        const std::string prefix = log_prefix(tag);
        lp_ldap_search_request_t request = request_from_url(prefix, settings.ldap_url(tag));
        request.bind_dn = settings.ldap_bind_dn(tag);
        request.bind_password = settings.ldap_bind_password(tag);
        request.base_dn = substitute_dn_placeholders(request.base_dn, user, domain);
        request.filter = substitute_placeholders(request.filter, user, domain);
        request.chase_referrals = settings.ldap_chase_referrals(tag);
        const bool names = !(request.attributes.size() == 1 && request.attributes[0] != "*" &&
                             request.attributes[0] != "+");
        search(prefix, request,
               [handler, names](const boost::system::error_code& ec, const lp_ldap_search_result_t& result) {
                   if (ec)
                       handler(ec, empty_list);
                   else
                       handler(ec, format_ldap_result(result, names));
               });
    } catch (const boost::system::system_error& e) {
        boost::asio::post(inventory.io_context, [handler, code = e.code()]() { handler(code, empty_list); });
    }
}

void lp_ldap_client_t::check(const std::string& tag, const std::string& user, const std::string& domain,
                             const std::string& value, const lp_check_handler_t& handler)
{
    lookup(tag, user, domain,
           [handler, value](const boost::system::error_code& ec, const std::vector<std::string>& list) {
               handler(ec, !ec && std::find(list.begin(), list.end(), value) != list.end());
           });
}

void lp_ldap_client_t::release(const std::shared_ptr<lp_ldap_tie_t>& tie)
{
    auto it = pending_ties.find(tie);
    if (it != pending_ties.end())
        pending_ties.erase(it);
}

void lp_ldap_client_t::bind(const lp_ldap_search_request_t& request, const lp_ldap_bind_handler_t& handler)
{
    lp_ldap_ties_t& pool = *inventory.ldap_ties;
    if (std::shared_ptr<lp_ldap_tie_t> tie = pool.get(request.url, request.bind_dn, request.bind_password)) {
        boost::asio::post(inventory.io_context, [handler, tie = std::move(tie)]() { handler({}, tie, true); });
        return;
    }
    const opening_key_t key(request.url, request.bind_dn, request.bind_password);
    const uint64_t generation = pool.generation();
    auto found = openings.find(key);
    if (found != openings.end() && found->second->generation == generation) {
        found->second->waiters.push_back(handler);
        return;
    }
    auto tie = std::make_shared<lp_ldap_tie_t>(inventory);
    if (const boost::system::error_code ec = tie->init(request.url, tls)) {
        boost::asio::post(inventory.io_context, [handler, ec]() { handler(ec, nullptr, false); });
        return;
    }
    auto opening = std::make_shared<opening_t>();
    opening->generation = generation;
    opening->waiters.push_back(handler);
    openings[key] = opening;
    pending_ties.insert(tie);
    tie->bind(request.bind_dn, request.bind_password, [this, tie, opening, key](const boost::system::error_code& ec) {
        release(tie);
        auto it = openings.find(key);
        if (it != openings.end() && it->second == opening)
            openings.erase(it);
        if (!ec)
            inventory.ldap_ties->put(std::get<0>(key), std::get<1>(key), std::get<2>(key), tie, opening->generation);
        const std::shared_ptr<lp_ldap_tie_t> bound = ec ? nullptr : tie;
        for (const lp_ldap_bind_handler_t& waiter : std::exchange(opening->waiters, {}))
            waiter(ec, bound, false);
    });
}

void lp_ldap_client_t::search(const std::string& prefix, const lp_ldap_search_request_t& request,
                              const lp_ldap_search_handler_t& handler)
{
    auto tree = std::make_shared<referral_tree_t>();
    tree->searched.emplace(request.url, request.base_dn);
    search_at(prefix, request, handler, tree, 0);
}

void lp_ldap_client_t::search_at(const std::string& prefix, const lp_ldap_search_request_t& request,
                                 const lp_ldap_search_handler_t& handler,
                                 const std::shared_ptr<referral_tree_t>& tree, int level)
{
    const lp_ldap_ties_t::admission_t admission =
        inventory.ldap_ties->admit(request.url, request.bind_dn, request.bind_password);
    if (admission.pass.refused) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, prefix + admission.refusal);
        boost::asio::post(inventory.io_context,
                          [handler, code = admission.code]() { handler(code, lp_ldap_search_result_t()); });
        return;
    }
    // One copy of the request for every completion.
    attempt(std::make_shared<const tagged_request_t>(prefix, request), handler, tree, level, true,
            admission.pass.probe);
}

namespace {

using outcome_t = lp_server_health_t::outcome_t;

// What a failed opening (setting up and binding a new connection) tells of
// the server: a result code is its answer; no connection, or none in time.
outcome_t opening_outcome(const boost::system::error_code& ec)
{
    if (ldap_timed_out(ec))
        return outcome_t::timed_out;
    if (ldap_connection_lost(ec))
        return outcome_t::unopened;
    if (ec.category() == ldap_category() && ec.value() >= 0)
        return outcome_t::answered;
    return outcome_t::other;
}

// What a search tells of the server: `answered` when part of its result had
// arrived.
outcome_t search_outcome(const boost::system::error_code& ec, bool answered)
{
    if (ldap_timed_out(ec))
        return outcome_t::timed_out;
    return answered ? outcome_t::answered : outcome_t::other;
}

} // namespace

void lp_ldap_client_t::attempt(const std::shared_ptr<const tagged_request_t>& shared,
                               const lp_ldap_search_handler_t& handler, const std::shared_ptr<referral_tree_t>& tree,
                               int level, bool first, uint64_t probe)
{
    bind(shared->second, [this, shared, handler, tree, level, first, probe](
                             const boost::system::error_code& ec, const std::shared_ptr<lp_ldap_tie_t>& tie,
                             bool pooled) {
        const lp_ldap_search_request_t& request = shared->second;
        if (ec) {
            inventory.ldap_ties->settle(request.url, request.bind_dn, request.bind_password, probe,
                                        opening_outcome(ec), ec);
            handler(ec, lp_ldap_search_result_t());
            return;
        }
        pending_ties.insert(tie);
        tie->search(request.base_dn, request.scope, request.filter, request.attributes,
                    [this, tie, shared, handler, tree, level, probe, retry = first && pooled](
                        const boost::system::error_code& ec, lp_ldap_search_result_t& result,
                        std::vector<std::string>& referrals, bool answered) {
                        release(tie);
                        // A pooled connection that the server closed: once
                        // more on a new one, as part of the same request.
                        if (retry && !answered && ldap_connection_lost(ec)) {
                            log_debug(shared->first + "lp_ldap_client_t::search: " + ec.message() +
                                      ", searching again on a new connection");
                            attempt(shared, handler, tree, level, false, probe);
                            return;
                        }
                        const lp_ldap_search_request_t& request = shared->second;
                        inventory.ldap_ties->settle(request.url, request.bind_dn, request.bind_password, probe,
                                                    search_outcome(ec, answered), ec);
                        if (ec || !request.chase_referrals || referrals.empty()) {
                            handler(ec, result);
                            return;
                        }
                        auto joined =
                            std::make_shared<lp_accumulator_t<lp_ldap_search_result_t>>(referrals.size() + 1, handler);
                        joined->add_part(result);
                        follow_referrals(
                            shared->first, request, referrals,
                            [joined](const lp_ldap_search_result_t& part) { joined->add_part(part); }, tree,
                            level + 1);
                    });
    });
}

void lp_ldap_client_t::follow_referrals(const std::string& prefix, const lp_ldap_search_request_t& request,
                                        const std::vector<std::string>& urls,
                                        const std::function<void(const lp_ldap_search_result_t&)>& part,
                                        const std::shared_ptr<referral_tree_t>& tree, int level)
{
    const std::string head = prefix + "lp_ldap_client_t::follow_referrals: ";
    for (const std::string& url : urls) {
        log_debug(head + cf_log_escape(url));
        try {
            lp_ldap_search_request_t r = request_from_url(prefix, url);
            const std::string own = url_extension_suffix(r.url);
            if (starts_with(r.url, "ldap://") && protected_transport(request.url)) {
                // Whatever the referral names: never a password in the clear.
                r.url.erase(r.url.size() - own.size());
                r.url += critical_start_tls;
            } else if (own.empty()) {
                r.url += url_extension_suffix(request.url);
            }
            r.bind_dn = request.bind_dn;
            r.bind_password = request.bind_password;
            r.attributes = request.attributes;
            r.scope = request.scope;
            r.filter = request.filter;
            if (level > max_referral_level) {
                log_debug(head + "not followed, more than " + std::to_string(max_referral_level) +
                          " levels deep: " + cf_log_escape(url));
                part(lp_ldap_search_result_t());
                continue;
            }
            if (!tree->searched.emplace(r.url, r.base_dn).second) {
                log_debug(head + "not followed, searched already: " + cf_log_escape(url));
                part(lp_ldap_search_result_t());
                continue;
            }
            search_at(prefix, r,
                      [part](const boost::system::error_code&, const lp_ldap_search_result_t& result) {
                          part(result);
                      },
                      tree, level);
        } catch (const boost::system::system_error& e) {
            log_debug(head + cf_log_escape(exception_text(e)));
            part(lp_ldap_search_result_t());
        }
    }
}

void lp_ldap_client_t::reconfigure()
{
    const lp_settings_t& settings = *inventory.settings;

    const int level = (cf_log_threshold <= CF_LOG_DEBUG && settings.debug_libldap()) ? -1 : 0;
    set_option(nullptr, LDAP_OPT_DEBUG_LEVEL, &level, "LDAP_OPT_DEBUG_LEVEL");

    // TLS settings go to a private handle whose new context later
    // connections take; the global context is never replaced.
    LDAP* handle = nullptr;
    const int rc = ldap_initialize(&handle, nullptr);
    std::unique_ptr<LDAP, void (*)(LDAP*)> guard(handle, [](LDAP* ld) {
        if (ld)
            ldap_unbind_ext(ld, nullptr, nullptr);
    });
    if (rc != LDAP_SUCCESS) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, std::string("ldap_initialize: ") + ldap_err2string(rc));
        throw boost::system::system_error(make_error_code(LPE_LDAP_OPTION_FAILED));
    }

    const qv::CertCheckMode mode = settings.ldap_check_certificate();
    const int require_cert = require_cert_value(mode);
    set_option(handle, LDAP_OPT_X_TLS_REQUIRE_CERT, &require_cert, "LDAP_OPT_X_TLS_REQUIRE_CERT");
    log_debug("Certificate checking mode: " + enum_name(mode));

    std::string ca_path = settings.ldap_ca_path();
    if (mode == qv::CCM_NO)
        ca_path.clear();
    bool ca_directory = false;
    if (!ca_path.empty()) {
        const boost::filesystem::file_status status = boost::filesystem::status(ca_path);
        if (boost::filesystem::is_directory(status)) {
            access_or_throw(ca_path, X_OK);
            ca_directory = true;
        } else if (boost::filesystem::is_regular_file(status)) {
            access_or_throw(ca_path, R_OK);
        } else {
            if (cf_log_threshold <= CF_LOG_ERROR)
                cf_log_message(CF_LOG_ERROR, "File is not regular or directory: " + quoted(ca_path));
            throw qv::EC_BAD_CONFIG;
        }
    }
    set_option(handle, LDAP_OPT_X_TLS_CACERTFILE, !ca_path.empty() && !ca_directory ? ca_path.c_str() : nullptr,
               "LDAP_OPT_X_TLS_CACERTFILE");
    set_option(handle, LDAP_OPT_X_TLS_CACERTDIR, ca_directory ? ca_path.c_str() : nullptr,
               "LDAP_OPT_X_TLS_CACERTDIR");
    log_debug(std::string("CA certificates ") + (ca_directory ? "directory: " : "file: ") + quoted(ca_path));

    const std::string key = check_readable_file(settings.ldap_key_path());
    const std::string cert = check_readable_file(settings.ldap_certificate_path());
    const bool both = !cert.empty() && !key.empty();
    set_option(handle, LDAP_OPT_X_TLS_CERTFILE, both ? cert.c_str() : nullptr, "LDAP_OPT_X_TLS_CERTFILE");
    log_debug("Certificate file: " + quoted(cert));
    set_option(handle, LDAP_OPT_X_TLS_KEYFILE, both ? key.c_str() : nullptr, "LDAP_OPT_X_TLS_KEYFILE");
    log_debug("Certificate key file: " + quoted(key));
    if (cert.empty() != key.empty() && cf_log_threshold <= CF_LOG_WARNING)
        cf_log_message(CF_LOG_WARNING,
                       "LdapCertificatePath and LdapKeyPath parameters are not provided together. Both will be ignored");

    const int client = 0;
    set_option(handle, LDAP_OPT_X_TLS_NEWCTX, &client, "LDAP_OPT_X_TLS_NEWCTX");
    void* ctx = nullptr;
    ldap_get_option(handle, LDAP_OPT_X_TLS_CTX, &ctx);
    // The private handle keeps the context; the reference the read took goes.
    if (ctx)
        ldap_pvt_tls_ctx_free(ctx);

    if (tls_handle)
        ldap_unbind_ext(tls_handle, nullptr, nullptr);
    tls_handle = guard.release();
    tls.require_cert = require_cert;
    tls.ctx = ctx;

    if (mode == qv::CCM_NO && (settings.ldap_has_tags() || settings.ad_has_tags()) &&
        cf_log_threshold <= CF_LOG_WARNING)
        cf_log_message(CF_LOG_WARNING, "LdapCheckCertificate is No: server certificates are not checked");

    // Pooled connections were bound and set up under the old settings.
    inventory.ldap_ties->clear();
}
