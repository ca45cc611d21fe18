// The application object: the event loop, the back-end registry, the
// configuration store, the PilotD link, the client socket server, the
// statistics and the signals.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

#include "lp_client_base.h"
#include "lp_settings.h"

class cf_user_t;
class lp_ldap_client_t;
class lp_ldap_ties_t;
class lp_pilotd_tie_t;
class lp_server_t;
class lp_stat_collector_t;

// A configuration that only a new process can apply.
class lp_need_restart_t : public std::exception {
};

// Destroys the LDAP pool, whose type only the back-ends know.
struct lp_ldap_ties_delete_t {
    void operator()(lp_ldap_ties_t* ties) const noexcept;
};

class lp_inventory_t {
public:
    explicit lp_inventory_t(int pilotd_fd);
    ~lp_inventory_t();
    lp_inventory_t(const lp_inventory_t&) = delete;
    lp_inventory_t& operator=(const lp_inventory_t&) = delete;

    // Applies the configuration just stored: log, client socket, user,
    // back-ends. Leaves with a bare qv::ErrorCode when the process must end.
    void apply_config();

    // The back-end registered for a lookup type; throws EC_INVALID_ARGUMENT
    // for a type without one.
    lp_client_base_t* get_client(int type);
    // The LDAP back-end, through which Active Directory searches.
    lp_ldap_client_t* ldap_client();

    void wait_sighup();
    void on_sighup(const boost::system::error_code& ec, int signal_number);
    void wait_sigterm();
    void on_sigterm(const boost::system::error_code& ec, int signal_number);

    boost::asio::io_context io_context;
    bool user_switched = false;
    std::map<int, std::unique_ptr<lp_client_base_t>> clients;
    std::unique_ptr<lp_settings_t> settings;
    std::shared_ptr<lp_pilotd_tie_t> pilotd_tie;
    std::unique_ptr<lp_ldap_ties_t, lp_ldap_ties_delete_t> ldap_ties;
    std::unique_ptr<lp_server_t> server;
    std::unique_ptr<lp_stat_collector_t> stat_collector;
    boost::asio::signal_set sighup_signals;
    boost::asio::signal_set sigterm_signals;

private:
    void apply_log(cf_user_t& user);

    // The log settings in force since the last configuration that set them.
    std::optional<qv::Log> applied_log;
    void switch_user(cf_user_t& user);
};

// Defined by the back-ends, whose headers core does not see: every lookup
// back-end into the registry, and the LDAP pool.
void lp_register_backends(lp_inventory_t& inventory);
std::unique_ptr<lp_ldap_ties_t, lp_ldap_ties_delete_t> lp_make_ldap_ties(lp_inventory_t& inventory);
