#include "db/lp_db_worker.h"

#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

lp_db_worker_t::lp_db_worker_t(const lp_db_client_t& client_, boost::asio::io_context& main_,
                               std::shared_ptr<lp_db_connection_t> entry_)
    : client(client_), main(main_), entry(std::move(entry_))
{
    thread = boost::thread([this] { run_thread(); });
}

lp_db_worker_t::~lp_db_worker_t()
{
    io.stop();
    thread.join();
}

void lp_db_worker_t::run_thread()
{
    try {
        auto work = boost::asio::make_work_guard(io);
        while (!io.stopped()) {
            if (io.poll_one() != 0)
                continue;
            // Requests come in runs: the next is looked for a little while
            // before the thread sleeps, which spares it the wake-up.
            const auto until = std::chrono::steady_clock::now() + spin_limit;
            bool ran = false;
            while (!ran && !io.stopped() && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
                ran = io.poll_one() != 0;
            }
            if (!ran)
                io.run_one();
        }
        client.close_connection(*entry);
    } catch (const std::exception&) {
        boost::asio::post(main, [e = std::current_exception()]() { std::rethrow_exception(e); });
    }
}

void lp_db_worker_t::run(std::unique_ptr<lp_db_call_t> call, done_t done)
{
    boost::asio::post(io, [this, call = std::move(call), done = std::move(done)]() mutable {
        const lp_db_outcome_t outcome = client.serve(*entry, *call);
        boost::asio::post(main, [done = std::move(done), call = std::move(call), outcome]() mutable {
            done(std::move(call), outcome);
        });
    });
}
