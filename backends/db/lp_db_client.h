// The base of the database back-ends: request templates, the connection
// pool keyed by connection string, one worker thread per pooled connection
// that runs its requests one at a time, one retry after a lost connection,
// the suspect-and-probe rule after a time-out, idle closing and the delivery
// of results. A driver adds only its library calls and the classification
// of its errors; they run on the connection's worker, never on the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/system_error.hpp>

#include "db/lp_db_connection.h"
#include "error.pb.h"
#include "lp_client_base.h"
#include "lp_server_health.h"

class lp_inventory_t;
class lp_db_worker_t;

// A driver failure. A fatal one leaves the connection unusable, so the base
// closes it; EC_DB_CONN_CLOSED always closes it and is retried once. A
// timed-out one is also fatal: the server did not answer within a limit.
class lp_db_error_t : public boost::system::system_error {
public:
    lp_db_error_t(qv::ErrorCode code, bool fatal, bool timed_out = false);
    bool fatal;
    bool timed_out;
};

// Expands a request template: "$u"/"$U" and "$d"/"$D" become placeholders
// through emit (called with the text ending in the "$" just written and the
// value, whose place it marks) and their values are appended to params in
// order; "$$" is one "$". The result is trimmed of white space. Debug lines
// carry log_prefix. Does not check for an empty result.
using lp_emit_placeholder_t = void (*)(void* context, std::string& text, const std::string& value);
void lp_expand_template(const std::string& request, const std::string& user, const std::string& domain,
                        lp_emit_placeholder_t emit, void* context, std::vector<std::string>& params,
                        std::string& text, const std::string& log_prefix);

// The TLS settings of a tag's connection (Redis).
struct lp_db_tls_t {
    bool use = false;
    std::string ca_path;
    std::string certificate_path;
    std::string key_path;
};

// One request on its way through its connection's worker: what it asks,
// read from the configuration when it arrived, and what it yields.
struct lp_db_call_t {
    std::string tag;
    std::string prefix;   // the tag's log prefix
    std::string user;
    std::string domain;
    std::string request;  // the tag's request template
    lp_db_tls_t tls;
    bool close_after = false;  // db_idle_timeout below one second
    // On the worker: the driver's scratch and the answer.
    std::vector<std::string> rows;
    std::vector<std::string> params;
    std::string text;  // the request expanded
    // Places of the placeholders in the untrimmed text, and the blanks that
    // trimming removed before the first (for drivers that split the text).
    std::vector<size_t> marks;
    size_t leading_blanks = 0;
    // When serving began, for drivers that bound the request as a whole.
    std::chrono::steady_clock::time_point started;
};

// How a call ended, as the worker posts it back.
struct lp_db_outcome_t {
    boost::system::error_code code;
    bool timed_out = false;  // the last failure ran out of time
    bool connected = false;  // the connection is open after the call
};

class lp_db_client_t : public lp_client_base_t, private boost::noncopyable {
public:
    explicit lp_db_client_t(lp_inventory_t& inventory);
    // A derived destructor calls close_all first, while its disconnect is
    // still there.
    ~lp_db_client_t() override;

    void lookup(const std::string& tag, const std::string& user, const std::string& domain,
                const lp_lookup_handler_t& handler) override;
    void check(const std::string& tag, const std::string& user, const std::string& domain,
               const std::string& value, const lp_check_handler_t& handler) override;
    // Retires every connection's worker and forgets every connection
    // string. Requests already queued for a connection are still served
    // there; nothing waits for a server.
    void reconfigure() override;

    // The port of a TCP connection string without one.
    virtual uint32_t default_port() const { return 0; }
    // Whether connection descriptions show the user (not where it is a secret).
    virtual bool user_in_description() const { return true; }

    // Worker side: serves one call on the entry's connection, connecting when
    // needed, with the one retry; never throws.
    lp_db_outcome_t serve(lp_db_connection_t& entry, lp_db_call_t& call) const;
    // Worker side: closes the entry's connection if it is open.
    void close_connection(lp_db_connection_t& entry) const;

protected:
    // Main loop. The tag's own connection string, empty when unset.
    virtual const std::string& conn_for_tag(const std::string& tag) = 0;
    virtual const std::string& default_conn() = 0;
    virtual bool is_conn_configured(const std::string& conn) = 0;
    // The tag's request template.
    virtual const std::string& request_for_tag(const std::string& tag) = 0;
    // Added to the pool key beside the connection string, for settings of a
    // tag that need a connection of their own (empty: none).
    virtual std::string pool_discriminator(const std::string& tag);
    // Further settings of the tag that the worker needs.
    virtual void read_settings(lp_db_call_t& call);

    // Worker side; these touch nothing but their arguments.
    // Called with the text ending in the "$" just written; the base writes
    // "?" in its place.
    virtual void emit_placeholder(lp_db_call_t& call, std::string& text) const;
    // Expands and runs the call's request and appends column 0 of every row
    // to call.rows. Throws boost::system::system_error (lp_db_error_t for
    // driver failures).
    virtual void query(lp_db_connection_t& entry, lp_db_call_t& call) const = 0;
    virtual void disconnect(void* handle) const = 0;
    // Opens a connection; throws system_error (EC_DB_OPEN_ERROR, EC_BAD_CONFIG).
    virtual void* connect(lp_db_connection_t& entry, const lp_db_call_t& call) const = 0;

    // The entry's open connection, connecting when needed.
    void* get_connection(lp_db_connection_t& entry, const lp_db_call_t& call) const;
    // The call's request expanded into call.text, with its values in
    // call.params. Throws EC_BAD_CONFIG for an empty request.
    const std::string& expand_request(lp_db_call_t& call) const;
    // Logs an Error with the call's prefix and throws lp_db_error_t. The
    // message is escaped here, server texts included: pass them raw.
    [[noreturn]] void fail(const lp_db_call_t& call, const std::string& message, qv::ErrorCode code,
                           bool fatal = false) const;
    // As fail, for a connect or query that ran out of time. It fails at once
    // every request waiting for the same connection string, and makes the
    // string suspect.
    [[noreturn]] void fail_timed_out(const lp_db_call_t& call, const std::string& message,
                                     qv::ErrorCode code) const;
    // Main loop: retires every worker, waiting for calls in progress.
    void close_all();

    lp_inventory_t& inventory;

private:
    struct pending_t;
    struct slot_t;
    using slot_ptr_t = std::shared_ptr<slot_t>;

    // Queues a request for its connection string, or answers it at once.
    void submit(const std::string& tag, const std::string& user, const std::string& domain,
                std::unique_ptr<pending_t> pending);
    // Starts the next request of the slot that may go; refuses those the
    // health record turns away.
    void pump(const slot_ptr_t& slot);
    // Fails a request the health record turns away.
    void refuse(slot_t& slot, std::unique_ptr<pending_t> pending);
    // Posts the request's failure to the loop.
    void answer_later(std::unique_ptr<pending_t> pending, const boost::system::error_code& code);
    void on_done(const slot_ptr_t& slot, std::unique_ptr<lp_db_call_t> call, const lp_db_outcome_t& outcome);
    // Answers and drops every request queued on the slot.
    void fail_queued(slot_t& slot, const boost::system::error_code& code, const std::string& line);
    // Ends the slot's worker, which closes its connection; main loop.
    void retire_worker(slot_t& slot);
    // A retiring slot that has nothing left is dropped.
    void forget_if_done(const slot_ptr_t& slot);
    slot_ptr_t slot_for(const std::string& tag);
    lp_db_conn_context_t conn_context(const std::string& tag) const;
    // The pool's key: the connection string, and the discriminator when set.
    const std::string& pool_key(const std::string& tag, const std::string& conn);
    void start_idle_timer();
    void on_idle_timer(const boost::system::error_code& ec);

    std::unordered_map<std::string, slot_ptr_t> pool;
    // Slots of earlier configurations that still serve their queues.
    std::vector<slot_ptr_t> retiring;
    std::unique_ptr<boost::asio::steady_timer> idle_timer;
    bool idle_timer_armed = false;
    std::string key_text;
};
