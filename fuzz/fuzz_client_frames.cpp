// Arbitrary bytes from a client: the connection's frame reader, request
// parsing and checks, and the list back-ends behind them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>

#include "fuzz_support.h"
#include "lp_client_tie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz_daemon_t daemon;
    boost::asio::io_context& io = daemon.inventory->io_context;

    auto near = std::make_shared<cf_unix_socket_t>(io);
    cf_unix_socket_t far(io);
    boost::asio::local::connect_pair(*near, far);
    std::weak_ptr<lp_client_tie_t> tie = lp_client_tie_t::create(*daemon.inventory, near);
    near.reset();

    // The client sends everything, then closes its sending side, and reads
    // (and drops) what it is sent; the connection ends once it has answered
    // everything, or at the first fault.
    boost::asio::async_write(far, boost::asio::buffer(data, size),
                             [&far](const boost::system::error_code&, size_t) {
                                 boost::system::error_code ignored;
                                 far.shutdown(boost::asio::socket_base::shutdown_send, ignored);
                             });
    static char answers[65536];
    std::function<void(const boost::system::error_code&, size_t)> drain =
        [&far, &drain](const boost::system::error_code& ec, size_t) {
            if (!ec)
                far.async_read_some(boost::asio::buffer(answers), drain);
        };
    far.async_read_some(boost::asio::buffer(answers), drain);
    io.restart();
    // Everything here is local: a loop idle for a second with the
    // connection still alive is a connection that never ends.
    while (!tie.expired() && io.run_one_for(std::chrono::seconds(1)) != 0) {
    }
    if (!tie.expired())
        __builtin_trap();
    boost::system::error_code ignored;
    far.close(ignored);
    io.restart();
    io.poll();
    return 0;
}
