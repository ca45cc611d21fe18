// A stand-in for PilotD: starts the daemon on one end of a socket pair and
// speaks the link protocol on the other, synchronously.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "frame_io.h"
#include "pilotd_trawld_ipc.pb.h"
#include "trawld_appstat.pb.h"
#include "trawld_config.pb.h"

struct pilotd_standin_options_t {
    std::string daemon_path;                 // executable to start
    std::vector<std::string> args;           // extra arguments
    std::vector<std::pair<std::string, std::string>> env;  // variables added or replaced (applied last)
    std::optional<std::string> monitor_value; // COM_VELBO_MONITOR text instead of the descriptor number
    bool set_monitor = true;                 // false: start without COM_VELBO_MONITOR
    std::optional<int> monitor_fd;           // descriptor number of the link in the daemon (default: as allocated)
    std::optional<uid_t> uid;                // start the daemon as this user (supplementary groups dropped)
    std::optional<gid_t> gid;
    std::vector<gid_t> groups;               // non-empty: the daemon's supplementary groups (as root)
    std::optional<unsigned long> max_files;  // RLIMIT_NOFILE of the daemon (soft and hard)
    bool own_process_group = false;          // start the daemon in a process group of its own
    bool log_pipe = false;                   // pass a pipe as COM_VELBO_ADD_LOG_PIPE and collect what arrives
    std::string stderr_path;                 // empty: a temporary file (stderr_text()); "-": inherit; else this file
};

struct received_message_t {
    qv::TrawlD2PilotdMessage message;
    std::chrono::steady_clock::time_point time;
};

class pilotd_standin_t {
public:
    explicit pilotd_standin_t(pilotd_standin_options_t options);
    ~pilotd_standin_t();                      // SIGKILL and reap the daemon if still running; close everything
    pilotd_standin_t(const pilotd_standin_t&) = delete;
    pilotd_standin_t& operator=(const pilotd_standin_t&) = delete;

    // socketpair, fork, exec. Throws std::runtime_error when the daemon
    // cannot be started (exec failure included).
    void start();
    pid_t pid() const { return child; }

    // Messages are consumed in arrival order: wait_for returns the first
    // message with the tag after the last one it returned, reading more
    // until it arrives or the timeout passes. Messages of other tags on the
    // way are passed over. Every message read, by any call, is recorded.
    std::optional<qv::TrawlD2PilotdMessage> wait_for(qv::TrawlD2PilotdMessage_MessageTag tag,
                                                     std::chrono::milliseconds timeout);
    // The next message of any tag, in the same order.
    std::optional<received_message_t> next_message(std::chrono::milliseconds timeout);

    bool serve_config(uint32_t revision, const qv::TrawlDConfig& config, std::chrono::milliseconds timeout);
    bool apply_config(uint32_t revision, const qv::TrawlDConfig& config, std::chrono::milliseconds timeout);

    // The send functions return false when the daemon's end has gone.
    bool send_config(uint32_t revision, const qv::TrawlDConfig& config);
    bool send_message(const google::protobuf::Message& message);  // unchecked
    bool send_frame(const std::string& body);
    bool send_raw(const std::string& bytes);
    void close_link();

    void signal(int sig);
    // Exit status (128 + signal number for a death by signal), reading and
    // recording messages while waiting; nullopt when still running.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

    bool link_closed() const { return peer_closed; }
    const std::vector<received_message_t>& messages() const { return received; }
    std::vector<uint32_t> info_revisions() const;
    std::vector<qv::TrawlDAppStat> stats() const;
    // Frames that were refused: a bad length (reading stops there) or a body
    // that fails the checking parse.
    const std::vector<std::string>& protocol_errors() const { return errors; }
    std::string stderr_text() const;
    std::string log_pipe_text() const;

private:
    read_result_t read_link(io_clock::time_point deadline);
    void take_frames();
    bool can_read() const;
    bool reap(bool block);
    void log_reader();

    pilotd_standin_options_t options;
    pid_t child = -1;
    bool reaped = false;
    int status = 0;
    int link = -1;
    bool peer_closed = false;
    bool framing_broken = false;
    frame_buffer_t incoming;
    std::vector<received_message_t> received;
    size_t cursor = 0;
    std::vector<std::string> errors;
    int stderr_fd = -1;
    int log_read_fd = -1;
    int log_stop[2] = {-1, -1};
    std::thread log_thread;
    mutable std::mutex log_mutex;
    mutable std::string log_text;
};

// Protocol-buffer text format; throws std::runtime_error with the parser's message.
qv::TrawlDConfig parse_config_text(const std::string& text);
qv::TrawlDConfig load_config_file(const std::string& path);

// The velbo-pilotd command; `default_daemon` is started when --daemon is not given.
int pilotd_command(int argc, char** argv, const std::string& default_daemon);
