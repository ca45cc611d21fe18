// The worker thread of one pooled connection string: it owns the driver's
// connection and serves the calls sent to it one at a time, posting each
// outcome to the main loop. Made, given calls and destroyed on the main
// loop only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/thread/thread.hpp>

#include "db/lp_db_client.h"
#include "db/lp_db_connection.h"

class lp_db_worker_t : private boost::noncopyable {
public:
    // How long an idle worker looks for its next call before it sleeps.
    static constexpr std::chrono::microseconds spin_limit{200};

    // Runs on the main loop with the call back and its outcome.
    using done_t = std::function<void(std::unique_ptr<lp_db_call_t>, const lp_db_outcome_t&)>;

    // Starts the thread for the parsed connection string, whose handle and
    // the fields that connecting fills in are the worker's from now on.
    lp_db_worker_t(const lp_db_client_t& client, boost::asio::io_context& main,
                   std::shared_ptr<lp_db_connection_t> entry);
    // Waits for the call in progress, if any, closes the connection on the
    // worker and joins it.
    ~lp_db_worker_t();

    // Serves the call next; done is posted to the main loop.
    void run(std::unique_ptr<lp_db_call_t> call, done_t done);

private:
    void run_thread();

    const lp_db_client_t& client;
    boost::asio::io_context& main;
    boost::asio::io_context io;
    const std::shared_ptr<lp_db_connection_t> entry;
    boost::thread thread;
};
