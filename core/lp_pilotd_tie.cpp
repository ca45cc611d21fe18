#include "lp_pilotd_tie.h"

#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "lp_inventory.h"

lp_pilotd_tie_t::lp_pilotd_tie_t(lp_inventory_t& inventory)
    : cf_unix_ipc_link_t(CF_IPC_MAX_MESSAGE_SIZE), inventory(inventory)
{
}

std::shared_ptr<lp_pilotd_tie_t> lp_pilotd_tie_t::create(lp_inventory_t& inventory, int fd)
{
    std::shared_ptr<lp_pilotd_tie_t> tie = std::make_shared<lp_pilotd_tie_t>(inventory);
    auto socket = std::make_shared<cf_unix_socket_t>(inventory.io_context);
    socket->assign(boost::asio::local::stream_protocol(), fd);
    tie->socket = socket;
    tie->start_read();
    return tie;
}

std::shared_ptr<cf_unix_ipc_link_t> lp_pilotd_tie_t::shared_link()
{
    return shared_from_this();
}

void lp_pilotd_tie_t::request_config()
{
    qv::TrawlD2PilotdMessage message;
    message.set_tag(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST);
    async_send_message(message);
}

void lp_pilotd_tie_t::send_stat(const qv::TrawlDAppStat& stat)
{
    qv::TrawlD2PilotdMessage message;
    message.set_tag(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION);
    message.mutable_stat()->CopyFrom(stat);
    async_send_message(message);
}

void lp_pilotd_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& body)
{
    try {
        qv::Pilotd2TrawlDMessage message;
        if (!message.ParseFromZeroCopyStream(&body))
            throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_MESSAGE_FORMAT));
        handle_message(message);
    } catch (const std::exception& e) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, std::string("Monitor: ") + exception_text(e));
        throw qv::EC_MONITOR_IPC_ERROR;
    }
}

void lp_pilotd_tie_t::handle_message(const qv::Pilotd2TrawlDMessage& message)
{
    if (message.tag() != qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE)
        throw boost::system::system_error(qv::make_error_code(qv::EC_UNEXPECTED_MESSAGE));
    if (!message.has_config_revision() || !message.has_config())
        throw boost::system::system_error(qv::make_error_code(qv::EC_PROTOCOL_VIOLATION));

    inventory.settings->set_config(message.config());
    inventory.apply_config();

    qv::TrawlD2PilotdMessage reply;
    reply.set_tag(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION);
    reply.set_config_revision(message.config_revision());
    async_send_message(reply);
}

void lp_pilotd_tie_t::on_error(const boost::system::error_code& ec)
{
    const boost::system::error_code reported =
        ec == boost::asio::error::eof ? qv::make_error_code(qv::EC_LINK_DISCONNECTED) : ec;
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, "Monitor: " + reported.message());
    throw qv::EC_MONITOR_IPC_ERROR;
}
