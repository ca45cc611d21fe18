// A synchronous client of the daemon's client socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "frame_io.h"
#include "trawld_client_ipc.pb.h"

class trawl_client_t {
public:
    // Connects; throws std::runtime_error on failure.
    explicit trawl_client_t(const std::string& socket_path);
    ~trawl_client_t();
    trawl_client_t(const trawl_client_t&) = delete;
    trawl_client_t& operator=(const trawl_client_t&) = delete;

    // The send functions return false when the daemon has closed the connection.
    bool send_lookup(uint32_t serial, lp::LookupType type, const std::string& tag, const std::string& user,
                     const std::string& domain = "");
    bool send_check(uint32_t serial, lp::LookupType type, const std::string& tag, const std::string& value,
                    const std::string& user = "", const std::string& domain = "");
    bool send_message(const lp::ClientMessage& request);  // as it is, unchecked
    bool send_frame(const std::string& body);
    bool send_raw(const std::string& bytes);

    // The next response; nullopt on timeout or at the end of the stream (see
    // closed()). A response that fails the checking parse, or a refused frame
    // length, throws protocol_error_t.
    std::optional<lp::ServerMessage> receive(std::chrono::milliseconds timeout);
    // True when the daemon closes the connection within the timeout without
    // sending anything more; anything that arrives meanwhile is kept for receive.
    bool wait_closed(std::chrono::milliseconds timeout);
    bool closed() const { return peer_closed; }

    // Sends every request in one write, then collects the responses until
    // each request's serial has one or the timeout passes. The first response
    // for each serial is kept; responses to other serials are dropped.
    std::map<uint32_t, lp::ServerMessage> exchange(const std::vector<lp::ClientMessage>& requests,
                                                   std::chrono::milliseconds timeout);
    int fd() const { return socket_fd; }

private:
    std::optional<std::string> next_body();

    int socket_fd = -1;
    frame_buffer_t incoming;
    bool peer_closed = false;
};

lp::ClientMessage make_lookup_request(uint32_t serial, lp::LookupType type, const std::string& tag,
                                      const std::string& user, const std::string& domain = "");
lp::ClientMessage make_check_request(uint32_t serial, lp::LookupType type, const std::string& tag,
                                     const std::string& value, const std::string& user = "",
                                     const std::string& domain = "");

// A lookup type's display text ("ldap", "cidr"), and back: the display text
// or the number of a declared value.
std::string lookup_type_text(lp::LookupType type);
std::optional<lp::LookupType> parse_lookup_type(const std::string& text);

// A number of seconds as a command line gives it: digits with an optional
// fraction, above 0 and at most `most`; empty for anything else.
std::optional<double> parse_seconds(const std::string& text, double most);

// The velbo-client command, writing to `out` and `err`; `timeout` bounds the
// wait for all answers unless --timeout says otherwise.
int client_command(int argc, char** argv, std::ostream& out, std::ostream& err,
                   std::chrono::milliseconds timeout = std::chrono::seconds(60));
