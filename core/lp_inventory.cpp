#include "lp_inventory.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include <boost/system/system_error.hpp>
#include <google/protobuf/util/message_differencer.h>

#include "cf_errors.h"
#include "cf_log.h"
#include "cf_user.h"
#include "lp_client_tie.h"
#include "lp_pilotd_tie.h"
#include "lp_server.h"
#include "lp_stat_collector.h"
#include "log.pb.h"

lp_inventory_t::lp_inventory_t(int pilotd_fd)
    : settings(new lp_settings_t),
      pilotd_tie(lp_pilotd_tie_t::create(*this, pilotd_fd)),
      ldap_ties(lp_make_ldap_ties(*this)),
      server(new lp_server_t(*this)),
      stat_collector(new lp_stat_collector_t(*this)),
      sighup_signals(io_context, SIGHUP),
      sigterm_signals(io_context, SIGTERM)
{
    lp_register_backends(*this);
    wait_sighup();
    wait_sigterm();
}

// Connections still owed answers hold themselves; nothing answers them now.
lp_inventory_t::~lp_inventory_t()
{
    lp_client_tie_t::release_owing();
}

lp_client_base_t* lp_inventory_t::get_client(int type)
{
    auto it = clients.find(type);
    if (it == clients.end()) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, "Unknown client type requested: " + std::to_string(type));
        throw boost::system::system_error(qv::make_error_code(qv::EC_INVALID_ARGUMENT));
    }
    return it->second.get();
}

void lp_inventory_t::apply_log(cf_user_t& user)
{
    const qv::Log& log = settings->actual_log();
    try {
        if (log.type() == qv::Log::FILE && user.uid != getuid())
            user.create_file(log.path(), 0600);
        cf_log_threshold = cf_log_level_from_proto(settings->log_level());
        std::shared_ptr<cf_log_t> new_log = cf_make_log(log, cf_log_callback_t(), cf_log_callback_t());
        if (new_log) {
            cf_install_log(new_log);
        } else {
            // A type that builds no log keeps the one in place, or standard
            // error when none is installed yet.
            const bool installed = cf_log_installed();
            if (!installed)
                cf_install_log(cf_make_console_log());
            if (cf_log_threshold <= CF_LOG_WARNING)
                cf_log_message(CF_LOG_WARNING,
                               "Log type " + enum_name(log.type()) + " builds no log, " +
                                   (installed ? "keeping the current log" : "logging to standard error"));
        }
    } catch (const boost::system::system_error& e) {
        if (!user_switched || e.code() != boost::system::errc::permission_denied)
            throw;
        // The switched user may not reopen a log that root opened: with the
        // same settings the open one serves on, other settings need root.
        if (!applied_log || !google::protobuf::util::MessageDifferencer::Equals(*applied_log, log))
            throw lp_need_restart_t();
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, std::string("Keeping the open log: ") + exception_text(e));
        return;
    }
    applied_log = log;
}

void lp_inventory_t::switch_user(cf_user_t& user)
{
    if (user_switched)
        throw lp_need_restart_t();
    const uint32_t gid = user.gid();
    // The name as configured, or the user database's for a user given by uid.
    const qv::LocalUser& configured = settings->run_as_user();
    const std::string name = configured.has_uid() ? user.name_of_uid() : configured.name();
    try {
        // Root's supplementary groups must not survive the switch.
        if (initgroups(name.c_str(), gid) != 0)
            throw boost::system::system_error(errno, boost::system::system_category(), "initgroups");
        if (setgid(gid) != 0)
            throw boost::system::system_error(errno, boost::system::system_category(), "setgid");
        if (setuid(user.uid) != 0)
            throw boost::system::system_error(errno, boost::system::system_category(), "setuid");
        if (getuid() != user.uid || geteuid() != user.uid || getgid() != gid || getegid() != gid)
            throw boost::system::system_error(EPERM, boost::system::system_category(),
                                              "user and group ids after the switch");
    } catch (const boost::system::system_error& e) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, exception_text(e));
        throw std::runtime_error("Cannot run as user " + user.to_string());
    }
    user_switched = true;
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, "Run as user " + user.to_string());
}

void lp_inventory_t::apply_config()
{
    try {
        cf_user_t user(settings->run_as_user());
        apply_log(user);
        server->apply_config();
        if (user.uid != getuid())
            switch_user(user);
        for (auto& entry : clients)
            entry.second->reconfigure();
    } catch (const lp_need_restart_t&) {
        if (cf_log_threshold <= CF_LOG_NOTICE)
            cf_log_message(CF_LOG_NOTICE, "Will restart for config changes to take effect");
        throw qv::EC_OK;
    } catch (const std::runtime_error& e) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, exception_text(e));
        throw qv::EC_BAD_CONFIG;
    }
}

void lp_inventory_t::wait_sighup()
{
    sighup_signals.async_wait(
        [this](const boost::system::error_code& ec, int signal_number) { on_sighup(ec, signal_number); });
}

void lp_inventory_t::on_sighup(const boost::system::error_code& ec, int)
{
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec)
        throw boost::system::system_error(ec, "SIGHUP");
    if (cf_log_threshold <= CF_LOG_NOTICE)
        cf_log_message(CF_LOG_NOTICE, "SIGHUP received, config will be ordered from PilotD");
    pilotd_tie->request_config();
    wait_sighup();
}

void lp_inventory_t::wait_sigterm()
{
    sigterm_signals.async_wait(
        [this](const boost::system::error_code& ec, int signal_number) { on_sigterm(ec, signal_number); });
}

void lp_inventory_t::on_sigterm(const boost::system::error_code& ec, int)
{
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec)
        throw boost::system::system_error(ec, "SIGTERM");
    if (cf_log_threshold <= CF_LOG_NOTICE)
        cf_log_message(CF_LOG_NOTICE, "Termination signal received, exiting...");
    throw qv::EC_APP_TERMINATED;
}
