#include "db/lp_db_client.h"

#include <algorithm>
#include <limits>
#include <locale>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/post.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

lp_db_error_t::lp_db_error_t(qv::ErrorCode code, bool fatal_, bool timed_out_)
    : boost::system::system_error(qv::make_error_code(code)), fatal(fatal_ || timed_out_), timed_out(timed_out_)
{
}

void lp_expand_template(const std::string& request, const std::string& user, const std::string& domain,
                        lp_emit_placeholder_t emit, void* context, std::vector<std::string>& params,
                        std::string& text, const std::string& log_prefix)
{
    text.clear();
    text.reserve(request.size() + 8);
    const bool debug = cf_log_threshold <= CF_LOG_DEBUG;
    bool after_dollar = false;
    for (const char c : request) {
        if (c == '$') {
            if (after_dollar) {
                // "$$": the "$" already written stands for both.
                if (debug)
                    cf_log_message(CF_LOG_DEBUG, log_prefix + "$$ placeholder found");
                after_dollar = false;
            } else {
                text += '$';
                after_dollar = true;
            }
        } else if (after_dollar && (c == 'u' || c == 'U')) {
            if (debug)
                cf_log_message(CF_LOG_DEBUG,
                               log_prefix + "$u placeholder found, user = \"" + cf_log_escape(user) + "\"");
            emit(context, text, user);
            params.push_back(user);
            after_dollar = false;
        } else if (after_dollar && (c == 'd' || c == 'D')) {
            if (debug)
                cf_log_message(CF_LOG_DEBUG,
                               log_prefix + "$d placeholder found, domain = \"" + cf_log_escape(domain) + "\"");
            emit(context, text, domain);
            params.push_back(domain);
            after_dollar = false;
        } else {
            text += c;
            after_dollar = false;
        }
    }
    boost::algorithm::trim_if(text, boost::algorithm::is_space(std::locale()));
}

lp_db_client_t::lp_db_client_t(lp_inventory_t& inventory_) : inventory(inventory_) {}

lp_db_client_t::~lp_db_client_t() = default;

std::string lp_db_client_t::pool_discriminator(const std::string&)
{
    return std::string();
}

void lp_db_client_t::emit_placeholder(std::string& text, const std::string&)
{
    text.back() = '?';
}

const std::string& lp_db_client_t::effective_conn(const std::string& tag)
{
    const std::string& conn = conn_for_tag(tag);
    return conn.empty() ? default_conn() : conn;
}

const std::string& lp_db_client_t::pool_key(const std::string& tag, const std::string& conn)
{
    const std::string discriminator = pool_discriminator(tag);
    // Keys never collide, whatever NUL bytes a configured string holds: a
    // discriminator (free of NUL) comes first and ends at a NUL; a string
    // holding a NUL without one starts with a NUL.
    if (discriminator.empty()) {
        if (conn.find('\0') == std::string::npos)
            return conn;
        key_text.assign(1, '\0').append(conn);
    } else {
        key_text.assign(discriminator).append(1, '\0').append(conn);
    }
    return key_text;
}

lp_db_conn_context_t lp_db_client_t::conn_context(const std::string& tag) const
{
    lp_db_conn_context_t context;
    context.log_prefix = log_prefix(tag);
    context.type_text = enum_name(static_cast<lp::LookupType>(lookup_type()));
    context.default_port = default_port();
    context.user_in_description = user_in_description();
    return context;
}

lp_db_connection_t& lp_db_client_t::pool_entry(const std::string& tag, const std::string& conn, bool parse)
{
    const std::string& key = pool_key(tag, conn);
    auto found = pool.find(key);
    if (found == pool.end())
        found = pool.emplace(key, lp_db_connection_t()).first;
    lp_db_connection_t& entry = found->second;
    if (parse && !entry.parsed())
        entry.parse(conn_context(tag), conn);
    return entry;
}

lp_db_connection_t& lp_db_client_t::connection_for_tag(const std::string& tag)
{
    return pool_entry(tag, effective_conn(tag), true);
}

void* lp_db_client_t::get_connection(const std::string& tag)
{
    lp_db_connection_t& entry = connection_for_tag(tag);
    if (!entry.handle)
        entry.handle = connect(entry, tag);
    if (!idle_timer)
        idle_timer = std::make_unique<boost::asio::steady_timer>(inventory.io_context);
    if (!idle_timer_armed && inventory.settings->db_idle_timeout() >= 1000)
        start_idle_timer();
    return entry.handle;
}

void lp_db_client_t::close_connection(lp_db_connection_t& entry)
{
    if (entry.handle) {
        void* handle = entry.handle;
        entry.handle = nullptr;
        disconnect(handle);
    }
}

void lp_db_client_t::close_all()
{
    for (auto& item : pool)
        close_connection(item.second);
    pool.clear();
}

void lp_db_client_t::reconfigure()
{
    close_all();
}

const std::string& lp_db_client_t::expand_request(const std::string& tag, const lp_db_connection_t&,
                                                  const std::string& request, const std::string& user,
                                                  const std::string& domain)
{
    // The prefix only for the Debug lines that will be written.
    const std::string prefix = cf_log_threshold <= CF_LOG_DEBUG ? log_prefix(tag) : std::string();
    lp_expand_template(
        request, user, domain,
        [](void* self, std::string& text, const std::string& value) {
            static_cast<lp_db_client_t*>(self)->emit_placeholder(text, value);
        },
        this, params, request_text, prefix);
    if (request_text.empty()) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Mandatory \"Request\" parameter is not specified");
        throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_CONFIG));
    }
    return request_text;
}

void lp_db_client_t::fail(const std::string& tag, const std::string& message, qv::ErrorCode code,
                          bool fatal) const
{
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, log_prefix(tag) + cf_log_escape(message));
    throw lp_db_error_t(code, fatal);
}

void lp_db_client_t::fail_timed_out(const std::string& tag, const std::string& message, qv::ErrorCode code) const
{
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, log_prefix(tag) + cf_log_escape(message));
    throw lp_db_error_t(code, true, true);
}

void lp_db_client_t::run_query(const std::string& tag, const std::string& user, const std::string& domain,
                               boost::system::error_code& result)
{
    rows.clear();
    params.clear();
    request_started = std::chrono::steady_clock::now();
    const std::chrono::steady_clock::time_point read_time = lp_request_read_time();
    const boost::system::error_code conn_closed = qv::make_error_code(qv::EC_DB_CONN_CLOSED);
    lp_db_connection_t* entry = nullptr;
    // Whether the last failure was a time-out.
    bool timed_out = false;
    // One execution; a lost or broken connection is closed.
    const auto attempt = [&]() -> boost::system::error_code {
        try {
            query(tag, user, domain);
        } catch (const boost::system::system_error& e) {
            const auto* failure = dynamic_cast<const lp_db_error_t*>(&e);
            timed_out = failure && failure->timed_out;
            if (e.code() == conn_closed || (failure && failure->fatal))
                close_connection(*entry);
            return e.code();
        }
        timed_out = false;
        entry->last_use = std::chrono::steady_clock::now();
        return boost::system::error_code();
    };
    try {
        entry = &connection_for_tag(tag);
        if (read_time < entry->timed_out_at) {
            // The server timed out while this request waited in the daemon:
            // it is not tried again for a request that old.
            if (cf_log_threshold <= CF_LOG_ERROR)
                cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Not sent: the server timed out while this request waited");
            result = entry->timeout_code;
            return;
        }
        result = attempt();
        if (result == conn_closed) {
            get_connection(tag);
            rows.clear();
            params.clear();
            result = attempt();
        }
    } catch (const boost::system::system_error& e) {
        const auto* failure = dynamic_cast<const lp_db_error_t*>(&e);
        timed_out = failure && failure->timed_out;
        result = e.code();
    } catch (...) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Cannot retrieve data from database: Unexpected error");
        timed_out = false;
        result = qv::make_error_code(qv::EC_UNEXPECTED_ERROR);
    }
    if (!entry)
        return;
    if (timed_out) {
        entry->timed_out_at = std::chrono::steady_clock::now();
        entry->timeout_code = result;
    } else if (!result) {
        // The server answers: older requests may try it again.
        entry->timed_out_at = std::chrono::steady_clock::time_point();
    }
}

void lp_db_client_t::close_if_sub_second(const std::string& tag)
{
    if (inventory.settings->db_idle_timeout() >= 1000)
        return;
    const auto found = pool.find(pool_key(tag, effective_conn(tag)));
    if (found != pool.end() && found->second.parsed())
        close_connection(found->second);
}

void lp_db_client_t::lookup(const std::string& tag, const std::string& user, const std::string& domain,
                            const lp_lookup_handler_t& handler)
{
    boost::system::error_code ec;
    run_query(tag, user, domain, ec);
    close_if_sub_second(tag);
    if (ec)
        rows.clear();
    size_t bytes = 0;
    for (const std::string& row : rows)
        bytes += row.size();
    lp_promise_answer_bytes(bytes);
    boost::asio::post(inventory.io_context, [handler, ec, values = std::move(rows)]() { handler(ec, values); });
    rows.clear();
}

void lp_db_client_t::check(const std::string& tag, const std::string& user, const std::string& domain,
                           const std::string& value, const lp_check_handler_t& handler)
{
    boost::system::error_code ec;
    run_query(tag, user, domain, ec);
    close_if_sub_second(tag);
    const bool found = !ec && std::find(rows.begin(), rows.end(), value) != rows.end();
    rows.clear();
    boost::asio::post(inventory.io_context, [handler, ec, found]() { handler(ec, found); });
}

void lp_db_client_t::start_idle_timer()
{
    using clock = std::chrono::steady_clock;
    const auto half = std::chrono::milliseconds(inventory.settings->db_idle_timeout() / 2);
    const clock::time_point now = clock::now();
    const clock::time_point expiry = clock::time_point::max() - now > half ? now + half : clock::time_point::max();
    idle_timer->expires_at(expiry);
    idle_timer_armed = true;
    idle_timer->async_wait([this](const boost::system::error_code& ec) { on_idle_timer(ec); });
}

void lp_db_client_t::on_idle_timer(const boost::system::error_code& ec)
{
    // Cancelled: the client may be gone, touch nothing.
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec)
        throw boost::system::system_error(ec, "Timer");
    idle_timer_armed = false;
    const uint32_t timeout = inventory.settings->db_idle_timeout();
    const auto now = std::chrono::steady_clock::now();
    for (auto& item : pool) {
        lp_db_connection_t& entry = item.second;
        if (!entry.handle)
            continue;
        const long long idle = std::chrono::duration_cast<std::chrono::seconds>(now - entry.last_use).count();
        if (idle > static_cast<long long>(timeout / 1000)) {
            if (cf_log_threshold <= CF_LOG_NOTICE)
                cf_log_message(CF_LOG_NOTICE, entry.description + " Inactivity time: " + std::to_string(idle) +
                                                  " seconds, connection closed");
            close_connection(entry);
        }
    }
    if (timeout >= 1000)
        start_idle_timer();
}
