#include "lp_ldap_tie.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>

#include <ldap.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "lp_client_base.h"
#include "lp_inventory.h"

namespace {

class ldap_category_t : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "ldap"; }
    std::string message(int ev) const override { return ldap_err2string(ev); }
};

const ldap_category_t ldap_category_instance;

boost::system::error_code ldap_code(int rc)
{
    return boost::system::error_code(rc, ldap_category_instance);
}

struct msg_free_t {
    void operator()(LDAPMessage* m) const noexcept { ldap_msgfree(m); }
};

// Failures after which nothing is known of the handle's state: the
// connection is gone or timed out, or libldap failed on it locally.
bool leaves_state_unknown(const boost::system::error_code& ec) noexcept
{
    if (ec.category() != ldap_category_instance)
        return false;
    switch (ec.value()) {
    case LDAP_SERVER_DOWN:
    case LDAP_CONNECT_ERROR:
    case LDAP_TIMEOUT:
    case LDAP_LOCAL_ERROR:
    case LDAP_ENCODING_ERROR:
    case LDAP_DECODING_ERROR:
    case LDAP_NO_MEMORY:
        return true;
    default:
        return false;
    }
}

int64_t now_ns() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// Connection callbacks: the socket of a new connection, and its end.
int lp_ldap_tie_on_connect(LDAP*, Sockbuf* sb, LDAPURLDesc*, struct sockaddr*, struct ldap_conncb* cb)
{
    auto* tie = static_cast<lp_ldap_tie_t*>(cb->lc_arg);
    ber_socket_t fd = -1;
    if (ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) == 1) {
        std::lock_guard<std::mutex> lock(tie->socket_mutex);
        tie->socket_fd = fd;
    }
    return 0;
}

void lp_ldap_tie_on_disconnect(LDAP*, Sockbuf*, struct ldap_conncb* cb)
{
    auto* tie = static_cast<lp_ldap_tie_t*>(cb->lc_arg);
    std::lock_guard<std::mutex> lock(tie->socket_mutex);
    tie->socket_fd = -1;
}

const boost::system::error_category& ldap_category() noexcept
{
    return ldap_category_instance;
}

bool ldap_connection_lost(const boost::system::error_code& ec) noexcept
{
    return ec.category() == ldap_category_instance &&
           (ec.value() == LDAP_SERVER_DOWN || ec.value() == LDAP_CONNECT_ERROR);
}

bool ldap_timed_out(const boost::system::error_code& ec) noexcept
{
    return ec.category() == ldap_category_instance && ec.value() == LDAP_TIMEOUT;
}

lp_ldap_tie_t::lp_ldap_tie_t(lp_inventory_t& inventory)
    : inventory(inventory), callbacks(new ldap_conncb{&lp_ldap_tie_on_connect, &lp_ldap_tie_on_disconnect, this}),
      watchdog(inventory.io_context)
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, prefix() + "created");
}

lp_ldap_tie_t::~lp_ldap_tie_t()
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, prefix() + "destroyed");
    shut_down();
    if (ld)
        ldap_unbind_ext(ld, nullptr, nullptr);
}

std::string lp_ldap_tie_t::prefix() const
{
    std::ostringstream out;
    out << "lp_ldap_tie_t " << static_cast<const void*>(this) << ": ";
    return out.str();
}

void lp_ldap_tie_t::shut_down()
{
    watchdog.cancel();
    io.stop();
    // The main loop no longer runs the watchdog: the wait for a call in
    // progress is bounded here.
    if (worker.joinable()) {
        while (!worker.try_join_for(boost::chrono::milliseconds(100)))
            cut_overdue_call();
    }
    // Jobs that never ran drop their handlers here, on the main thread.
    stopped = true;
    io.restart();
    io.poll();
}

boost::system::error_code lp_ldap_tie_t::init(const std::string& url, const lp_ldap_tls_t& tls)
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, prefix() + "init: " + cf_log_escape(url));
    const boost::system::error_code ec = do_init(url, tls);
    if (ec) {
        usable = false;
        return ec;
    }
    worker = boost::thread([this] { run_worker(); });
    arm_watchdog();
    return ec;
}

void lp_ldap_tie_t::arm_watchdog()
{
    watchdog.expires_after(std::chrono::seconds(1));
    watchdog.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
        if (ec)
            return;
        if (const std::shared_ptr<lp_ldap_tie_t> self = weak.lock()) {
            self->cut_overdue_call();
            self->arm_watchdog();
        }
    });
}

int64_t lp_ldap_tie_t::begin_call() noexcept
{
    const int64_t started = now_ns();
    call_started = started;
    return started;
}

bool lp_ldap_tie_t::end_call(int64_t started) noexcept
{
    call_started = 0;
    return call_cut.load() == started;
}

void lp_ldap_tie_t::cut_overdue_call()
{
    const int64_t started = call_started;
    if (started == 0 || now_ns() - started < int64_t(call_limit_s) * 1000000000)
        return;
    std::lock_guard<std::mutex> lock(socket_mutex);
    if (socket_fd < 0)
        return;
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, prefix() + "call takes longer than " + std::to_string(call_limit_s) +
                                         " s, socket shut down");
    // Marked before the shutdown, which ends the call.
    call_cut = started;
    ::shutdown(socket_fd, SHUT_RDWR);
}

boost::system::error_code lp_ldap_tie_t::do_init(const std::string& url, const lp_ldap_tls_t& tls)
{
    const int rc = ldap_initialize(&ld, url.c_str());
    if (rc != LDAP_SUCCESS) {
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, prefix() + "ldap_initialize: " + ldap_err2string(rc));
        return ldap_code(rc);
    }
    struct option_t {
        int option;
        const void* value;
        const char* name;
    };
    const int version = LDAP_VERSION3;
    const timeval network_timeout{network_timeout_s, 0};
    const timeval operation_timeout{operation_timeout_s, 0};
    const option_t options[] = {
        {LDAP_OPT_PROTOCOL_VERSION, &version, "LDAP_OPT_PROTOCOL_VERSION"},
        {LDAP_OPT_REFERRALS, LDAP_OPT_OFF, "LDAP_OPT_REFERRALS"},
        {LDAP_OPT_NETWORK_TIMEOUT, &network_timeout, "LDAP_OPT_NETWORK_TIMEOUT"},
        {LDAP_OPT_TIMEOUT, &operation_timeout, "LDAP_OPT_TIMEOUT"},
        {LDAP_OPT_CONNECT_CB, callbacks.get(), "LDAP_OPT_CONNECT_CB"},
        {LDAP_OPT_X_TLS_REQUIRE_CERT, &tls.require_cert, "LDAP_OPT_X_TLS_REQUIRE_CERT"},
        {LDAP_OPT_X_TLS_CTX, tls.ctx, "LDAP_OPT_X_TLS_CTX"},
    };
    for (const option_t& o : options) {
        if (o.option == LDAP_OPT_X_TLS_CTX && !o.value)
            continue;
        const int r = ldap_set_option(ld, o.option, o.value);
        if (r != LDAP_OPT_SUCCESS) {
            if (cf_log_threshold <= CF_LOG_DEBUG)
                cf_log_message(CF_LOG_DEBUG, prefix() + "ldap_set_option: " + o.name + ": " + std::to_string(r));
            return make_error_code(LPE_LDAP_OPTION_FAILED);
        }
    }
    return boost::system::error_code();
}

void lp_ldap_tie_t::run_worker()
{
    try {
        auto work = boost::asio::make_work_guard(io);
        boost::system::error_code ec;
        io.run(ec);
        if (ec)
            throw boost::system::system_error(ec);
    } catch (const std::exception&) {
        boost::asio::post(inventory.io_context,
                          [e = std::current_exception()]() { std::rethrow_exception(e); });
    }
}

template <typename Call>
boost::system::error_code lp_ldap_tie_t::run_call(const char* name, Call&& call)
{
    if (broken) {
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, prefix() + name + ": not sent, the connection failed: " + broken.message());
        return broken;
    }
    state_unknown = false;
    const int64_t started = begin_call();
    boost::system::error_code ec = call();
    // A call cut short by the watchdog ran out of time.
    if (end_call(started))
        ec = ldap_code(LDAP_TIMEOUT);
    // A result code from the server is an answer: the connection stays.
    if (ec && (state_unknown || leaves_state_unknown(ec))) {
        usable = false;
        if (ldap_connection_lost(ec) || ldap_timed_out(ec))
            broken = ec;
    }
    return ec;
}

void lp_ldap_tie_t::bind(const std::string& dn, const std::string& password, bind_handler_t handler)
{
    // The job refers to the connection by address and hands its handler,
    // the only owning reference it carries, on to the main loop.
    boost::asio::post(io, [this, dn, password, handler = std::move(handler)]() mutable {
        if (stopped)
            return;
        const boost::system::error_code ec = run_call("do_bind", [&] { return do_bind(dn, password); });
        boost::asio::post(inventory.io_context,
                          [h = std::exchange(handler, nullptr), ec]() { h(ec); });
    });
}

void lp_ldap_tie_t::search(const std::string& base, int scope, const std::string& filter,
                           const std::vector<std::string>& attributes, search_handler_t handler)
{
    boost::asio::post(io, [this, base, scope, filter, attributes, handler = std::move(handler)]() mutable {
        if (stopped)
            return;
        lp_ldap_search_result_t result;
        std::vector<std::string> referrals;
        bool answered = false;
        const boost::system::error_code ec = run_call(
            "do_search", [&] { return do_search(base, scope, filter, attributes, result, referrals, answered); });
        boost::asio::post(inventory.io_context,
                          [h = std::exchange(handler, nullptr), ec, r = std::move(result),
                           refs = std::move(referrals), answered]() mutable { h(ec, r, refs, answered); });
    });
}

boost::system::error_code lp_ldap_tie_t::do_bind(const std::string& dn, const std::string& password)
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, prefix() + "do_bind: \"" + cf_log_escape(dn) + "\"");
    std::vector<char> buffer(password.begin(), password.end());
    buffer.push_back('\0');
    berval credential;
    credential.bv_len = password.size();
    credential.bv_val = password.empty() ? nullptr : buffer.data();
    const int rc = ldap_sasl_bind_s(ld, dn.empty() ? nullptr : dn.c_str(), LDAP_SASL_SIMPLE, &credential,
                                    nullptr, nullptr, nullptr);
    std::fill(buffer.begin(), buffer.end(), '\0');
    const boost::system::error_code ec = ldap_code(rc);
    if (ec) {
        // A connection whose bind failed is never used again.
        state_unknown = true;
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, prefix() + "ldap_sasl_bind_s: " + ec.message());
    }
    return ec;
}

boost::system::error_code lp_ldap_tie_t::do_search(const std::string& base, int scope, const std::string& filter,
                                                   const std::vector<std::string>& attributes,
                                                   lp_ldap_search_result_t& result,
                                                   std::vector<std::string>& referrals, bool& answered)
{
    if (cf_log_threshold <= CF_LOG_DEBUG) {
        std::string names;
        for (const std::string& a : attributes) {
            if (!names.empty())
                names += ',';
            names += a;
        }
        cf_log_message(CF_LOG_DEBUG, prefix() + "do_search: \"" + cf_log_escape(base) + "\" " +
                                         std::to_string(scope) + " \"" + cf_log_escape(filter) + "\" \"" +
                                         cf_log_escape(names) + "\"");
    }
    std::vector<char*> names;
    names.reserve(attributes.size() + 1);
    for (const std::string& a : attributes)
        names.push_back(const_cast<char*>(a.c_str()));
    names.push_back(nullptr);

    // A search that fails yields nothing, whatever arrived before.
    const auto failed = [&](const boost::system::error_code& ec) {
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, prefix() + "ldap_search_ext_s: " + ec.message());
        result.clear();
        referrals.clear();
        return ec;
    };
    int id = 0;
    const int rc = ldap_search_ext(ld, base.c_str(), scope, filter.empty() ? nullptr : filter.c_str(), names.data(),
                                   0, nullptr, nullptr, nullptr, 0, &id);
    if (rc != LDAP_SUCCESS)
        return failed(ldap_code(rc));

    // Message by message, so that the caller learns whether any part of the
    // result had arrived when a search fails.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(operation_timeout_s);
    for (;;) {
        const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                   deadline - std::chrono::steady_clock::now());
        const auto left_us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
        timeval wait{time_t(left_us / 1000000), suseconds_t(left_us % 1000000)};
        LDAPMessage* message = nullptr;
        const int type = ldap_result(ld, id, LDAP_MSG_ONE, &wait, &message);
        const std::unique_ptr<LDAPMessage, msg_free_t> guard(message);
        if (type == 0) {
            ldap_abandon_ext(ld, id, nullptr, nullptr);
            return failed(ldap_code(LDAP_TIMEOUT));
        }
        if (type < 0) {
            state_unknown = true;
            const boost::system::error_code ec = last_error();
            return failed(ec ? ec : ldap_code(LDAP_OTHER));
        }
        answered = true;
        if (type == LDAP_RES_SEARCH_RESULT) {
            int code = LDAP_SUCCESS;
            const int parsed = ldap_parse_result(ld, message, &code, nullptr, nullptr, nullptr, nullptr, 0);
            if (parsed != LDAP_SUCCESS) {
                state_unknown = true;
                code = parsed;
            }
            return code == LDAP_SUCCESS ? boost::system::error_code() : failed(ldap_code(code));
        }
        if (const boost::system::error_code ec = process_messages(message, attributes, result, referrals)) {
            state_unknown = true;
            ldap_abandon_ext(ld, id, nullptr, nullptr);
            return ec;
        }
    }
}

boost::system::error_code lp_ldap_tie_t::process_messages(LDAPMessage* chain,
                                                          const std::vector<std::string>& attributes,
                                                          lp_ldap_search_result_t& result,
                                                          std::vector<std::string>& referrals)
{
    try {
        for (LDAPMessage* m = ldap_first_message(ld, chain); m; m = ldap_next_message(ld, m)) {
            switch (ldap_msgtype(m)) {
            case LDAP_RES_SEARCH_ENTRY:
                process_entry(m, attributes, result);
                break;
            case LDAP_RES_SEARCH_REFERENCE:
                process_reference(m, referrals);
                break;
            default:
                break;
            }
        }
    } catch (const boost::system::system_error& e) {
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, prefix() + cf_log_escape(exception_text(e)));
        return e.code();
    }
    return boost::system::error_code();
}

namespace {

// A caught failure that libldap left without a code is still a failure.
[[noreturn]] void throw_failure(boost::system::error_code ec, const char* context)
{
    if (!ec)
        ec = boost::system::error_code(LDAP_DECODING_ERROR, ldap_category());
    throw boost::system::system_error(ec, context);
}

} // namespace

void lp_ldap_tie_t::process_entry(LDAPMessage* entry, const std::vector<std::string>& attributes,
                                  lp_ldap_search_result_t& result)
{
    lp_ldap_entry_t out;
    BerElement* ber = nullptr;
    for (char* name = ldap_first_attribute(ld, entry, &ber); name; name = ldap_next_attribute(ld, entry, ber)) {
        const std::unique_ptr<char, void (*)(void*)> name_guard(name, &ldap_memfree);
        lp_ldap_attribute_t attribute;
        attribute.name = name;
        if (get_values(entry, name, attribute.values))
            out.push_back(std::move(attribute));
    }
    if (ber)
        ber_free(ber, 0);
    if (const boost::system::error_code ec = last_error())
        throw_failure(ec, "process_entry");

    const auto key = [&attributes](const lp_ldap_attribute_t& a) {
        return std::find(attributes.begin(), attributes.end(), a.name) - attributes.begin();
    };
    std::stable_sort(out.begin(), out.end(),
                     [&key](const lp_ldap_attribute_t& a, const lp_ldap_attribute_t& b) { return key(a) < key(b); });
    result.push_back(std::move(out));
}

bool lp_ldap_tie_t::get_values(LDAPMessage* entry, const char* name, std::vector<std::string>& values)
{
    berval** list = ldap_get_values_len(ld, entry, name);
    if (!list) {
        const boost::system::error_code ec = last_error();
        if (!ec)
            return false;  // an attribute without values
        throw_failure(ec, "ldap_get_values_len");
    }
    const int count = ldap_count_values_len(list);
    values.reserve(count);
    for (int i = 0; i < count; ++i)
        values.emplace_back(list[i]->bv_val, list[i]->bv_len);
    ldap_value_free_len(list);
    return true;
}

void lp_ldap_tie_t::process_reference(LDAPMessage* message, std::vector<std::string>& referrals)
{
    char** refs = nullptr;
    if (ldap_parse_reference(ld, message, &refs, nullptr, 0) != LDAP_SUCCESS)
        throw_failure(last_error(), "ldap_parse_reference");
    if (!refs)
        return;
    for (char** r = refs; *r; ++r)
        referrals.emplace_back(*r);
    ber_memvfree(reinterpret_cast<void**>(refs));
}

boost::system::error_code lp_ldap_tie_t::last_error()
{
    int n = LDAP_SUCCESS;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &n);
    return ldap_code(n);
}
