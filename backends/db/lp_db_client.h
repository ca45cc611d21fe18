// The base of the database back-ends: request templates, the connection
// pool keyed by connection string, connecting on demand, one retry after a
// lost connection, idle closing and the delivery of results. A driver adds
// only its library calls and the classification of its errors.
#pragma once

#include <chrono>
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

class lp_inventory_t;

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
    // Closes every connection and forgets every connection string.
    void reconfigure() override;

    // The port of a TCP connection string without one.
    virtual uint32_t default_port() const { return 0; }
    // Whether connection descriptions show the user (not where it is a secret).
    virtual bool user_in_description() const { return true; }

protected:
    // The tag's own connection string, empty when unset.
    virtual const std::string& conn_for_tag(const std::string& tag) = 0;
    virtual const std::string& default_conn() = 0;
    virtual bool is_conn_configured(const std::string& conn) = 0;
    // Added to the pool key beside the connection string, for settings of a
    // tag that need a connection of their own (empty: none).
    virtual std::string pool_discriminator(const std::string& tag);
    // Called with the text ending in the "$" just written; the base writes
    // "?" in its place.
    virtual void emit_placeholder(std::string& text, const std::string& value);
    // Expands and runs the tag's request and appends column 0 of every row
    // to rows. Throws boost::system::system_error (lp_db_error_t for driver
    // failures).
    virtual void query(const std::string& tag, const std::string& user, const std::string& domain) = 0;
    virtual void disconnect(void* handle) = 0;
    // Opens a connection; throws system_error (EC_DB_OPEN_ERROR, EC_BAD_CONFIG).
    virtual void* connect(lp_db_connection_t& entry, const std::string& tag) = 0;

    const std::string& effective_conn(const std::string& tag);
    // The pool entry of a connection string, made when absent and, with
    // parse, parsed when not parsed yet.
    lp_db_connection_t& pool_entry(const std::string& tag, const std::string& conn, bool parse);
    lp_db_connection_t& connection_for_tag(const std::string& tag);
    // The tag's open connection, connecting when needed.
    void* get_connection(const std::string& tag);
    void close_connection(lp_db_connection_t& entry);
    void close_all();
    // The tag's request expanded, with its values in params. Throws
    // EC_BAD_CONFIG for an empty request. The text lives until the next call.
    const std::string& expand_request(const std::string& tag, const lp_db_connection_t& entry,
                                      const std::string& request, const std::string& user,
                                      const std::string& domain);
    // Logs an Error with the tag's prefix and throws lp_db_error_t. The
    // message is escaped here, server texts included: pass them raw.
    [[noreturn]] void fail(const std::string& tag, const std::string& message, qv::ErrorCode code,
                           bool fatal = false) const;
    // As fail, for a connect or query that ran out of time. A request that
    // ends so makes the requests for its connection string that were read
    // before it ended fail at once with its code.
    [[noreturn]] void fail_timed_out(const std::string& tag, const std::string& message, qv::ErrorCode code) const;

    lp_inventory_t& inventory;
    std::vector<std::string> rows;
    std::vector<std::string> params;
    // When the request being served started (steady clock), for drivers
    // that bound a request's waiting as a whole.
    std::chrono::steady_clock::time_point request_started;

private:
    // Serves one request into rows; never throws.
    void run_query(const std::string& tag, const std::string& user, const std::string& domain,
                   boost::system::error_code& result);
    // Closes the tag's connection when db_idle_timeout is below one second.
    void close_if_sub_second(const std::string& tag);
    lp_db_conn_context_t conn_context(const std::string& tag) const;
    // The pool's key: the connection string, and the discriminator when set.
    const std::string& pool_key(const std::string& tag, const std::string& conn);
    void start_idle_timer();
    void on_idle_timer(const boost::system::error_code& ec);

    std::unordered_map<std::string, lp_db_connection_t> pool;
    std::unique_ptr<boost::asio::steady_timer> idle_timer;
    bool idle_timer_armed = false;
    std::string request_text;
    std::string key_text;
};
