// Requests and answers for fixtures that hold one daemon and one client.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/daemon_fixture.h"

// One request on `client`, its serial replaced by the next of `serial`; an
// answer missing after `timeout` fails the test (showing the daemon's
// standard error) and gives a default message.
lp::ServerMessage ask_daemon(const daemon_fixture_t& daemon, trawl_client_t& client, uint32_t& serial,
                             lp::ClientMessage request, std::chrono::milliseconds timeout = daemon_timeout);

// The values of a lookup answer; an error in it fails the test.
std::vector<std::string> lookup_values(const lp::ServerMessage& response, const std::string& tag);
// The result of a check answer; an error in it, or no result, fails the test.
bool check_result(const lp::ServerMessage& response, const std::string& tag, const std::string& value);

// The daemon's standard error from a position taken earlier on.
std::string daemon_log_since(const daemon_fixture_t& daemon, size_t mark);

// A client socket that the test reads and writes itself: connects to the
// daemon's socket (throws std::runtime_error on failure), writes all bytes
// (false when the daemon closed), frames one request, and reads the body of
// the next frame (false at the end of the stream or on a refused length).
int raw_connect(const std::string& path);
bool write_bytes(int fd, const std::string& bytes);
std::string frame_of(const lp::ClientMessage& request);
bool read_frame_body(int fd, std::string& body);
