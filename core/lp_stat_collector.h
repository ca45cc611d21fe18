// Counts client connections and reports them to PilotD every second.
#pragma once

#include <cstdint>

#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/system/error_code.hpp>

class lp_inventory_t;

class lp_stat_collector_t {
public:
    explicit lp_stat_collector_t(lp_inventory_t& inventory);
    lp_stat_collector_t(const lp_stat_collector_t&) = delete;
    lp_stat_collector_t& operator=(const lp_stat_collector_t&) = delete;

private:
    void start_timer();
    void on_timer(const boost::system::error_code& ec);

    lp_inventory_t& inventory;
    boost::asio::steady_timer timer;
    boost::signals2::scoped_connection connection;
    uint64_t base = 0;
    uint64_t in = 0;
    uint64_t out = 0;
};
