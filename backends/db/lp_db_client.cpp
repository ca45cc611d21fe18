#include "db/lp_db_client.h"

#include <algorithm>
#include <locale>
#include <utility>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/post.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "db/lp_db_worker.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

// How often requests held back for a client that does not read look again.
constexpr std::chrono::milliseconds parked_retry{10};

const char* const not_sent_timed_out = "Not sent: the server timed out while this request waited";
const char* const not_sent_unopened = "Not sent: no connection to the server could be opened while this request waited";

// An Error line with the call's prefix; the message is escaped here.
void log_error(const lp_db_call_t& call, const std::string& message)
{
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, call.prefix + cf_log_escape(message));
}

} // namespace

// A request waiting for its connection's worker, with its answer.
struct lp_db_client_t::pending_t {
    std::unique_ptr<lp_db_call_t> call;
    lp_lookup_handler_t lookup;  // one of the two is set
    lp_check_handler_t check;
    std::string value;
    std::weak_ptr<const lp_requester_t> requester;

    void answer(const boost::system::error_code& ec, const std::vector<std::string>& rows) const
    {
        if (lookup)
            lookup(ec, ec ? std::vector<std::string>() : rows);
        else
            check(ec, !ec && std::find(rows.begin(), rows.end(), value) != rows.end());
    }
    bool held_back() const
    {
        const std::shared_ptr<const lp_requester_t> r = requester.lock();
        return r && r->saturated();
    }
};

// A pooled connection string: its parsed entry, its worker while it has
// one, and the requests waiting for it.
struct lp_db_client_t::slot_t {
    // Shared with the worker, which alone touches the handle and what
    // connecting fills in; the loop reads the description and keeps last_use.
    std::shared_ptr<lp_db_connection_t> entry = std::make_shared<lp_db_connection_t>();
    std::unique_ptr<lp_db_worker_t> worker;
    std::deque<std::unique_ptr<pending_t>> queue;
    // The request on the worker, and the probe number its pass carried.
    std::unique_ptr<pending_t> running;
    uint64_t probe = 0;
    bool connected = false;
    bool retiring = false;
    lp_server_health_t health;
    // When the last call that timed out ended, and its code; the clock's
    // epoch once the server answered again. A request read before it had
    // waited in the daemon already: it fails at once.
    std::chrono::steady_clock::time_point timed_out_at{};
    boost::system::error_code timeout_code;
    std::unique_ptr<boost::asio::steady_timer> parked_timer;
    bool parked_timer_armed = false;
};

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

void lp_db_client_t::read_settings(lp_db_call_t&) {}

void lp_db_client_t::emit_placeholder(lp_db_call_t&, std::string& text) const
{
    text.back() = '?';
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

lp_db_client_t::slot_ptr_t lp_db_client_t::slot_for(const std::string& tag)
{
    const std::string& own = conn_for_tag(tag);
    const std::string& conn = own.empty() ? default_conn() : own;
    const std::string& key = pool_key(tag, conn);
    auto found = pool.find(key);
    if (found == pool.end())
        found = pool.emplace(key, std::make_shared<slot_t>()).first;
    // A string that does not parse is parsed again at its next use.
    if (!found->second->entry->parsed())
        found->second->entry->parse(conn_context(tag), conn);
    return found->second;
}

void* lp_db_client_t::get_connection(lp_db_connection_t& entry, const lp_db_call_t& call) const
{
    if (!entry.handle)
        entry.handle = connect(entry, call);
    return entry.handle;
}

void lp_db_client_t::close_connection(lp_db_connection_t& entry) const
{
    if (entry.handle) {
        void* handle = entry.handle;
        entry.handle = nullptr;
        disconnect(handle);
    }
}

const std::string& lp_db_client_t::expand_request(lp_db_call_t& call) const
{
    // The prefix only for the Debug lines that will be written.
    static const std::string none;
    const std::string& prefix = cf_log_threshold <= CF_LOG_DEBUG ? call.prefix : none;
    struct context_t {
        const lp_db_client_t* client;
        lp_db_call_t* call;
    } context{this, &call};
    lp_expand_template(
        call.request, call.user, call.domain,
        [](void* c, std::string& text, const std::string&) {
            auto* self = static_cast<context_t*>(c);
            self->client->emit_placeholder(*self->call, text);
        },
        &context, call.params, call.text, prefix);
    if (call.text.empty()) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, call.prefix + "Mandatory \"Request\" parameter is not specified");
        throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_CONFIG));
    }
    return call.text;
}

void lp_db_client_t::fail(const lp_db_call_t& call, const std::string& message, qv::ErrorCode code,
                          bool fatal) const
{
    log_error(call, message);
    throw lp_db_error_t(code, fatal);
}

void lp_db_client_t::fail_timed_out(const lp_db_call_t& call, const std::string& message, qv::ErrorCode code) const
{
    log_error(call, message);
    throw lp_db_error_t(code, true, true);
}

lp_db_outcome_t lp_db_client_t::serve(lp_db_connection_t& entry, lp_db_call_t& call) const
{
    lp_db_outcome_t outcome;
    // Bounds that cover the request as a whole, its retry included, start here.
    call.started = std::chrono::steady_clock::now();
    const boost::system::error_code conn_closed = qv::make_error_code(qv::EC_DB_CONN_CLOSED);
    // One execution; a lost or broken connection is closed.
    const auto attempt = [&]() -> boost::system::error_code {
        call.rows.clear();
        call.params.clear();
        call.marks.clear();
        call.leading_blanks = 0;
        try {
            query(entry, call);
        } catch (const boost::system::system_error& e) {
            const auto* failure = dynamic_cast<const lp_db_error_t*>(&e);
            outcome.timed_out = failure && failure->timed_out;
            if (e.code() == conn_closed || (failure && failure->fatal))
                close_connection(entry);
            return e.code();
        }
        outcome.timed_out = false;
        return boost::system::error_code();
    };
    try {
        outcome.code = attempt();
        if (outcome.code == conn_closed)
            outcome.code = attempt();
    } catch (...) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, call.prefix + "Cannot retrieve data from database: Unexpected error");
        outcome.timed_out = false;
        outcome.code = qv::make_error_code(qv::EC_UNEXPECTED_ERROR);
    }
    if (outcome.code)
        call.rows.clear();
    if (call.close_after)
        close_connection(entry);
    outcome.connected = entry.handle != nullptr;
    return outcome;
}

void lp_db_client_t::submit(const std::string& tag, const std::string& user, const std::string& domain,
                            std::unique_ptr<pending_t> pending)
{
    slot_ptr_t slot;
    try {
        slot = slot_for(tag);
        auto call = std::make_unique<lp_db_call_t>();
        call->tag = tag;
        call->prefix = log_prefix(tag);
        call->user = user;
        call->domain = domain;
        call->request = request_for_tag(tag);
        call->close_after = inventory.settings->db_idle_timeout() < 1000;
        read_settings(*call);
        pending->call = std::move(call);
    } catch (const boost::system::system_error& e) {
        answer_later(std::move(pending), e.code());
        return;
    } catch (...) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Cannot retrieve data from database: Unexpected error");
        answer_later(std::move(pending), qv::make_error_code(qv::EC_UNEXPECTED_ERROR));
        return;
    }
    pending->requester = lp_request_requester();
    if (lp_request_read_time() < slot->timed_out_at) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, pending->call->prefix + not_sent_timed_out);
        answer_later(std::move(pending), slot->timeout_code);
        return;
    }
    slot->queue.push_back(std::move(pending));
    pump(slot);
}

void lp_db_client_t::lookup(const std::string& tag, const std::string& user, const std::string& domain,
                            const lp_lookup_handler_t& handler)
{
    auto pending = std::make_unique<pending_t>();
    pending->lookup = handler;
    submit(tag, user, domain, std::move(pending));
}

void lp_db_client_t::check(const std::string& tag, const std::string& user, const std::string& domain,
                           const std::string& value, const lp_check_handler_t& handler)
{
    auto pending = std::make_unique<pending_t>();
    pending->check = handler;
    pending->value = value;
    submit(tag, user, domain, std::move(pending));
}

void lp_db_client_t::answer_later(std::unique_ptr<pending_t> pending, const boost::system::error_code& code)
{
    // Never answered inside lookup or check.
    boost::asio::post(inventory.io_context, [p = std::move(pending), code]() { p->answer(code, {}); });
}

void lp_db_client_t::refuse(slot_t& slot, std::unique_ptr<pending_t> pending)
{
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, pending->call->prefix + slot.health.refusal());
    answer_later(std::move(pending), slot.health.code());
}

void lp_db_client_t::pump(const slot_ptr_t& slot)
{
    // While the probe is out, the requests behind it fail at once.
    while (slot->health.refusing() && !slot->queue.empty()) {
        std::unique_ptr<pending_t> pending = std::move(slot->queue.front());
        slot->queue.pop_front();
        refuse(*slot, std::move(pending));
    }
    while (!slot->running && !slot->queue.empty()) {
        // The first request whose client takes its answers; the others wait
        // until their client has read.
        auto next = std::find_if(slot->queue.begin(), slot->queue.end(),
                                 [](const std::unique_ptr<pending_t>& p) { return !p->held_back(); });
        if (next == slot->queue.end()) {
            if (!slot->parked_timer)
                slot->parked_timer = std::make_unique<boost::asio::steady_timer>(inventory.io_context);
            if (!slot->parked_timer_armed) {
                slot->parked_timer_armed = true;
                slot->parked_timer->expires_after(parked_retry);
                slot->parked_timer->async_wait(
                    [this, weak = std::weak_ptr<slot_t>(slot)](const boost::system::error_code& ec) {
                        if (ec == boost::asio::error::operation_aborted)
                            return;
                        if (const slot_ptr_t s = weak.lock()) {
                            s->parked_timer_armed = false;
                            pump(s);
                        }
                    });
            }
            return;
        }
        std::unique_ptr<pending_t> pending = std::move(*next);
        slot->queue.erase(next);
        const lp_server_health_t::pass_t pass = slot->health.admit();
        if (pass.refused) {
            refuse(*slot, std::move(pending));
            continue;
        }
        if (!slot->worker) {
            try {
                slot->worker = std::make_unique<lp_db_worker_t>(*this, inventory.io_context, slot->entry);
            } catch (const std::exception& e) {
                // Out of threads: this request fails, the daemon goes on.
                if (cf_log_threshold <= CF_LOG_ERROR)
                    cf_log_message(CF_LOG_ERROR, pending->call->prefix + "Cannot connect to database: no worker thread: " +
                                                     cf_log_escape(e.what()));
                slot->health.settle(pass.probe, lp_server_health_t::outcome_t::other, {});
                answer_later(std::move(pending), qv::make_error_code(qv::EC_DB_OPEN_ERROR));
                continue;
            }
        }
        slot->probe = pass.probe;
        std::unique_ptr<lp_db_call_t> call = std::move(pending->call);
        slot->running = std::move(pending);
        slot->worker->run(std::move(call), [this, weak = std::weak_ptr<slot_t>(slot)](
                                                std::unique_ptr<lp_db_call_t> done, const lp_db_outcome_t& outcome) {
            if (const slot_ptr_t s = weak.lock())
                on_done(s, std::move(done), outcome);
        });
    }
}

void lp_db_client_t::on_done(const slot_ptr_t& slot, std::unique_ptr<lp_db_call_t> call,
                             const lp_db_outcome_t& outcome)
{
    const std::unique_ptr<pending_t> pending = std::move(slot->running);
    slot->connected = outcome.connected;
    if (!outcome.code)
        slot->entry->last_use = std::chrono::steady_clock::now();

    using outcome_t = lp_server_health_t::outcome_t;
    const qv::ErrorCode code = outcome.code.category() == qv::cf_proto_error_category()
                                   ? static_cast<qv::ErrorCode>(outcome.code.value())
                                   : qv::EC_UNEXPECTED_ERROR;
    outcome_t verdict = outcome_t::other;
    if (outcome.timed_out)
        verdict = outcome_t::timed_out;
    else if (code == qv::EC_DB_OPEN_ERROR)
        verdict = outcome_t::unopened;
    else if (!outcome.code || code == qv::EC_DB_COMMON_ERROR)
        verdict = outcome_t::answered;
    slot->health.settle(slot->probe, verdict, outcome.code);
    slot->probe = 0;

    pending->answer(outcome.code, call->rows);
    // Every request that waited for a server that did not answer fails with
    // it, and so do those read meanwhile that the daemon takes later.
    if (verdict == outcome_t::timed_out) {
        slot->timed_out_at = std::chrono::steady_clock::now();
        slot->timeout_code = outcome.code;
        fail_queued(*slot, outcome.code, not_sent_timed_out);
    } else if (verdict == outcome_t::unopened) {
        fail_queued(*slot, outcome.code, not_sent_unopened);
    } else if (verdict == outcome_t::answered) {
        slot->timed_out_at = {};
    }

    if (!slot->connected && slot->queue.empty())
        retire_worker(*slot);
    if (slot->retiring) {
        forget_if_done(slot);
        if (slot->queue.empty())
            return;
    }
    if (slot->connected && !idle_timer_armed && inventory.settings->db_idle_timeout() >= 1000) {
        if (!idle_timer)
            idle_timer = std::make_unique<boost::asio::steady_timer>(inventory.io_context);
        start_idle_timer();
    }
    pump(slot);
}

void lp_db_client_t::fail_queued(slot_t& slot, const boost::system::error_code& code, const std::string& line)
{
    for (const std::unique_ptr<pending_t>& pending : std::exchange(slot.queue, {})) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, pending->call->prefix + line);
        pending->answer(code, {});
    }
}

void lp_db_client_t::retire_worker(slot_t& slot)
{
    // Idle here: the destructor returns at once.
    slot.worker.reset();
    slot.connected = false;
}

void lp_db_client_t::forget_if_done(const slot_ptr_t& slot)
{
    if (slot->running || !slot->queue.empty())
        return;
    retire_worker(*slot);
    retiring.erase(std::remove(retiring.begin(), retiring.end(), slot), retiring.end());
}

void lp_db_client_t::close_all()
{
    idle_timer.reset();
    idle_timer_armed = false;
    std::vector<slot_ptr_t> all = std::move(retiring);
    retiring.clear();
    for (auto& item : pool)
        all.push_back(item.second);
    pool.clear();
    // Waits for calls in progress; what they post finds no slot.
    for (const slot_ptr_t& slot : all) {
        slot->parked_timer.reset();
        slot->worker.reset();
    }
}

void lp_db_client_t::reconfigure()
{
    for (auto& item : pool) {
        const slot_ptr_t& slot = item.second;
        slot->retiring = true;
        retiring.push_back(slot);
    }
    pool.clear();
    // Those with nothing to do end now; the others once their queue is done.
    const std::vector<slot_ptr_t> all = retiring;
    for (const slot_ptr_t& slot : all)
        forget_if_done(slot);
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
        slot_t& slot = *item.second;
        if (!slot.connected || slot.running || !slot.queue.empty())
            continue;
        const long long idle = std::chrono::duration_cast<std::chrono::seconds>(now - slot.entry->last_use).count();
        if (idle > static_cast<long long>(timeout / 1000)) {
            // Closed before the line that says so.
            retire_worker(slot);
            if (cf_log_threshold <= CF_LOG_NOTICE)
                cf_log_message(CF_LOG_NOTICE, slot.entry->description + " Inactivity time: " + std::to_string(idle) +
                                                  " seconds, connection closed");
        }
    }
    if (timeout >= 1000)
        start_idle_timer();
}
