// One connection to one LDAP server: a libldap handle, an io_context of its
// own and the worker thread that runs it. Binds and searches run on the
// worker, one after another; their outcomes are posted to the main loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/thread.hpp>

class lp_inventory_t;
struct ldap;
struct ldapmsg;

struct lp_ldap_attribute_t {
    std::string name;
    std::vector<std::string> values;
};

using lp_ldap_entry_t = std::vector<lp_ldap_attribute_t>;
using lp_ldap_search_result_t = std::vector<lp_ldap_entry_t>;

// libldap result codes, client-side ones included.
const boost::system::error_category& ldap_category() noexcept;

// The connection to the server is gone (LDAP_SERVER_DOWN, LDAP_CONNECT_ERROR).
bool ldap_connection_lost(const boost::system::error_code& ec) noexcept;
// No answer came within the bound (LDAP_TIMEOUT; a call cut by the watchdog
// ends with it too).
bool ldap_timed_out(const boost::system::error_code& ec) noexcept;

// What a new handle needs for TLS: the certificate mode and the client
// context built at the last configuration (null: none).
struct lp_ldap_tls_t {
    int require_cert = 0;
    void* ctx = nullptr;
};

class lp_ldap_tie_t : public std::enable_shared_from_this<lp_ldap_tie_t>, private boost::noncopyable {
public:
    using bind_handler_t = std::function<void(const boost::system::error_code&)>;
    // `answered`: some part of the result had arrived when the search ended.
    using search_handler_t = std::function<void(const boost::system::error_code&, lp_ldap_search_result_t&,
                                                std::vector<std::string>& referrals, bool answered)>;

    // Bounds of one connection: connecting, and each operation. A call
    // still running after call_limit_s (a TLS handshake with a server that
    // never answers, which the library's timeouts do not reach) has its
    // socket shut down.
    static constexpr int network_timeout_s = 5;
    static constexpr int operation_timeout_s = 10;
    static constexpr int call_limit_s = operation_timeout_s + 2;

    explicit lp_ldap_tie_t(lp_inventory_t& inventory);
    // Only on the main thread: stops the worker's loop and joins it.
    ~lp_ldap_tie_t();

    // Sets up the handle for the URL and starts the worker.
    boost::system::error_code init(const std::string& url, const lp_ldap_tls_t& tls);
    // Post a job to the worker; the handler runs on the main loop. The caller
    // keeps the connection alive until then. Once a call has ended in a
    // time-out or with the connection lost, the jobs after it fail at once
    // with the same code, without touching the network.
    void bind(const std::string& dn, const std::string& password, bind_handler_t handler);
    void search(const std::string& base, int scope, const std::string& filter,
                const std::vector<std::string>& attributes, search_handler_t handler);
    // Ends the worker now (after the call it is running); jobs not yet run
    // are dropped. Main thread only.
    void shut_down();

    // False once a call has left the connection in a state it cannot be
    // trusted in: lost, timed out, cut, failed inside libldap (encoding,
    // decoding, memory, a local error, reading the result) or refused a bind.
    // A result code the server sent leaves it usable.
    bool is_usable() const noexcept { return usable.load(); }

private:
    boost::system::error_code do_init(const std::string& url, const lp_ldap_tls_t& tls);
    boost::system::error_code do_bind(const std::string& dn, const std::string& password);
    boost::system::error_code do_search(const std::string& base, int scope, const std::string& filter,
                                        const std::vector<std::string>& attributes,
                                        lp_ldap_search_result_t& result, std::vector<std::string>& referrals,
                                        bool& answered);
    // Worker: one call, or the failure that ended the connection before it.
    template <typename Call>
    boost::system::error_code run_call(const char* name, Call&& call);
    boost::system::error_code process_messages(ldapmsg* chain, const std::vector<std::string>& attributes,
                                               lp_ldap_search_result_t& result,
                                               std::vector<std::string>& referrals);
    void process_entry(ldapmsg* entry, const std::vector<std::string>& attributes,
                       lp_ldap_search_result_t& result);
    void process_reference(ldapmsg* message, std::vector<std::string>& referrals);
    // False when the attribute has no values.
    bool get_values(ldapmsg* entry, const char* name, std::vector<std::string>& values);
    boost::system::error_code last_error();
    void run_worker();
    std::string prefix() const;
    // Marks the worker inside (or out of) a blocking call; end_call tells
    // whether the watchdog cut the call that began at `started`.
    int64_t begin_call() noexcept;
    bool end_call(int64_t started) noexcept;
    // Main thread: shuts the socket down when the current call is overdue.
    void cut_overdue_call();
    void arm_watchdog();

    friend int lp_ldap_tie_on_connect(ldap*, struct sockbuf*, struct ldap_url_desc*, struct sockaddr*,
                                      struct ldap_conncb*);
    friend void lp_ldap_tie_on_disconnect(ldap*, struct sockbuf*, struct ldap_conncb*);

    lp_inventory_t& inventory;
    boost::asio::io_context io;
    boost::thread worker;
    ldap* ld = nullptr;
    std::atomic<bool> usable{true};
    // Set on the main thread once the worker has ended.
    bool stopped = false;
    // Steady-clock nanoseconds since the epoch when the running call began;
    // 0 while the worker is idle.
    std::atomic<int64_t> call_started{0};
    // The start of the last call whose socket the watchdog shut down.
    std::atomic<int64_t> call_cut{0};
    // Worker only: the time-out or loss that ended the connection.
    boost::system::error_code broken;
    // Worker only: set by the call that failed in a way that leaves the
    // handle's state unknown, whatever its code.
    bool state_unknown = false;
    // The handle's socket, registered by the connection callbacks.
    std::mutex socket_mutex;
    int socket_fd = -1;
    std::unique_ptr<struct ldap_conncb> callbacks;
    boost::asio::steady_timer watchdog;
};
