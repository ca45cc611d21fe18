#include "trawl_client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "annotation.pb.h"

trawl_client_t::trawl_client_t(const std::string& socket_path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.empty() || socket_path.size() >= sizeof address.sun_path)
        throw std::runtime_error("connect " + socket_path + ": invalid socket path");
    std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
    socket_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_fd < 0)
        throw std::runtime_error(errno_text("socket", errno));
    if (::connect(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        const int error = errno;
        ::close(socket_fd);
        throw std::runtime_error(errno_text("connect " + socket_path, error));
    }
}

trawl_client_t::~trawl_client_t()
{
    if (socket_fd >= 0)
        ::close(socket_fd);
}

lp::ClientMessage make_lookup_request(uint32_t serial, lp::LookupType type, const std::string& tag,
                                      const std::string& user, const std::string& domain)
{
    lp::ClientMessage request;
    request.set_tag(lp::ClientMessage::LOOKUP_REQUEST);
    request.set_serial(serial);
    request.set_lookup_type(type);
    request.set_lookup_tag(tag);
    request.set_user(user);
    request.set_domain(domain);
    return request;
}

lp::ClientMessage make_check_request(uint32_t serial, lp::LookupType type, const std::string& tag,
                                     const std::string& value, const std::string& user, const std::string& domain)
{
    lp::ClientMessage request = make_lookup_request(serial, type, tag, user, domain);
    request.set_tag(lp::ClientMessage::CHECK_REQUEST);
    request.set_check(value);
    return request;
}

bool trawl_client_t::send_lookup(uint32_t serial, lp::LookupType type, const std::string& tag,
                                 const std::string& user, const std::string& domain)
{
    return send_message(make_lookup_request(serial, type, tag, user, domain));
}

bool trawl_client_t::send_check(uint32_t serial, lp::LookupType type, const std::string& tag,
                                const std::string& value, const std::string& user, const std::string& domain)
{
    return send_message(make_check_request(serial, type, tag, value, user, domain));
}

bool trawl_client_t::send_message(const lp::ClientMessage& request)
{
    return send_raw(make_frame(request));
}

bool trawl_client_t::send_frame(const std::string& body)
{
    return send_raw(make_frame(body));
}

bool trawl_client_t::send_raw(const std::string& bytes)
{
    bool closed = peer_closed;
    const bool sent = write_all(socket_fd, bytes, incoming, closed, io_clock::now() + std::chrono::seconds(30));
    peer_closed = closed;
    return sent;
}

std::optional<std::string> trawl_client_t::next_body()
{
    std::string body;
    uint32_t bad = 0;
    switch (incoming.next(body, bad)) {
    case frame_buffer_t::status_t::frame:
        return body;
    case frame_buffer_t::status_t::bad_length:
        throw protocol_error_t("frame length " + std::to_string(bad) + " refused");
    case frame_buffer_t::status_t::incomplete:
        break;
    }
    if (peer_closed && incoming.pending() > 0)
        throw protocol_error_t("the stream ended inside a frame");
    return std::nullopt;
}

std::optional<lp::ServerMessage> trawl_client_t::receive(std::chrono::milliseconds timeout)
{
    const auto deadline = io_clock::now() + timeout;
    for (bool last = false;;) {
        if (auto body = next_body()) {
            lp::ServerMessage response;
            if (!parse_body(response, *body))
                throw protocol_error_t(parse_failure_text(response, *body));
            return response;
        }
        if (last || peer_closed)
            return std::nullopt;
        last = io_clock::now() >= deadline;
        if (read_available(socket_fd, incoming, deadline) == read_result_t::closed)
            peer_closed = true;
    }
}

bool trawl_client_t::wait_closed(std::chrono::milliseconds timeout)
{
    if (incoming.pending() > 0)
        return false;
    if (peer_closed)
        return true;
    switch (read_available(socket_fd, incoming, io_clock::now() + timeout)) {
    case read_result_t::closed:
        peer_closed = true;
        return incoming.pending() == 0;
    case read_result_t::data:
    case read_result_t::timeout:
        break;
    }
    return false;
}

std::map<uint32_t, lp::ServerMessage> trawl_client_t::exchange(const std::vector<lp::ClientMessage>& requests,
                                                               std::chrono::milliseconds timeout)
{
    const auto deadline = io_clock::now() + timeout;
    std::string bytes;
    std::set<uint32_t> wanted;
    for (const auto& request : requests) {
        bytes += make_frame(request);
        wanted.insert(request.serial());
    }
    bool closed = peer_closed;
    write_all(socket_fd, bytes, incoming, closed, deadline);
    peer_closed = closed;

    std::map<uint32_t, lp::ServerMessage> responses;
    while (responses.size() < wanted.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(deadline - io_clock::now(), io_clock::duration::zero()));
        auto response = receive(left);
        if (!response)
            break;
        if (wanted.count(response->serial()))
            responses.emplace(response->serial(), std::move(*response));
    }
    return responses;
}

namespace {

std::string lex_of(const google::protobuf::EnumValueDescriptor* value)
{
    const std::string& lex = value->options().GetExtension(qv::lex);
    return lex.empty() ? value->name() : lex;
}

}

std::string lookup_type_text(lp::LookupType type)
{
    const auto* value = lp::LookupType_descriptor()->FindValueByNumber(type);
    return value ? lex_of(value) : std::to_string(int(type));
}

std::optional<lp::LookupType> parse_lookup_type(const std::string& text)
{
    const auto* descriptor = lp::LookupType_descriptor();
    if (!text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos) {
        const auto* value = descriptor->FindValueByNumber(std::stoi(text));
        if (value)
            return lp::LookupType(value->number());
        return std::nullopt;
    }
    for (int i = 0; i < descriptor->value_count(); ++i)
        if (lex_of(descriptor->value(i)) == text)
            return lp::LookupType(descriptor->value(i)->number());
    return std::nullopt;
}

std::optional<double> parse_seconds(const std::string& text, double most)
{
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
        return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (*end || !(seconds > 0) || seconds > most)
        return std::nullopt;
    return seconds;
}
