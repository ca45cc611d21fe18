#include "lp_ldap_ties.h"

#include <sstream>
#include <utility>

#include <boost/system/system_error.hpp>

#include "cf_log.h"
#include "lp_inventory.h"
#include "lp_ldap_tie.h"

namespace {

std::string address_of(const void* p)
{
    std::ostringstream out;
    out << p;
    return out.str();
}

} // namespace

lp_ldap_ties_t::lp_ldap_ties_t(lp_inventory_t& inventory, clock_t clock)
    : clock(std::move(clock)), timer(inventory.io_context)
{
    start_timer();
}

lp_ldap_ties_t::~lp_ldap_ties_t() = default;

std::shared_ptr<lp_ldap_tie_t> lp_ldap_ties_t::get(const std::string& url, const std::string& bind_dn,
                                                   const std::string& password)
{
    auto it = ties.find(key_t(url, bind_dn, password));
    if (it == ties.end())
        return {};
    if (!it->second.tie->is_usable()) {
        ties.erase(it);
        return {};
    }
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, "lp_ldap_ties_t::get: " + cf_log_escape(url) + " \"" + cf_log_escape(bind_dn) +
                                         "\" -> " + address_of(it->second.tie.get()));
    it->second.last_use = clock();
    return it->second.tie;
}

void lp_ldap_ties_t::put(const std::string& url, const std::string& bind_dn, const std::string& password,
                         const std::shared_ptr<lp_ldap_tie_t>& tie, uint64_t generation)
{
    if (generation != clears)
        return;
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, "lp_ldap_ties_t::put: " + cf_log_escape(url) + " \"" + cf_log_escape(bind_dn) +
                                         "\" " + address_of(tie.get()));
    entry_t& entry = ties[key_t(url, bind_dn, password)];
    entry.tie = tie;
    entry.last_use = clock();
}

void lp_ldap_ties_t::clear()
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, "lp_ldap_ties_t::clear");
    ++clears;
    ties.clear();
}

void lp_ldap_ties_t::start_timer()
{
    timer.expires_after(std::chrono::seconds(1));
    timer.async_wait([this](const boost::system::error_code& ec) { on_timer(ec); });
}

void lp_ldap_ties_t::on_timer(const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec)
        throw boost::system::system_error(ec, "Timer");
    sweep();
    start_timer();
}

void lp_ldap_ties_t::sweep()
{
    const auto now = clock();
    for (auto it = ties.begin(); it != ties.end();) {
        if (it->second.tie.use_count() == 1 && now - it->second.last_use >= idle_limit)
            it = ties.erase(it);
        else
            ++it;
    }
}

lp_ldap_ties_t::admission_t lp_ldap_ties_t::admit(const std::string& url, const std::string& bind_dn,
                                                  const std::string& password)
{
    admission_t admission;
    auto it = suspects.find(key_t(url, bind_dn, password));
    if (it == suspects.end())
        return admission;
    admission.pass = it->second.admit();
    if (admission.pass.refused) {
        admission.code = it->second.code();
        admission.refusal = it->second.refusal();
    }
    return admission;
}

void lp_ldap_ties_t::settle(const std::string& url, const std::string& bind_dn, const std::string& password,
                            uint64_t probe, lp_server_health_t::outcome_t outcome,
                            const boost::system::error_code& code)
{
    using outcome_t = lp_server_health_t::outcome_t;
    const key_t key(url, bind_dn, password);
    auto it = suspects.find(key);
    if (it == suspects.end()) {
        // A healthy key stays without a record unless this makes it suspect.
        if (outcome != outcome_t::timed_out && outcome != outcome_t::unopened)
            return;
        it = suspects.emplace(key, lp_server_health_t()).first;
    }
    it->second.settle(probe, outcome, code);
    if (it->second.idle())
        suspects.erase(it);
}
