// Helpers for tests that run the real daemon under the PilotD stand-in.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "pilotd_standin.h"
#include "support/test_files.h"
#include "trawl_client.h"

using namespace std::chrono_literals;

using velbo_test::count_of;
using velbo_test::lines_of;
using velbo_test::read_file;
using velbo_test::temp_dir_t;

// The daemon's timeouts in tests: generous, since the sanitized build is slow.
constexpr std::chrono::milliseconds daemon_timeout = 10s;

// A daemon under the stand-in with its socket in a temporary directory.
class daemon_fixture_t {
public:
    explicit daemon_fixture_t(pilotd_standin_options_t options = {});

    // Configuration text with run_as_user uid 0, the socket path, a Debug
    // STDERR log and the given further fields.
    std::string config_text(const std::string& more = "") const;

    void start();
    // Starts and applies config_text(more) as revision 1.
    void start_configured(const std::string& more = "");
    // Waits for a GET_CONFIG_REQUEST, answers it and waits for the confirmation.
    bool apply(uint32_t revision, const std::string& text);
    // Sends a configuration unasked and waits for its confirmation.
    bool push(uint32_t revision, const std::string& text);

    std::unique_ptr<trawl_client_t> connect() const;
    // Waits until the daemon's standard error holds the text.
    bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout = daemon_timeout);
    // Sends SIGTERM and expects exit status 107.
    void stop();

    temp_dir_t dir;
    std::string socket_path;
    pilotd_standin_t pilotd;
};

// A text-format string literal (quotes, backslashes and control bytes escaped).
std::string config_literal(const std::string& text);

// The data entries of a response.
std::vector<std::string> data_of(const lp::ServerMessage& response);

// In a new private mount namespace of the calling process, makes /dev/log a
// datagram socket of its own (dir/log) and returns the socket's descriptor;
// the rest of /dev stays as it is. Throws std::runtime_error on failure.
int divert_dev_log(const std::string& dir);

// Every datagram waiting on the socket, one per line.
std::string received_datagrams(int fd);

inline lp::ClientMessage lookup_request(uint32_t serial, lp::LookupType type, const std::string& tag,
                                        const std::string& user = "", const std::string& domain = "")
{
    return make_lookup_request(serial, type, tag, user, domain);
}

inline lp::ClientMessage check_request(uint32_t serial, lp::LookupType type, const std::string& tag,
                                       const std::string& value, const std::string& user = "",
                                       const std::string& domain = "")
{
    return make_check_request(serial, type, tag, value, user, domain);
}
