#include "pilotd_standin.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

extern char** environ;

namespace {

constexpr auto write_time_limit = std::chrono::seconds(30);

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Moves a descriptor to a number of at least `low`, keeping close-on-exec.
int raise_fd(int fd, int low)
{
    if (fd >= low)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, low);
    const int error = errno;
    ::close(fd);
    if (moved < 0)
        throw std::runtime_error(errno_text("fcntl", error));
    return moved;
}

void set_variable(std::vector<std::string>& env, const std::string& name, const std::optional<std::string>& value)
{
    const std::string prefix = name + "=";
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& entry) { return entry.compare(0, prefix.size(), prefix) == 0; }),
              env.end());
    if (value)
        env.push_back(prefix + *value);
}

// What the child reports through the exec pipe when it cannot start.
struct start_failure_t {
    int step;
    int error;
};
enum : int { step_setgroups = 1, step_setgid, step_setuid, step_exec, step_fd, step_setrlimit, step_setpgid };

const char* step_name(int step)
{
    switch (step) {
    case step_setgroups: return "setgroups";
    case step_setgid: return "setgid";
    case step_setuid: return "setuid";
    case step_exec: return "exec";
    case step_setrlimit: return "setrlimit";
    case step_setpgid: return "setpgid";
    default: return "descriptor set-up";
    }
}

[[noreturn]] void child_fail(int report_fd, int step)
{
    const start_failure_t failure{step, errno};
    ssize_t ignored = ::write(report_fd, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

class error_collector_t : public google::protobuf::io::ErrorCollector {
public:
    void AddError(int line, int column, const std::string& message) override
    {
        if (!text.empty())
            text += "; ";
        text += "line " + std::to_string(line + 1) + " column " + std::to_string(column + 1) + ": " + message;
    }
    std::string text;
};

}

pilotd_standin_t::pilotd_standin_t(pilotd_standin_options_t options_) : options(std::move(options_)) {}

pilotd_standin_t::~pilotd_standin_t()
{
    if (child > 0 && !reaped) {
        ::kill(child, SIGKILL);
        reap(true);
    }
    close_link();
    close_fd(stderr_fd);
    if (log_thread.joinable()) {
        const char stop = 0;
        ssize_t ignored = ::write(log_stop[1], &stop, 1);
        (void)ignored;
        log_thread.join();
    }
    close_fd(log_stop[0]);
    close_fd(log_stop[1]);
    close_fd(log_read_fd);
}

void pilotd_standin_t::start()
{
    if (child > 0)
        throw std::logic_error("pilotd_standin_t::start: already started");
    if (options.monitor_fd && *options.monitor_fd < 3)
        throw std::invalid_argument("pilotd_standin_t: monitor_fd must be 3 or above");
    // Every descriptor made here stays clear of 0 to 2 and of the link's number in the child.
    const int low = options.monitor_fd ? *options.monitor_fd + 1 : 3;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0)
        throw std::runtime_error(errno_text("socketpair", errno));
    link = raise_fd(pair[0], low);
    int child_end = raise_fd(pair[1], low);

    int report[2] = {-1, -1};
    int log_write = -1;
    auto cleanup = [&] {
        close_fd(child_end);
        close_fd(report[0]);
        close_fd(report[1]);
        close_fd(log_write);
    };
    try {
        if (::pipe2(report, O_CLOEXEC) < 0)
            throw std::runtime_error(errno_text("pipe", errno));
        report[0] = raise_fd(report[0], low);
        report[1] = raise_fd(report[1], low);

        if (options.stderr_path.empty()) {
            char name[] = "/tmp/velbo-standin-stderr-XXXXXX";
            stderr_fd = ::mkostemp(name, O_CLOEXEC);
            if (stderr_fd < 0)
                throw std::runtime_error(errno_text("mkostemp", errno));
            ::unlink(name);
        } else if (options.stderr_path != "-") {
            stderr_fd = ::open(options.stderr_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (stderr_fd < 0)
                throw std::runtime_error(errno_text("open " + options.stderr_path, errno));
        }
        if (stderr_fd >= 0)
            stderr_fd = raise_fd(stderr_fd, low);

        if (options.log_pipe) {
            int log_pipe[2];
            if (::pipe2(log_pipe, O_CLOEXEC) < 0)
                throw std::runtime_error(errno_text("pipe", errno));
            log_read_fd = raise_fd(log_pipe[0], low);
            log_write = raise_fd(log_pipe[1], low);
            ::fcntl(log_read_fd, F_SETFL, O_NONBLOCK);
            if (::pipe2(log_stop, O_CLOEXEC) < 0)
                throw std::runtime_error(errno_text("pipe", errno));
        }
    } catch (...) {
        cleanup();
        throw;
    }

    const int monitor_number = options.monitor_fd ? *options.monitor_fd : child_end;
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry)
        env.emplace_back(*entry);
    if (options.set_monitor)
        set_variable(env, "COM_VELBO_MONITOR", options.monitor_value.value_or(std::to_string(monitor_number)));
    else
        set_variable(env, "COM_VELBO_MONITOR", std::nullopt);
    if (options.log_pipe)
        set_variable(env, "COM_VELBO_ADD_LOG_PIPE", std::to_string(log_write));
    for (const auto& [name, value] : options.env)
        set_variable(env, name, value);

    // Everything the child needs is prepared before the fork: after it, the
    // child only makes async-signal-safe calls.
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{options.daemon_path};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const bool root = ::geteuid() == 0;
    const gid_t group = options.gid.value_or(::getegid());

    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        cleanup();
        throw std::runtime_error(errno_text("fork", error));
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                ::signal(sig, SIG_DFL);
        if (options.own_process_group && ::setpgid(0, 0) < 0)
            child_fail(report[1], step_setpgid);
        if (stderr_fd >= 0 && ::dup2(stderr_fd, 2) < 0)
            child_fail(report[1], step_fd);
        if (child_end != monitor_number && ::dup2(child_end, monitor_number) < 0)
            child_fail(report[1], step_fd);
        if (::fcntl(monitor_number, F_SETFD, 0) < 0)
            child_fail(report[1], step_fd);
        if (log_write >= 0 && ::fcntl(log_write, F_SETFD, 0) < 0)
            child_fail(report[1], step_fd);
        if ((options.uid || options.gid) && root && ::setgroups(1, &group) < 0)
            child_fail(report[1], step_setgroups);
        if (!options.groups.empty() && ::setgroups(options.groups.size(), options.groups.data()) < 0)
            child_fail(report[1], step_setgroups);
        if (options.max_files) {
            const rlimit limit{*options.max_files, *options.max_files};
            if (::setrlimit(RLIMIT_NOFILE, &limit) < 0)
                child_fail(report[1], step_setrlimit);
        }
        if (options.gid && ::setgid(*options.gid) < 0)
            child_fail(report[1], step_setgid);
        if (options.uid && ::setuid(*options.uid) < 0)
            child_fail(report[1], step_setuid);
        ::execve(argv[0], argv.data(), envp.data());
        child_fail(report[1], step_exec);
    }

    child = pid;
    // Also here, so that a signal to the group right after start cannot
    // reach the daemon (an exec already done makes this fail harmlessly).
    if (options.own_process_group)
        ::setpgid(pid, pid);
    close_fd(child_end);
    close_fd(report[1]);
    close_fd(log_write);
    start_failure_t failure{0, 0};
    ssize_t n;
    do
        n = ::read(report[0], &failure, sizeof failure);
    while (n < 0 && errno == EINTR);
    close_fd(report[0]);
    if (n == ssize_t(sizeof failure)) {
        reap(true);
        close_link();
        throw std::runtime_error(errno_text(std::string(step_name(failure.step)) + " " + options.daemon_path,
                                            failure.error));
    }
    if (options.log_pipe)
        log_thread = std::thread([this] { log_reader(); });
}

bool pilotd_standin_t::can_read() const
{
    return link >= 0 && !peer_closed && !framing_broken;
}

read_result_t pilotd_standin_t::read_link(io_clock::time_point deadline)
{
    if (!can_read())
        return read_result_t::closed;
    const read_result_t result = read_available(link, incoming, deadline);
    take_frames();
    if (result == read_result_t::closed)
        peer_closed = true;
    return result;
}

void pilotd_standin_t::take_frames()
{
    const auto now = io_clock::now();
    std::string body;
    uint32_t bad = 0;
    while (!framing_broken) {
        const auto next = incoming.next(body, bad);
        if (next == frame_buffer_t::status_t::incomplete)
            break;
        if (next == frame_buffer_t::status_t::bad_length) {
            errors.push_back("frame length " + std::to_string(bad) + " refused");
            framing_broken = true;
            break;
        }
        received_message_t entry{qv::TrawlD2PilotdMessage(), now};
        if (parse_body(entry.message, body))
            received.push_back(std::move(entry));
        else
            errors.push_back(parse_failure_text(entry.message, body));
    }
}

std::optional<received_message_t> pilotd_standin_t::next_message(std::chrono::milliseconds timeout)
{
    const auto deadline = io_clock::now() + timeout;
    for (bool last = false;;) {
        if (cursor < received.size())
            return received[cursor++];
        if (last || !can_read())
            return std::nullopt;
        last = io_clock::now() >= deadline;
        read_link(deadline);
    }
}

std::optional<qv::TrawlD2PilotdMessage> pilotd_standin_t::wait_for(qv::TrawlD2PilotdMessage_MessageTag tag,
                                                                   std::chrono::milliseconds timeout)
{
    const auto deadline = io_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(deadline - io_clock::now(), io_clock::duration::zero()));
        auto entry = next_message(left);
        if (!entry)
            return std::nullopt;
        if (entry->message.tag() == tag)
            return std::move(entry->message);
    }
}

bool pilotd_standin_t::serve_config(uint32_t revision, const qv::TrawlDConfig& config,
                                    std::chrono::milliseconds timeout)
{
    if (!wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, timeout))
        return false;
    return send_config(revision, config);
}

bool pilotd_standin_t::apply_config(uint32_t revision, const qv::TrawlDConfig& config,
                                    std::chrono::milliseconds timeout)
{
    const auto deadline = io_clock::now() + timeout;
    if (!serve_config(revision, config, timeout))
        return false;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(deadline - io_clock::now(), io_clock::duration::zero()));
        const auto info = wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, left);
        if (!info)
            return false;
        if (info->has_config_revision() && info->config_revision() == revision)
            return true;
    }
}

bool pilotd_standin_t::send_config(uint32_t revision, const qv::TrawlDConfig& config)
{
    qv::Pilotd2TrawlDMessage message;
    message.set_tag(qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
    message.set_config_revision(revision);
    *message.mutable_config() = config;
    return send_message(message);
}

bool pilotd_standin_t::send_message(const google::protobuf::Message& message)
{
    return send_raw(make_frame(message));
}

bool pilotd_standin_t::send_frame(const std::string& body)
{
    return send_raw(make_frame(body));
}

bool pilotd_standin_t::send_raw(const std::string& bytes)
{
    if (link < 0)
        throw std::logic_error("pilotd_standin_t: the link is not open");
    const bool reading = can_read();
    bool closed = !reading;
    const bool sent = write_all(link, bytes, incoming, closed, io_clock::now() + write_time_limit);
    if (reading) {
        // Frames read while the write waited are taken in now.
        take_frames();
        peer_closed = closed;
    }
    return sent;
}

void pilotd_standin_t::close_link()
{
    close_fd(link);
}

void pilotd_standin_t::signal(int sig)
{
    if (child > 0 && !reaped)
        ::kill(child, sig);
}

bool pilotd_standin_t::reap(bool block)
{
    if (reaped)
        return true;
    int raw = 0;
    pid_t done;
    do
        done = ::waitpid(child, &raw, block ? 0 : WNOHANG);
    while (done < 0 && errno == EINTR);
    if (done == 0)
        return false;
    if (done < 0)
        throw std::runtime_error(errno_text("waitpid", errno));
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    reaped = true;
    return true;
}

std::optional<int> pilotd_standin_t::wait_exit(std::chrono::milliseconds timeout)
{
    if (child <= 0)
        throw std::logic_error("pilotd_standin_t::wait_exit: not started");
    const auto deadline = io_clock::now() + timeout;
    for (;;) {
        if (reap(false)) {
            // Take in what the daemon wrote before it ended.
            while (can_read() && read_link(io_clock::now()) == read_result_t::data) {
            }
            return status;
        }
        const auto now = io_clock::now();
        if (now >= deadline)
            return std::nullopt;
        const auto slice = std::min(deadline, now + std::chrono::milliseconds(10));
        if (can_read())
            read_link(slice);
        else
            std::this_thread::sleep_until(slice);
    }
}

std::vector<uint32_t> pilotd_standin_t::info_revisions() const
{
    std::vector<uint32_t> revisions;
    for (const auto& entry : received)
        if (entry.message.tag() == qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION)
            revisions.push_back(entry.message.config_revision());
    return revisions;
}

std::vector<qv::TrawlDAppStat> pilotd_standin_t::stats() const
{
    std::vector<qv::TrawlDAppStat> result;
    for (const auto& entry : received)
        if (entry.message.tag() == qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION)
            result.push_back(entry.message.stat());
    return result;
}

std::string pilotd_standin_t::stderr_text() const
{
    std::string text;
    if (stderr_fd < 0)
        return text;
    char chunk[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(stderr_fd, chunk, sizeof chunk, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(chunk, size_t(n));
        offset += n;
    }
    return text;
}

namespace {

// Reads whatever the non-blocking pipe holds; false at its end.
bool drain_pipe(int fd, std::string& into)
{
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            into.append(chunk, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

}

std::string pilotd_standin_t::log_pipe_text() const
{
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_read_fd >= 0)
        drain_pipe(log_read_fd, log_text);
    return log_text;
}

void pilotd_standin_t::log_reader()
{
    for (;;) {
        pollfd fds[2] = {{log_read_fd, POLLIN, 0}, {log_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        std::lock_guard<std::mutex> lock(log_mutex);
        if (fds[0].revents && !drain_pipe(log_read_fd, log_text))
            return;
        if (fds[1].revents)
            return;
    }
}

qv::TrawlDConfig parse_config_text(const std::string& text)
{
    google::protobuf::TextFormat::Parser parser;
    error_collector_t collector;
    parser.RecordErrorsTo(&collector);
    qv::TrawlDConfig config;
    if (!parser.ParseFromString(text, &config))
        throw std::runtime_error(collector.text.empty() ? std::string("configuration does not parse")
                                                        : collector.text);
    return config;
}

qv::TrawlDConfig load_config_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(errno_text("cannot open " + path, errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error("cannot read " + path);
    try {
        return parse_config_text(text.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}
