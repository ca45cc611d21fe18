// Requests and answers for fixtures that hold one daemon and one client.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_fixture.h"

// What the back-end fixtures share: one daemon under the PilotD stand-in,
// one connected client, configurations by revision, requests with fresh
// serials, and the daemon's standard error.
class daemon_session_t : public ::testing::Test {
protected:
    explicit daemon_session_t(const pilotd_standin_options_t& options = {});
    // Stops a started daemon with SIGTERM (status 107) and fails the test on
    // any sanitizer report in its standard error.
    void TearDown() override;

    // Starts the daemon with the configuration text as revision 1 and
    // connects `client`.
    void start_text(const std::string& text);
    // Applies the text as the next revision and waits for its confirmation.
    void reconfigure_text(const std::string& text);

    // One request on `client`, its serial replaced by a fresh one; an answer
    // missing after `timeout` fails the test (showing the daemon's standard
    // error) and gives a default message.
    lp::ServerMessage ask(lp::ClientMessage request, std::chrono::milliseconds timeout = daemon_timeout);
    lp::ServerMessage ask_lookup(lp::LookupType type, const std::string& tag, const std::string& user = "",
                                 const std::string& domain = "");
    lp::ServerMessage ask_check(lp::LookupType type, const std::string& tag, const std::string& value,
                                const std::string& user = "", const std::string& domain = "");
    // Successful answers; an error in the answer fails the test.
    std::vector<std::string> lookup(lp::LookupType type, const std::string& tag, const std::string& user = "",
                                    const std::string& domain = "");
    bool check(lp::LookupType type, const std::string& tag, const std::string& value,
               const std::string& user = "", const std::string& domain = "");

    // Positions in the daemon's standard error, to look at what one step logged.
    size_t log_mark() const;
    std::string log_since(size_t mark) const;
    std::string log() const;
    // Waits until the daemon's standard error holds the text `count` times.
    bool wait_for_log_count(const std::string& text, size_t count,
                            std::chrono::milliseconds timeout = daemon_timeout) const;

    std::string path_of(const std::string& name) const { return daemon->dir.file(name); }

    std::unique_ptr<daemon_fixture_t> daemon;
    std::unique_ptr<trawl_client_t> client;
    uint32_t serial = 0;
    uint32_t revision = 0;
    bool started = false;
};

// A client socket that the test reads and writes itself: connects to the
// daemon's socket (throws std::runtime_error on failure), writes all bytes
// (false when the daemon closed), frames one request, and reads the body of
// the next frame (false at the end of the stream or on a refused length).
int raw_connect(const std::string& path);
bool write_bytes(int fd, const std::string& bytes);
std::string frame_of(const lp::ClientMessage& request);
// A frame of any body, its length first.
std::string frame_of(const std::string& body);
bool read_frame_body(int fd, std::string& body);
