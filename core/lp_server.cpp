#include "lp_server.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>

#include <boost/asio/error.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "cf_log.h"
#include "lp_client_tie.h"
#include "lp_inventory.h"

namespace {

constexpr std::chrono::milliseconds accept_retry_delay(100);

// Accept errors that pass once descriptors or memory are free again.
bool lacks_resources(const boost::system::error_code& ec)
{
    if (ec.category() != boost::system::system_category())
        return false;
    switch (ec.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
        return true;
    default:
        return false;
    }
}

} // namespace

lp_server_t::lp_server_t(lp_inventory_t& inventory)
    : inventory(inventory), acceptor(inventory.io_context), retry_timer(inventory.io_context)
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

    remove_stale_socket();
    retry_timer.cancel();
    accept_failing = false;
    if (acceptor.is_open())
        acceptor.close();
    acceptor.open(boost::asio::local::stream_protocol());

    const std::string& native = socket_path.native();
    if (native.size() > sizeof(sockaddr_un::sun_path) - 1)
        throw boost::system::system_error(
            boost::system::error_code(ENAMETOOLONG, boost::system::system_category()));

    // The socket file is made with mode 0666 by bind itself: a chmod by
    // name afterwards could follow a name swapped in meanwhile.
    boost::system::error_code ec;
    const mode_t old_umask = ::umask(0111);
    acceptor.bind(boost::asio::local::stream_protocol::endpoint(native), ec);
    ::umask(old_umask);
    if (ec)
        throw boost::filesystem::filesystem_error("bind", socket_path, ec);
    acceptor.listen(128);
    start_accept();
}

void lp_server_t::remove_stale_socket()
{
    struct stat st {};
    if (::lstat(socket_path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return;
        throw boost::filesystem::filesystem_error(
            "lstat", socket_path, boost::system::error_code(errno, boost::system::system_category()));
    }
    if (!S_ISSOCK(st.st_mode))
        throw boost::filesystem::filesystem_error(
            "Not a socket", socket_path, boost::system::error_code(EEXIST, boost::system::system_category()));
    if (::unlink(socket_path.c_str()) != 0 && errno != ENOENT)
        throw boost::filesystem::filesystem_error(
            "unlink", socket_path, boost::system::error_code(errno, boost::system::system_category()));
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
    if (ec) {
        if (!lacks_resources(ec))
            throw boost::system::system_error(ec, "accept");
        // Out of descriptors or memory: say so once, then try again shortly
        // while the clients already connected go on.
        if (!accept_failing && cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, "accept: " + ec.message());
        accept_failing = true;
        retry_timer.expires_after(accept_retry_delay);
        retry_timer.async_wait([this, accepted](const boost::system::error_code& timer_ec) {
            if (!timer_ec && accepted == socket)
                start_accept();
        });
        return;
    }
    accept_failing = false;
    lp_client_tie_t::create(inventory, accepted);
    // An accept of a replaced acceptor does not start another: the new
    // acceptor has its own.
    if (accepted == socket)
        start_accept();
}
