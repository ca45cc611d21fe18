#include "lp_stat_collector.h"

#include <chrono>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "lp_client_tie.h"
#include "lp_inventory.h"
#include "lp_pilotd_tie.h"
#include "trawld_appstat.pb.h"

lp_stat_collector_t::lp_stat_collector_t(lp_inventory_t& inventory)
    : inventory(inventory), timer(inventory.io_context)
{
    connection = lp_client_count_changed.connect([this](int n) {
        if (n > 0)
            in += static_cast<uint64_t>(n);
        else
            out += static_cast<uint64_t>(-static_cast<int64_t>(n));
    });
    start_timer();
}

void lp_stat_collector_t::start_timer()
{
    timer.expires_after(std::chrono::seconds(1));
    timer.async_wait([this](const boost::system::error_code& ec) { on_timer(ec); });
}

void lp_stat_collector_t::on_timer(const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec)
        throw boost::system::system_error(ec, "StatTimer");

    qv::TrawlDAppStat stat;
    qv::TrawlDClientStat* clients = stat.mutable_clients();
    clients->set_base(base);
    clients->set_in(in);
    clients->set_out(out);
    base = base + in - out;
    in = 0;
    out = 0;
    inventory.pilotd_tie->send_stat(stat);
    start_timer();
}
