// The listening client socket; every accepted connection becomes an
// lp_client_tie_t.
#pragma once

#include <memory>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

class lp_inventory_t;

class lp_server_t {
public:
    explicit lp_server_t(lp_inventory_t& inventory);
    ~lp_server_t();
    lp_server_t(const lp_server_t&) = delete;
    lp_server_t& operator=(const lp_server_t&) = delete;

    // Binds the configured socket path when it differs from the one in use.
    void apply_config();

private:
    using socket_ptr_t = std::shared_ptr<boost::asio::local::stream_protocol::socket>;

    void start_accept();
    // The accepted socket travels with its completion: an accept that had
    // completed when the acceptor was replaced still delivers its own socket.
    void on_accept(const boost::system::error_code& ec, const socket_ptr_t& accepted);
    // Removes a stale socket at the path; anything else there stays and
    // fails the configuration.
    void remove_stale_socket();

    lp_inventory_t& inventory;
    boost::asio::local::stream_protocol::acceptor acceptor;
    boost::filesystem::path socket_path;
    // The socket of the pending accept on the current acceptor.
    socket_ptr_t socket;
    // Delays the next accept after the process ran short of resources.
    boost::asio::steady_timer retry_timer;
    // An accept failed for lack of resources and none has succeeded since.
    bool accept_failing = false;
};
