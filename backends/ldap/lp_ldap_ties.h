// The pool of bound LDAP connections, keyed by server URL, bind DN and bind
// password; a one-second sweep closes connections that nobody else holds and
// that were idle for 30 seconds. Beside the connections, the health record of
// each key whose server timed out or could not be reached. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include <boost/asio/steady_timer.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>

#include "lp_server_health.h"

class lp_inventory_t;
class lp_ldap_tie_t;

class lp_ldap_ties_t : private boost::noncopyable {
public:
    static constexpr std::chrono::seconds idle_limit{30};
    using clock_t = std::function<std::chrono::steady_clock::time_point()>;

    // `clock` dates each use and each sweep.
    explicit lp_ldap_ties_t(lp_inventory_t& inventory, clock_t clock = &std::chrono::steady_clock::now);
    ~lp_ldap_ties_t();

    // A usable pooled connection for the key, or an empty pointer (an
    // unusable one is dropped).
    std::shared_ptr<lp_ldap_tie_t> get(const std::string& url, const std::string& bind_dn,
                                       const std::string& password);
    // Stores a connection whose bind succeeded, unless the pool was cleared
    // since `generation` was read.
    void put(const std::string& url, const std::string& bind_dn, const std::string& password,
             const std::shared_ptr<lp_ldap_tie_t>& tie, uint64_t generation);
    // Drops every pooled connection; connections lent out finish their jobs.
    // The records stay: they tell of the servers, not of the settings.
    void clear();
    // Changes at each clear: a bind started before it is not pooled.
    uint64_t generation() const noexcept { return clears; }
    std::size_t size() const noexcept { return ties.size(); }
    // Closes the connections that nobody else holds and that were idle for
    // idle_limit or longer; the timer runs it every second.
    void sweep();

    // The key's health record (lp_server_health.h). admit before a request
    // goes to the server; when it is refused, `code` and `refusal` say why.
    // settle once the request has ended. A key's record is kept only while it
    // is suspect or has a probe out.
    struct admission_t {
        lp_server_health_t::pass_t pass;
        boost::system::error_code code;
        std::string refusal;
    };
    admission_t admit(const std::string& url, const std::string& bind_dn, const std::string& password);
    void settle(const std::string& url, const std::string& bind_dn, const std::string& password, uint64_t probe,
                lp_server_health_t::outcome_t outcome, const boost::system::error_code& code);
    std::size_t health_records() const noexcept { return suspects.size(); }

private:
    using key_t = std::tuple<std::string, std::string, std::string>;
    struct entry_t {
        std::shared_ptr<lp_ldap_tie_t> tie;
        std::chrono::steady_clock::time_point last_use;
    };

    void start_timer();
    void on_timer(const boost::system::error_code& ec);

    clock_t clock;
    std::map<key_t, entry_t> ties;
    std::map<key_t, lp_server_health_t> suspects;
    boost::asio::steady_timer timer;
    uint64_t clears = 0;
};
