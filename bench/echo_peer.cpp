#include "echo_peer.h"

#include <cstdlib>
#include <iostream>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/filesystem/operations.hpp>

#include "cf_ipc_link.h"
#include "trawld_client_ipc.pb.h"

namespace {

class echo_link_t : public std::enable_shared_from_this<echo_link_t>, public cf_unix_ipc_link_t {
public:
    echo_link_t() : cf_unix_ipc_link_t(CF_IPC_MAX_MESSAGE_SIZE) {}

    static void create(std::shared_ptr<cf_unix_socket_t> socket)
    {
        auto link = std::make_shared<echo_link_t>();
        link->socket = std::move(socket);
        link->start_read();
    }

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override
    {
        if (!request.ParseFromZeroCopyStream(&body)) {
            socket->close();
            return;
        }
        // Answered from a posted handler, as the daemon's back-ends answer, so
        // that both peers batch their writes alike.
        const lp::ServerMessage::ServerMessageTag tag = request.tag() == lp::ClientMessage::CHECK_REQUEST
                                                            ? lp::ServerMessage::CHECK_RESPONSE
                                                            : lp::ServerMessage::LOOKUP_RESPONSE;
        const uint32_t serial = request.serial();
        auto self = shared_from_this();
        boost::asio::post(socket->get_executor(), [self, tag, serial] { self->answer(tag, serial); });
    }

    void answer(lp::ServerMessage::ServerMessageTag tag, uint32_t serial)
    {
        if (!is_open())
            return;
        response.Clear();
        response.set_tag(tag);
        response.set_serial(serial);
        async_send_message(response);
    }

    void on_error(const boost::system::error_code&) override
    {
        boost::system::error_code ignored;
        socket->close(ignored);
    }

    std::shared_ptr<cf_unix_ipc_link_t> shared_link() override { return shared_from_this(); }

private:
    lp::ClientMessage request;
    lp::ServerMessage response;
};

class echo_server_t {
public:
    echo_server_t(boost::asio::io_context& io, const std::string& path) : io(io), acceptor(io)
    {
        boost::filesystem::remove(path);
        acceptor.open(boost::asio::local::stream_protocol());
        acceptor.bind(boost::asio::local::stream_protocol::endpoint(path));
        acceptor.listen(128);
        start_accept();
    }

private:
    void start_accept()
    {
        socket = std::make_shared<cf_unix_socket_t>(io);
        acceptor.async_accept(*socket, [this](const boost::system::error_code& ec) {
            if (ec)
                return;
            echo_link_t::create(socket);
            start_accept();
        });
    }

    boost::asio::io_context& io;
    boost::asio::local::stream_protocol::acceptor acceptor;
    std::shared_ptr<cf_unix_socket_t> socket;
};

} // namespace

void run_echo_peer(const std::string& socket_path)
{
    try {
        boost::asio::io_context io;
        echo_server_t server(io, socket_path);
        io.run();
    } catch (const std::exception& e) {
        std::cerr << "echo peer: " << e.what() << std::endl;
    }
    std::_Exit(1);
}
