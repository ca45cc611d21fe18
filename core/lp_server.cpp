#include "lp_server.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include <boost/asio/error.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "cf_log.h"
#include "lp_client_tie.h"
#include "lp_inventory.h"

lp_server_t::lp_server_t(lp_inventory_t& inventory)
    : inventory(inventory), acceptor(inventory.io_context)
{
}

lp_server_t::~lp_server_t()
{
    socket.reset();
    boost::system::error_code ignored;
    acceptor.close(ignored);
}

void lp_server_t::apply_config()
{
    const boost::filesystem::path path = inventory.settings->socket_path();
    if (path == socket_path)
        return;
    if (getuid() != 0)
        throw lp_need_restart_t();

    socket_path = path;
    if (cf_log_threshold <= CF_LOG_DEBUG) {
        std::ostringstream text;
        text << "lp_server_t: using socket " << socket_path;
        cf_log_message(CF_LOG_DEBUG, text.str());
    }

    boost::filesystem::remove(socket_path);
    if (acceptor.is_open())
        acceptor.close();
    acceptor.open(boost::asio::local::stream_protocol());

    const std::string& native = socket_path.native();
    if (native.size() > sizeof(sockaddr_un::sun_path) - 1)
        throw boost::system::system_error(
            boost::system::error_code(ENAMETOOLONG, boost::system::system_category()));

    boost::system::error_code ec;
    acceptor.bind(boost::asio::local::stream_protocol::endpoint(native), ec);
    if (ec)
        throw boost::filesystem::filesystem_error("bind", socket_path, ec);
    if (::chmod(native.c_str(), 0666) != 0)
        throw boost::filesystem::filesystem_error(
            "chmod", socket_path,
            boost::system::error_code(errno, boost::system::system_category()));
    acceptor.listen(128);
    start_accept();
}

void lp_server_t::start_accept()
{
    socket = std::make_shared<boost::asio::local::stream_protocol::socket>(inventory.io_context);
    socket_ptr_t accepted = socket;
    acceptor.async_accept(*accepted, [this, accepted](const boost::system::error_code& ec) {
        on_accept(ec, accepted);
    });
}

void lp_server_t::on_accept(const boost::system::error_code& ec, const socket_ptr_t& accepted)
{
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec)
        throw boost::system::system_error(ec, "accept");
    lp_client_tie_t::create(inventory, accepted);
    // An accept of a replaced acceptor does not start another: the new
    // acceptor has its own.
    if (accepted == socket)
        start_accept();
}
