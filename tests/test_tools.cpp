// Tests of the PilotD stand-in, the client and their commands, against peers
// of this program's own: re-executed with VELBO_FAKE_DAEMON it plays the
// daemon's end of the link, with VELBO_TOOLS_TEST_ROLE=pilotd it runs the
// velbo-pilotd command; an in-process server plays the client socket.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "annotation.pb.h"
#include "error.pb.h"
#include "pilotd_standin.h"
#include "support/child_process.h"
#include "support/server_process.h"
#include "support/test_files.h"
#include "trawl_client.h"

using namespace std::chrono_literals;

namespace {

// ---------------------------------------------------------------------------
// Plain blocking frame I/O of the peers, independent of the tools' own.

bool write_bytes(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool read_exact(int fd, std::string& into, size_t size)
{
    into.resize(size);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, &into[done], size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

std::string frame_of(const std::string& body)
{
    const uint32_t length = uint32_t(body.size());
    return std::string(reinterpret_cast<const char*>(&length), 4) + body;
}

std::string frame_of(const google::protobuf::Message& message)
{
    return frame_of(message.SerializePartialAsString());
}

// One frame body, or nothing at the end of the stream.
std::optional<std::string> read_frame(int fd)
{
    std::string header, body;
    if (!read_exact(fd, header, 4))
        return std::nullopt;
    uint32_t length = 0;
    std::memcpy(&length, header.data(), 4);
    if (!read_exact(fd, body, length))
        return std::nullopt;
    return body;
}

// Writes the bytes in pieces of these sizes, pausing between them, so that
// the reader sees frames split across reads (and several in one read).
void write_split(int fd, const std::string& bytes, std::vector<size_t> pieces)
{
    size_t at = 0;
    for (size_t piece : pieces) {
        if (at >= bytes.size())
            return;
        write_bytes(fd, bytes.substr(at, piece));
        at += piece;
        std::this_thread::sleep_for(30ms);
    }
    if (at < bytes.size())
        write_bytes(fd, bytes.substr(at));
}

std::string self_path()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        std::abort();
    return std::string(buffer, size_t(n));
}

// ---------------------------------------------------------------------------
// The fake daemon: the daemon's side of the link.

volatile sig_atomic_t fake_hup = 0, fake_term = 0;
extern "C" void fake_on_signal(int sig)
{
    (sig == SIGHUP ? fake_hup : fake_term) = 1;
}

qv::TrawlD2PilotdMessage daemon_message(qv::TrawlD2PilotdMessage_MessageTag tag)
{
    qv::TrawlD2PilotdMessage message;
    message.set_tag(tag);
    return message;
}

// Serves the link: asks for its configuration (the first request split over
// three writes), confirms every configuration, reports statistics every
// 100 ms, asks again on SIGHUP, ends with 107 on SIGTERM and 1 when the link
// closes or a message does not parse.
int fake_link_daemon(int link)
{
    struct sigaction action {};
    action.sa_handler = fake_on_signal;
    ::sigaction(SIGHUP, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    // Statistics follow the daemon's rule: each base is the one before plus in minus out.
    uint64_t base = 0, count = 0;
    auto stat_frame = [&] {
        auto message = daemon_message(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION);
        auto* clients = message.mutable_stat()->mutable_clients();
        const uint64_t in = count % 3 == 1 ? 2 : 0, out = count % 3 == 2 ? 1 : 0;
        clients->set_base(base);
        clients->set_in(in);
        clients->set_out(out);
        base += in - out;
        ++count;
        return frame_of(message);
    };
    if (const char* pid_file = std::getenv("VELBO_TEST_PID_FILE"))
        std::ofstream(pid_file) << ::getpid() << "\n";
    std::string first = frame_of(daemon_message(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST));
    first += stat_frame();
    write_split(link, first, {1, 4});

    auto next_stat = std::chrono::steady_clock::now() + 100ms;
    for (;;) {
        if (fake_term) {
            std::fprintf(stderr, "fake: terminated\n");
            return 107;
        }
        if (fake_hup) {
            fake_hup = 0;
            write_bytes(link, frame_of(daemon_message(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST)));
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_stat) {
            write_bytes(link, stat_frame());
            next_stat = now + 100ms;
        }
        pollfd p{link, POLLIN, 0};
        const int wait = int(std::chrono::duration_cast<std::chrono::milliseconds>(next_stat - now).count());
        if (::poll(&p, 1, std::max(wait, 1)) <= 0)
            continue;
        const auto body = read_frame(link);
        if (!body) {
            std::fprintf(stderr, "fake: link closed\n");
            return 1;
        }
        qv::Pilotd2TrawlDMessage message;
        if (!message.ParseFromString(*body) || !message.has_config_revision() || !message.has_config()) {
            std::fprintf(stderr, "fake: bad message\n");
            return 1;
        }
        std::fprintf(stderr, "fake: config revision=%u socket_path=%s\n", message.config_revision(),
                     message.config().socket_path().c_str());
        auto info = daemon_message(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION);
        info.set_config_revision(message.config_revision());
        write_bytes(link, frame_of(info));
    }
}

// Sends a body that does not parse, a good notification, a frame of length 0
// and one more good notification that must never be seen.
int fake_garbage_daemon(int link)
{
    auto info = daemon_message(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION);
    info.set_config_revision(3);
    std::string bytes = frame_of(std::string("\x08\x09", 2));  // tag 9: no such tag
    bytes += frame_of(info);
    bytes += std::string(4, '\0');
    info.set_config_revision(4);
    bytes += frame_of(info);
    write_bytes(link, bytes);
    return 0;
}

int fake_daemon(const std::string& mode)
{
    const char* monitor = std::getenv("COM_VELBO_MONITOR");
    const char* extra = std::getenv("VELBO_TEST_EXTRA");
    const int link = monitor ? std::atoi(monitor) : -1;
    struct stat link_stat {};
    const bool socket = link >= 0 && ::fstat(link, &link_stat) == 0 && S_ISSOCK(link_stat.st_mode);
    gid_t groups[64];
    const int group_count = ::getgroups(64, groups);
    std::string group_text;
    for (int i = 0; i < group_count; ++i)
        group_text += (i ? "," : "") + std::to_string(groups[i]);
    std::fprintf(stderr, "fake: monitor=%s socket=%d uid=%u gid=%u groups=%s extra=%s\n", monitor ? monitor : "-",
                 int(socket), unsigned(::getuid()), unsigned(::getgid()), group_text.c_str(), extra ? extra : "-");
    if (const char* log_pipe = std::getenv("COM_VELBO_ADD_LOG_PIPE")) {
        const std::string line = "Notice: fake daemon started\n";
        ssize_t ignored = ::write(std::atoi(log_pipe), line.data(), line.size());
        (void)ignored;
    }
    if (mode == "link")
        return fake_link_daemon(link);
    if (mode == "garbage")
        return fake_garbage_daemon(link);
    if (mode.rfind("exit:", 0) == 0)
        return std::atoi(mode.c_str() + 5);
    if (mode.rfind("signal:", 0) == 0) {
        std::fflush(stderr);
        ::signal(std::atoi(mode.c_str() + 7), SIG_DFL);
        ::raise(std::atoi(mode.c_str() + 7));
        return 0;
    }
    if (mode == "hang") {
        for (;;)
            ::pause();
    }
    std::fprintf(stderr, "fake: unknown mode %s\n", mode.c_str());
    return 99;
}

// Runs before the tests when this program was started as a peer.
struct role_dispatch_t {
    role_dispatch_t()
    {
        if (const char* mode = std::getenv("VELBO_FAKE_DAEMON")) {
            const int status = fake_daemon(mode);
            std::fflush(stderr);
            ::_exit(status);
        }
        const char* role = std::getenv("VELBO_TOOLS_TEST_ROLE");
        if (role && std::string(role) == "pilotd") {
            std::ifstream in("/proc/self/cmdline", std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::vector<std::string> args;
            std::istringstream split(text);
            for (std::string arg; std::getline(split, arg, '\0');)
                args.push_back(arg);
            std::vector<char*> argv;
            for (auto& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            const int status = pilotd_command(int(args.size()), argv.data(), "/nonexistent/velbo-trawld");
            std::cout.flush();
            std::fflush(stderr);
            ::_exit(status);
        }
    }
} role_dispatch;

// ---------------------------------------------------------------------------
// Helpers of the tests.

using velbo_test::read_file;
using velbo_test::temp_dir_t;

pilotd_standin_options_t fake_options(const std::string& mode)
{
    pilotd_standin_options_t options;
    options.daemon_path = self_path();
    options.env = {{"VELBO_FAKE_DAEMON", mode}};
    return options;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// ---------------------------------------------------------------------------
// The stand-in.

TEST(PilotdStandin, ServesConfigurationsAndRecordsTheLink)
{
    auto options = fake_options("link");
    options.env.push_back({"VELBO_TEST_EXTRA", "hello"});
    options.log_pipe = true;
    pilotd_standin_t standin(options);
    const auto started = std::chrono::steady_clock::now();
    standin.start();

    // The first request arrives in three pieces, 30 ms apart, with a report behind it.
    const auto request = standin.wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, 5s);
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->has_config_revision());
    ASSERT_GE(standin.messages().size(), 1u);
    EXPECT_GE(standin.messages()[0].time - started, 60ms);

    const auto config = parse_config_text("socket_path: \"/tmp/first.sock\"\n"
                                          "allmatch { item { tag: \"colors\" file: \"/tmp/colors\" } }\n");
    ASSERT_TRUE(standin.send_config(5, config));
    const auto info = standin.wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, 5s);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->config_revision(), 5u);

    // No request is outstanding: apply_config waits for the one SIGHUP brings.
    auto second = config;
    second.set_socket_path("/tmp/second.sock");
    EXPECT_FALSE(standin.apply_config(6, second, 300ms));
    standin.signal(SIGHUP);
    ASSERT_TRUE(standin.apply_config(6, second, 5s));
    EXPECT_EQ(standin.info_revisions(), (std::vector<uint32_t>{5, 6}));

    while (standin.stats().size() < 5)
        ASSERT_TRUE(standin.wait_for(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION, 5s));
    const auto stats = standin.stats();
    EXPECT_EQ(stats[0].clients().base(), 0u);
    for (size_t i = 1; i < stats.size(); ++i) {
        const auto& before = stats[i - 1].clients();
        EXPECT_EQ(stats[i].clients().base(), before.base() + before.in() - before.out()) << i;
    }
    for (size_t i = 1; i < standin.messages().size(); ++i)
        EXPECT_LE(standin.messages()[i - 1].time, standin.messages()[i].time);

    standin.signal(SIGTERM);
    EXPECT_EQ(standin.wait_exit(5s), std::optional<int>(107));
    EXPECT_TRUE(standin.link_closed());
    EXPECT_TRUE(standin.protocol_errors().empty());
    const std::string stderr_text = standin.stderr_text();
    EXPECT_NE(stderr_text.find("extra=hello"), std::string::npos) << stderr_text;
    EXPECT_NE(stderr_text.find("fake: config revision=5 socket_path=/tmp/first.sock\n"), std::string::npos);
    EXPECT_NE(stderr_text.find("fake: config revision=6 socket_path=/tmp/second.sock\n"), std::string::npos);
    EXPECT_NE(stderr_text.find("fake: terminated\n"), std::string::npos);
    EXPECT_EQ(standin.log_pipe_text(), "Notice: fake daemon started\n");
}

TEST(PilotdStandin, RefusesMalformedFramesAndStopsAtABadLength)
{
    pilotd_standin_t standin(fake_options("garbage"));
    standin.start();
    EXPECT_EQ(standin.wait_exit(5s), std::optional<int>(0));
    EXPECT_EQ(standin.info_revisions(), (std::vector<uint32_t>{3}));
    EXPECT_EQ(standin.protocol_errors(),
              (std::vector<std::string>{"message of 2 bytes does not parse: missing required fields: tag", "frame length 0 refused"}));
}

TEST(PilotdStandin, ReportsExitStatusesAndDeathsBySignal)
{
    struct exit_case_t {
        std::string mode;
        int sent_signal;  // 0: none
        int status;
    };
    for (const auto& c : std::vector<exit_case_t>{{"exit:0", 0, 0},
                                                  {"exit:102", 0, 102},
                                                  {"exit:125", 0, 125},
                                                  {"signal:9", 0, 137},
                                                  {"hang", SIGTERM, 143},
                                                  {"hang", SIGINT, 130},
                                                  {"link", SIGTERM, 107}}) {
        SCOPED_TRACE(c.mode);
        pilotd_standin_t standin(fake_options(c.mode));
        standin.start();
        // The link daemon asks for its configuration once its handlers are in
        // place; a slow start (a sanitized build) must not meet the signal first.
        if (c.mode == "link") {
            ASSERT_TRUE(standin.wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, 10s));
        }
        if (c.sent_signal) {
            EXPECT_FALSE(standin.wait_exit(200ms));
            standin.signal(c.sent_signal);
        }
        EXPECT_EQ(standin.wait_exit(5s), std::optional<int>(c.status));
        EXPECT_EQ(standin.wait_exit(0ms), std::optional<int>(c.status));
    }

    // The daemon sees its link closed.
    {
        pilotd_standin_t standin(fake_options("link"));
        standin.start();
        ASSERT_TRUE(standin.wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, 5s));
        standin.close_link();
        EXPECT_EQ(standin.wait_exit(5s), std::optional<int>(1));
        EXPECT_NE(standin.stderr_text().find("fake: link closed"), std::string::npos);
    }

    // A daemon still running when the stand-in goes is killed and reaped.
    pid_t pid;
    {
        pilotd_standin_t standin(fake_options("hang"));
        standin.start();
        pid = standin.pid();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(::kill(pid, 0), 0);
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);

    // A program that cannot be executed fails the start.
    pilotd_standin_options_t missing;
    missing.daemon_path = "/nonexistent/velbo-trawld";
    pilotd_standin_t standin(missing);
    try {
        standin.start();
        ADD_FAILURE() << "start did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "exec /nonexistent/velbo-trawld: No such file or directory");
    }
}

TEST(PilotdStandin, SetsUpTheEnvironmentAndUserOfTheDaemon)
{
    // An inherited value must not leak into a daemon started without one.
    ::setenv("COM_VELBO_MONITOR", "99", 1);
    struct env_case_t {
        std::function<void(pilotd_standin_options_t&)> set;
        std::string expected;  // part of the fake's report line
    };
    const uid_t nobody = ::geteuid() == 0 ? 65534 : ::geteuid();
    const gid_t nogroup = ::geteuid() == 0 ? 65534 : ::getegid();
    const std::string ids = "uid=" + std::to_string(nobody) + " gid=" + std::to_string(nogroup);
    const std::vector<env_case_t> cases{
        {[](auto& o) { o.set_monitor = false; }, "monitor=- socket=0"},
        {[](auto& o) { o.monitor_value = "7x"; }, "monitor=7x "},
        {[](auto& o) { o.monitor_value = ""; }, "monitor= socket"},
        {[](auto& o) { o.monitor_fd = 7; }, "monitor=7 socket=1"},
        {[](auto& o) { o.env.push_back({"VELBO_TEST_EXTRA", "a b=c"}); }, "extra=a b=c\n"},
        {[&](auto& o) {
             o.uid = nobody;
             o.gid = nogroup;
         },
         ids + " groups=" + (::geteuid() == 0 ? std::to_string(nogroup) + " " : std::string())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        auto options = fake_options("exit:0");
        c.set(options);
        pilotd_standin_t standin(options);
        standin.start();
        EXPECT_EQ(standin.wait_exit(5s), std::optional<int>(0));
        EXPECT_NE(standin.stderr_text().find(c.expected), std::string::npos) << standin.stderr_text();
    }
    ::unsetenv("COM_VELBO_MONITOR");

    // By default the variable holds the number of a socket descriptor.
    pilotd_standin_t standin(fake_options("exit:0"));
    standin.start();
    EXPECT_EQ(standin.wait_exit(5s), std::optional<int>(0));
    const std::string text = standin.stderr_text();
    const auto at = text.find("monitor=");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GE(std::atoi(text.c_str() + at + 8), 3);
    EXPECT_NE(text.find(" socket=1 "), std::string::npos) << text;

    // The link on a chosen descriptor, named with a sign, still carries the protocol.
    temp_dir_t dir;
    auto options = fake_options("link");
    options.monitor_fd = 9;
    options.monitor_value = "+9";
    options.stderr_path = dir.file("stderr");
    pilotd_standin_t signed_link(options);
    signed_link.start();
    EXPECT_TRUE(signed_link.apply_config(0, qv::TrawlDConfig(), 5s));
    EXPECT_NE(read_file(dir.file("stderr")).find("monitor=+9 socket=1"), std::string::npos);
    EXPECT_NE(signed_link.stderr_text().find("fake: config revision=0 socket_path=\n"), std::string::npos);
}

TEST(PilotdStandin, ParsesTextConfigurations)
{
    const auto config = parse_config_text("socket_path: \"/run/x.sock\"\n"
                                          "cidr { item { tag: \"nets\" file: \"/etc/nets\" } }\n");
    EXPECT_EQ(config.socket_path(), "/run/x.sock");
    ASSERT_EQ(config.cidr().item_size(), 1);
    EXPECT_EQ(config.cidr().item(0).tag(), "nets");

    for (const std::string bad : {"socket_path: 1\n", "no_such_field: \"x\"\n", "cidr { item { file: \"/x\" } }\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(parse_config_text(bad), std::runtime_error);
    }
    try {
        parse_config_text("\nsocket_path: 1\n");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
    EXPECT_THROW(load_config_file("/nonexistent/config"), std::runtime_error);
}

// ---------------------------------------------------------------------------
// The client, against an in-process server on a real UNIX socket.

class fake_server_t {
public:
    // `serve` runs on the server's thread with each accepted connection.
    explicit fake_server_t(std::function<void(int)> serve_) : serve(std::move(serve_))
    {
        path = dir.file("trawl.sock");
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(listener, 8) < 0)
            throw std::runtime_error("cannot listen on " + path);
        thread = std::thread([this] {
            const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                serve(connection);
                ::close(connection);
            }
        });
    }
    ~fake_server_t()
    {
        join();
        ::close(listener);
    }
    // Waits for the connection to be served (or for none, if none came).
    void join()
    {
        if (!thread.joinable())
            return;
        ::shutdown(listener, SHUT_RDWR);
        thread.join();
    }
    temp_dir_t dir;
    std::string path;

private:
    std::function<void(int)> serve;
    int listener = -1;
    std::thread thread;
};

lp::ServerMessage lookup_response(uint32_t serial, std::vector<std::string> data)
{
    lp::ServerMessage response;
    response.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
    response.set_serial(serial);
    for (auto& value : data)
        response.add_data(value);
    return response;
}

lp::ServerMessage check_response(uint32_t serial, std::optional<bool> result, int error = 0,
                                 const std::string& what = "")
{
    lp::ServerMessage response;
    response.set_tag(lp::ServerMessage::CHECK_RESPONSE);
    response.set_serial(serial);
    if (result)
        response.set_result(*result);
    if (error) {
        response.mutable_error()->set_code(qv::ErrorCode(error));
        response.mutable_error()->set_what(what);
    }
    return response;
}

// Reads `count` requests, then answers them with `responses` (in that
// order, split across writes) and closes unless `keep_open`.
struct scripted_peer_t {
    scripted_peer_t(size_t count_, std::vector<lp::ServerMessage> responses_, bool keep_open_ = false)
        : count(count_), responses(std::move(responses_)), keep_open(keep_open_)
    {
    }
    size_t count;
    std::vector<lp::ServerMessage> responses;
    bool keep_open;
    std::vector<lp::ClientMessage> requests;  // as received

    void operator()(int connection)
    {
        for (size_t i = 0; i < count; ++i) {
            const auto body = read_frame(connection);
            if (!body)
                return;
            lp::ClientMessage request;
            request.ParseFromString(*body);
            requests.push_back(request);
        }
        std::string bytes;
        for (const auto& response : responses)
            bytes += frame_of(response);
        write_split(connection, bytes, {1, 3, 7});
        if (keep_open) {
            std::string rest;
            read_exact(connection, rest, 1);  // until the client goes
        }
    }
};

TEST(TrawlClient, MatchesPipelinedResponsesBySerial)
{
    scripted_peer_t peer{3,
                         {check_response(3, std::nullopt, 71, "Tag value is invalid"), check_response(2, true),
                          lookup_response(1, {"red", "green"}), lookup_response(9, {"late"})}};
    fake_server_t server(std::ref(peer));
    trawl_client_t client(server.path);
    const auto responses = client.exchange({make_lookup_request(1, lp::LOOKUP_LDAP, "people", "alice"),
                                            make_check_request(2, lp::LOOKUP_CIDR, "nets", "10.1.2.3"),
                                            make_check_request(3, lp::LOOKUP_MASK, "files", "x.txt", "bob", "corp")},
                                           5s);
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(responses.at(1).tag(), lp::ServerMessage::LOOKUP_RESPONSE);
    EXPECT_EQ(std::vector<std::string>(responses.at(1).data().begin(), responses.at(1).data().end()),
              (std::vector<std::string>{"red", "green"}));
    EXPECT_TRUE(responses.at(2).result());
    EXPECT_EQ(responses.at(3).error().code(), qv::EC_INVALID_TAG);
    EXPECT_FALSE(responses.at(3).has_result());

    // What came after the matched responses is still there, then the end.
    EXPECT_FALSE(client.wait_closed(2s));
    const auto late = client.receive(2s);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->serial(), 9u);
    EXPECT_FALSE(client.receive(2s));
    EXPECT_TRUE(client.closed());
    EXPECT_TRUE(client.wait_closed(0ms));

    // The requests went out with every field the daemon requires, type 0 included.
    server.join();
    ASSERT_EQ(peer.requests.size(), 3u);
    EXPECT_TRUE(peer.requests[0].has_lookup_type());
    EXPECT_EQ(peer.requests[0].lookup_type(), lp::LOOKUP_LDAP);
    EXPECT_EQ(peer.requests[0].user(), "alice");
    EXPECT_EQ(peer.requests[1].tag(), lp::ClientMessage::CHECK_REQUEST);
    EXPECT_EQ(peer.requests[1].check(), "10.1.2.3");
    EXPECT_EQ(peer.requests[2].domain(), "corp");
    for (const auto& request : peer.requests)
        EXPECT_TRUE(request.has_serial() && request.has_lookup_tag());
}

TEST(TrawlClient, SeesMalformedResponsesAsSuch)
{
    struct bad_case_t {
        std::string name;
        std::string bytes;
    };
    const std::string good = frame_of(lookup_response(1, {"x"}));
    for (const auto& c : std::vector<bad_case_t>{
             {"body without tag", frame_of(std::string("\x10\x01", 2))},
             {"error without code", frame_of(std::string("\x08\x01\x10\x01\xa2\x06\x02\x12\x00", 9))},
             {"length 0", std::string(4, '\0')},
             {"length above 64 MiB", frame_of(std::string()).replace(0, 4, "\x01\x00\x00\x04", 4)},
             {"stream ends inside a frame", good.substr(0, good.size() - 1)}}) {
        SCOPED_TRACE(c.name);
        fake_server_t server([&](int connection) {
            const auto request = read_frame(connection);
            if (request)
                write_split(connection, c.bytes, {2});
        });
        trawl_client_t client(server.path);
        ASSERT_TRUE(client.send_lookup(1, lp::LOOKUP_ALLMATCH, "colors", "alice"));
        EXPECT_THROW(client.receive(5s), protocol_error_t);
    }

    // A connection closed without a word.
    fake_server_t server([](int connection) { read_frame(connection); });
    trawl_client_t client(server.path);
    client.send_lookup(1, lp::LOOKUP_ALLMATCH, "colors", "alice");
    EXPECT_TRUE(client.wait_closed(5s));
    EXPECT_FALSE(client.receive(0ms));
    EXPECT_THROW(trawl_client_t(server.dir.file("missing.sock")), std::runtime_error);
}

// ---------------------------------------------------------------------------
// velbo-client.

struct command_result_t {
    int status;
    std::string out, err;
};

command_result_t run_client(std::vector<std::string> args, std::chrono::milliseconds timeout = 5s)
{
    args.insert(args.begin(), "velbo-client");
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    std::ostringstream out, err;
    const int status = client_command(int(argv.size()), argv.data(), out, err, timeout);
    return {status, out.str(), err.str()};
}

TEST(VelboClient, PrintsOneLinePerRequestInTheOrderGiven)
{
    scripted_peer_t peer{4,
                         {lookup_response(4, {}), check_response(3, std::nullopt, 71, "Tag value is invalid"),
                          lookup_response(1, {"red", "green"}), check_response(2, true)}};
    fake_server_t server(std::ref(peer));
    const auto result = run_client({"--socket", server.path, "--user", "alice", "lookup", "allmatch", "colors",
                                    "check", "42", "nets", "10.1.2.3", "--domain", "corp", "check", "mask", "files",
                                    "x.txt", "lookup", "ldap", "people"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "1 lookup allmatch/colors user=alice: red, green\n"
                          "2 check cidr/nets 10.1.2.3 user=alice: true\n"
                          "3 check mask/files x.txt user=alice domain=corp: error 71 (Tag value is invalid)\n"
                          "4 lookup ldap/people user=alice domain=corp: (none)\n");
    server.join();
    ASSERT_EQ(peer.requests.size(), 4u);
    EXPECT_EQ(peer.requests[1].lookup_type(), lp::LOOKUP_CIDR);
    EXPECT_EQ(peer.requests[1].domain(), "");
    EXPECT_EQ(peer.requests[3].lookup_type(), lp::LOOKUP_LDAP);
    EXPECT_TRUE(peer.requests[3].has_lookup_type());
    EXPECT_EQ(peer.requests[3].domain(), "corp");
}

TEST(VelboClient, SaysWhyAnAnswerIsMissing)
{
    {
        scripted_peer_t peer{2, {check_response(2, false)}};
        fake_server_t server(std::ref(peer));
        const auto result = run_client({"--socket", server.path, "lookup", "regex", "r", "check", "cidr", "n", "v"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "1 lookup regex/r: no answer (connection closed)\n2 check cidr/n v: false\n");
    }
    {
        scripted_peer_t peer{2, {lookup_response(2, {"only"})}, true};
        fake_server_t server(std::ref(peer));
        const auto started = std::chrono::steady_clock::now();
        const auto result = run_client({"--socket", server.path, "lookup", "pq", "a", "lookup", "sqlite", "b"}, 300ms);
        EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "1 lookup pq/a: no answer (timeout)\n2 lookup sqlite/b: only\n");
    }
    {
        // --timeout wins over the caller's bound (5 s here).
        scripted_peer_t peer{1, {}, true};
        fake_server_t server(std::ref(peer));
        const auto started = std::chrono::steady_clock::now();
        const auto result = run_client({"--socket", server.path, "--timeout", "0.3", "lookup", "pq", "a"});
        const auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_GE(waited, 300ms);
        EXPECT_LT(waited, 4s);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "1 lookup pq/a: no answer (timeout)\n");
    }
    {
        lp::ServerMessage untagged;
        untagged.set_serial(2);
        scripted_peer_t peer{2, {lookup_response(1, {}), untagged}};
        fake_server_t server(std::ref(peer));
        const auto result = run_client({"--socket", server.path, "lookup", "redis", "a", "lookup", "ad", "b"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "1 lookup redis/a: (none)\n2 lookup ad/b: no answer (malformed response)\n");
        EXPECT_NE(result.err.find("malformed response"), std::string::npos) << result.err;
    }
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"lookup", "cidr", "x"}, {"--socket", "/x"}, {"--socket", "/x", "lookup", "nosuch", "x"},
             {"--socket", "/x", "lookup", "2", "x"}, {"--socket", "/x", "check", "cidr", "x"},
             {"--socket", "/x", "--timeout"}}) {
        EXPECT_EQ(run_client(args).status, 2);
    }
    for (const std::string bad : {"0", "-1", "abc", "", "1e3", "86401", "1.2.3"}) {
        const auto result = run_client({"--socket", "/x", "--timeout", bad, "lookup", "cidr", "x"});
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_NE(result.err.find("--timeout needs a number of seconds"), std::string::npos) << result.err;
    }
    const auto help = run_client({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("[--timeout SECONDS]"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("(default 60)"), std::string::npos) << help.out;
    const auto refused = run_client({"--socket", "/nonexistent/trawl.sock", "lookup", "cidr", "x"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("connect /nonexistent/trawl.sock"), std::string::npos);
}

// ---------------------------------------------------------------------------
// velbo-pilotd, run as a process of its own with a fake daemon.

struct process_t {
    pid_t pid = -1;
    std::optional<int> status;

    std::optional<int> wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!status) {
            int raw = 0;
            if (::waitpid(pid, &raw, WNOHANG) == pid)
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            else if (std::chrono::steady_clock::now() >= deadline)
                break;
            else
                std::this_thread::sleep_for(10ms);
        }
        return status;
    }
    ~process_t()
    {
        if (pid > 0 && !status) {
            ::kill(pid, SIGKILL);
            wait(5s);
        }
    }
};

// The velbo-pilotd command (this program in that role, or the program
// given) with its output in files of `dir`, leading a process group as a
// shell's job does.
void start_pilotd(process_t& process, const temp_dir_t& dir, std::vector<std::string> args,
                  const std::string& program = self_path())
{
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string out = dir.file("out"), err = dir.file("err");
    process.pid = ::fork();
    ASSERT_GE(process.pid, 0);
    if (process.pid == 0) {
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        ::setpgid(0, 0);
        ::setenv("VELBO_TOOLS_TEST_ROLE", "pilotd", 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
}

// Waits until velbo-pilotd's standard output in `dir` holds the text.
bool pilotd_said(const temp_dir_t& dir, const std::string& text)
{
    return eventually([&] { return read_file(dir.file("out")).find(text) != std::string::npos; });
}

// The process group of a running process, from /proc.
pid_t process_group_of(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state;
    pid_t parent = 0, group = 0;
    fields >> state >> parent >> group;
    return group;
}

// A script that starts this program as the fake daemon in `mode`, with these
// variable assignments.
std::string fake_daemon_script(const temp_dir_t& dir, const std::string& mode, const std::string& assignments = "")
{
    return dir.write("daemon-" + mode.substr(0, mode.find(':')),
                     "#!/bin/sh\n" + assignments + " VELBO_FAKE_DAEMON='" + mode + "' exec '" + self_path() +
                         "' \"$@\"\n",
                     0755);
}

TEST(VelboPilotd, RunsACommandOnceTheConfigurationIsConfirmed)
{
    temp_dir_t dir;
    dir.write("config", "socket_path: \"/tmp/demo.sock\"\n");
    process_t pilotd;
    start_pilotd(pilotd, dir,
                 {"--config", dir.file("config"), "--revision", "7", "--stats", "--daemon",
                  fake_daemon_script(dir, "link"), "--", "sh", "-c", "sleep 0.3; echo command ran; exit 3"});
    ASSERT_EQ(pilotd.wait(20s), std::optional<int>(3)) << read_file(dir.file("err"));
    const std::string out = read_file(dir.file("out"));
    const auto sent = out.find("pilotd: configuration revision 7 sent\n");
    const auto applied = out.find("pilotd: configuration revision 7 applied\n");
    const auto ran = out.find("command ran\n");
    const auto exited = out.find("pilotd: velbo-trawld exited with status 107\n");
    EXPECT_NE(exited, std::string::npos) << out;
    EXPECT_TRUE(sent < applied && applied < ran && ran < exited) << out;
    EXPECT_NE(out.find("pilotd: statistics base 0 in 0 out 0\n"), std::string::npos) << out;
    EXPECT_NE(read_file(dir.file("err")).find("fake: config revision=7 socket_path=/tmp/demo.sock\n"), std::string::npos);
}

TEST(VelboPilotd, ForwardsSignalsAndRereadsTheConfiguration)
{
    temp_dir_t dir;
    dir.write("config", "socket_path: \"/tmp/one.sock\"\n");
    process_t pilotd;
    start_pilotd(pilotd, dir, {"--config", dir.file("config"), "--daemon", fake_daemon_script(dir, "link")});
    ASSERT_TRUE(pilotd_said(dir, "pilotd: configuration revision 1 applied\n"))
        << read_file(dir.file("out")) << read_file(dir.file("err"));

    dir.write("config", "socket_path: \"/tmp/two.sock\"\n");
    ::kill(pilotd.pid, SIGHUP);
    ASSERT_TRUE(pilotd_said(dir, "pilotd: configuration revision 2 applied\n"))
        << read_file(dir.file("out"));
    EXPECT_EQ(read_file(dir.file("out")).find("statistics"), std::string::npos);

    ::kill(pilotd.pid, SIGTERM);
    EXPECT_EQ(pilotd.wait(10s), std::optional<int>(107));
    EXPECT_NE(read_file(dir.file("out")).find("pilotd: velbo-trawld exited with status 107\n"), std::string::npos);
    const std::string err = read_file(dir.file("err"));
    EXPECT_NE(err.find("revision=1 socket_path=/tmp/one.sock"), std::string::npos) << err;
    EXPECT_NE(err.find("revision=2 socket_path=/tmp/two.sock"), std::string::npos) << err;
}

TEST(VelboPilotd, StopsTheDaemonInOrderOnCtrlC)
{
    temp_dir_t dir;
    dir.write("config", "socket_path: \"/tmp/one.sock\"\n");
    const std::string pid_file = dir.file("daemon.pid");
    process_t pilotd;
    start_pilotd(pilotd, dir,
                 {"--config", dir.file("config"), "--daemon",
                  fake_daemon_script(dir, "link", "VELBO_TEST_PID_FILE='" + pid_file + "'")});
    ASSERT_TRUE(pilotd_said(dir, "pilotd: configuration revision 1 applied\n"))
        << read_file(dir.file("out")) << read_file(dir.file("err"));
    const pid_t daemon = std::stoi(read_file(pid_file));
    EXPECT_EQ(process_group_of(daemon), daemon);

    // Ctrl-C signals the terminal's foreground group: the stand-in's, not the
    // daemon's. The fake daemon ends with 107 on SIGTERM and dies of SIGINT.
    ASSERT_EQ(::kill(-pilotd.pid, SIGINT), 0);
    EXPECT_EQ(pilotd.wait(10s), std::optional<int>(107));
    EXPECT_NE(read_file(dir.file("out")).find("pilotd: velbo-trawld exited with status 107\n"), std::string::npos)
        << read_file(dir.file("out"));
    EXPECT_NE(read_file(dir.file("err")).find("fake: terminated\n"), std::string::npos) << read_file(dir.file("err"));
}

TEST(VelboPilotd, FailsWhenTheDaemonDoesNotConfirm)
{
    temp_dir_t dir;
    dir.write("config", "socket_path: \"/tmp/x.sock\"\n");
    const std::string marker = dir.file("marker");
    {
        process_t pilotd;
        start_pilotd(pilotd, dir,
                     {"--config", dir.file("config"), "--daemon", fake_daemon_script(dir, "exit:102"), "--", "touch",
                      marker});
        EXPECT_EQ(pilotd.wait(10s), std::optional<int>(1));
        const std::string out = read_file(dir.file("out"));
        EXPECT_NE(out.find("pilotd: velbo-trawld exited with status 102\n"), std::string::npos) << out;
        EXPECT_NE(out.find("did not confirm"), std::string::npos) << out;
        EXPECT_NE(::access(marker.c_str(), F_OK), 0);
    }
    {
        // A command that succeeds while the daemon dies under it fails the run.
        process_t pilotd;
        const std::string pid_file = dir.file("daemon.pid");
        start_pilotd(pilotd, dir,
                     {"--config", dir.file("config"), "--daemon",
                      fake_daemon_script(dir, "link", "VELBO_TEST_PID_FILE='" + pid_file + "'"), "--", "sh", "-c",
                      "kill -KILL $(cat '" + pid_file + "'); sleep 0.3; exit 0"});
        EXPECT_EQ(pilotd.wait(10s), std::optional<int>(1));
        const std::string out = read_file(dir.file("out"));
        EXPECT_NE(out.find("pilotd: configuration revision 1 applied\n"), std::string::npos) << out;
        EXPECT_NE(out.find("pilotd: velbo-trawld exited with status 137\n"), std::string::npos) << out;
    }
    for (const auto& config : {std::string("socket_path: 1\n"), std::string()}) {
        dir.write("bad", config);
        process_t pilotd;
        start_pilotd(pilotd, dir,
                     {"--config", config.empty() ? dir.file("missing") : dir.file("bad"), "--daemon",
                      fake_daemon_script(dir, "link")});
        EXPECT_EQ(pilotd.wait(10s), std::optional<int>(2));
        EXPECT_NE(read_file(dir.file("err")).find("velbo-pilotd: "), std::string::npos);
    }
}

}

namespace {

// ---------------------------------------------------------------------------
// The install step, the documentation and velbo-bench's options.

// The build directory: the first above the daemon that holds CMakeCache.txt.
std::string build_dir()
{
    for (boost::filesystem::path dir = boost::filesystem::path(VELBO_TRAWLD_BIN).parent_path(); !dir.empty();
         dir = dir.parent_path()) {
        if (boost::filesystem::exists(dir / "CMakeCache.txt"))
            return dir.string();
        if (dir == dir.root_path())
            break;
    }
    return std::string();
}

velbo_test::child_result_t run_shell(const std::string& command)
{
    return velbo_test::run_program("/bin/sh", {"sh", "-c", command},
                                   velbo_test::environment_without({"COM_VELBO_MONITOR"}));
}

std::set<std::string> files_below(const std::string& dir)
{
    std::set<std::string> files;
    for (boost::filesystem::recursive_directory_iterator it(dir), end; it != end; ++it)
        if (!boost::filesystem::is_directory(it->status()))
            files.insert(boost::filesystem::relative(it->path(), dir).string());
    return files;
}

TEST(Install, PutsTheDaemonTheToolsAndTheManualPageUnderThePrefix)
{
    const std::string build = build_dir();
    ASSERT_FALSE(build.empty()) << VELBO_TRAWLD_BIN;
    temp_dir_t dir;
    const std::string prefix = dir.file("prefix");
    const auto installed = run_shell("cmake --install '" + build + "' --prefix '" + prefix + "'");
    ASSERT_TRUE(installed.exited && installed.status == 0) << velbo_test::describe(installed);
    EXPECT_EQ(files_below(prefix), (std::set<std::string>{"bin/velbo-client", "bin/velbo-pilotd", "bin/velbo-trawld",
                                                           "share/man/man1/velbo-trawld.1"}));
    const auto version = run_shell("'" + prefix + "/bin/velbo-trawld' --version");
    EXPECT_EQ(version.out, "velbo-trawld " VELBO_VERSION "\n") << velbo_test::describe(version);

    // The installed stand-in starts the installed daemon beside it, the
    // installed client asks it, and Ctrl-C stops it in order.
    const std::string socket = dir.file("trawld.sock");
    dir.write("colors.txt", "red\nGreen\n");
    dir.write("config", "run_as_user { uid: 0 }\nsocket_path: \"" + socket +
                            "\"\nlog_level: LOG_LEVEL_NOTICE\nactual_log { type: STDERR }\n"
                            "allmatch { item { tag: \"colors\" file: \"" + dir.file("colors.txt") + "\" } }\n");
    process_t pilotd;
    start_pilotd(pilotd, dir, {"--config", dir.file("config")}, prefix + "/bin/velbo-pilotd");
    ASSERT_TRUE(pilotd_said(dir, "pilotd: configuration revision 1 applied\n"))
        << read_file(dir.file("out")) << read_file(dir.file("err"));
    const std::vector<pid_t> children = velbo_test::child_pids(pilotd.pid);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(boost::filesystem::read_symlink("/proc/" + std::to_string(children[0]) + "/exe"),
              boost::filesystem::canonical(prefix + "/bin/velbo-trawld"));

    const auto asked = run_shell("'" + prefix + "/bin/velbo-client' --socket '" + socket +
                                 "' check allmatch colors GREEN check allmatch colors purple");
    EXPECT_EQ(asked.status, 0) << velbo_test::describe(asked);
    EXPECT_EQ(asked.out, "1 check allmatch/colors GREEN: true\n2 check allmatch/colors purple: false\n");

    ASSERT_EQ(::kill(-pilotd.pid, SIGINT), 0);
    EXPECT_EQ(pilotd.wait(20s), std::optional<int>(107));
    const std::string err = read_file(dir.file("err"));
    EXPECT_NE(err.find("Notice: Termination signal received, exiting...\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Notice: Exit with status 107 (Process terminated by signal)\n"), std::string::npos) << err;
}

TEST(Documentation, ManualPageRendersWithoutWarningsAndNamesEveryExitStatus)
{
    const std::string page = std::string(VELBO_SOURCE_DIR) + "/docs/velbo-trawld.1";
    const auto rendered = run_shell("groff -man -ww -z '" + page + "'");
    EXPECT_TRUE(rendered.exited && rendered.status == 0) << velbo_test::describe(rendered);
    EXPECT_EQ(rendered.err, "");

    // The page the daemon's refusal sends people to exists and quotes it.
    const std::string text = read_file(page);
    const auto refused = run_shell("'" VELBO_TRAWLD_BIN "'");
    EXPECT_EQ(refused.status, 1);
    std::string refusal;  // as troff writes it, "-" as "\-"
    for (const char c : refused.out.substr(0, refused.out.find('\n')))
        refusal += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(text.find(refusal), std::string::npos) << refusal;
    // Each status with its display text, as the exit line shows it.
    for (const int status : {0, 1, 21, 102, 107, 125}) {
        const auto* value = qv::ErrorCode_descriptor()->FindValueByNumber(status);
        ASSERT_NE(value, nullptr);
        const std::string entry = ".B " + std::to_string(status) + "\n" + value->options().GetExtension(qv::lex) + ".";
        EXPECT_NE(text.find(entry), std::string::npos) << entry;
    }
}

// Every field of the configuration message and of the messages it holds.
void collect_fields(const google::protobuf::Descriptor* message, std::set<const google::protobuf::Descriptor*>& seen,
                    std::set<std::string>& names)
{
    if (!seen.insert(message).second)
        return;
    for (int i = 0; i < message->field_count(); ++i) {
        const auto* field = message->field(i);
        names.insert(field->name());
        if (field->message_type())
            collect_fields(field->message_type(), seen, names);
        if (const auto* type = field->enum_type())
            for (int v = 0; v < type->value_count(); ++v)
                names.insert(type->value(v)->name());
    }
}

TEST(Documentation, ConfigurationReferenceNamesEveryFieldAndValue)
{
    const std::string text = read_file(std::string(VELBO_SOURCE_DIR) + "/docs/configuration.md");
    std::set<const google::protobuf::Descriptor*> seen;
    std::set<std::string> names;
    collect_fields(qv::TrawlDConfig::descriptor(), seen, names);
    EXPECT_GT(names.size(), 60u);
    for (const std::string& name : names)
        EXPECT_NE(text.find("`" + name + "`"), std::string::npos) << name;
}

TEST(Documentation, SchemasCommentEveryField)
{
    // A field: an optional label, a type, a name, "=" and a number.
    const std::regex field(R"(^\s*(optional |required |repeated )?[\w.]+ \w+ = \d+)");
    size_t fields = 0;
    for (boost::filesystem::directory_iterator it(std::string(VELBO_SOURCE_DIR) + "/schemas"), end; it != end; ++it) {
        if (it->path().extension() != ".proto")
            continue;
        const std::vector<std::string> lines = velbo_test::lines_of(read_file(it->path().string()));
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!std::regex_search(lines[i], field))
                continue;
            ++fields;
            const bool commented = lines[i].find("//") != std::string::npos ||
                                   (i > 0 && lines[i - 1].find_first_not_of(" ") != std::string::npos &&
                                    lines[i - 1].compare(lines[i - 1].find_first_not_of(" "), 2, "//") == 0);
            EXPECT_TRUE(commented) << it->path().filename().string() << ":" << i + 1 << ": " << lines[i];
        }
    }
    EXPECT_GT(fields, 100u);
}

TEST(Documentation, ReadmeListsThePackagesThatInstallDepsInstalls)
{
    const std::string readme = read_file(std::string(VELBO_SOURCE_DIR) + "/README.md");
    const size_t start = readme.find("## Dependencies");
    const std::string section = readme.substr(start, readme.find("\n## ", start) - start);
    const std::string script = read_file(std::string(VELBO_SOURCE_DIR) + "/scripts/install-deps.sh");
    // The packages of the script's lists: one a line inside "name=( ... )".
    std::set<std::string> installed;
    bool in_list = false;
    for (const std::string& line : velbo_test::lines_of(script)) {
        if (line.find("_packages=(") != std::string::npos)
            in_list = true;
        else if (line == ")")
            in_list = false;
        else if (in_list && line.find('#') == std::string::npos && line.find_first_not_of(' ') != std::string::npos)
            installed.insert(line.substr(line.find_first_not_of(' ')));
    }
    EXPECT_GT(installed.size(), 30u);
    for (const std::string& package : installed)
        EXPECT_NE(section.find("`" + package + "`"), std::string::npos) << package;
    // And nothing the script does not install.
    const std::regex quoted("`([a-z0-9][a-z0-9.+-]+)`");
    for (std::sregex_iterator it(section.begin(), section.end(), quoted), end; it != end; ++it) {
        const std::string name = (*it)[1];
        if (name.find(".sh") == std::string::npos) {
            EXPECT_EQ(installed.count(name), 1u) << name;
        }
    }
}

TEST(VelboBench, ExplainsItsOptionsAndRefusesBadValues)
{
    const std::string bench = build_dir() + "/bench/velbo-bench";
    const auto help = run_shell("'" + bench + "' --help");
    EXPECT_EQ(help.status, 0) << velbo_test::describe(help);
    EXPECT_EQ(help.out.rfind("usage: velbo-bench [-T THREADS]", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("1 to 256"), std::string::npos) << help.out;
    struct bad_t {
        std::string args, message;
    };
    for (const bad_t& bad : std::vector<bad_t>{
             {"-T x", "-T needs a whole number from 1 to 256, not \"x\""},
             {"-T 0", "-T must be from 1 to 256, not 0"},
             {"-c 99999999999", "-c needs a whole number from 1 to 1024"},
             {"-d -5", "-d needs a whole number from 1 to 30000, not \"-5\""},
             {"-t abc", "-t needs a number of seconds above 0"},
             {"-t 0", "-t needs a number of seconds above 0"},
             {"-s", "-s needs a value"},
             {"--frobnicate", "unknown argument --frobnicate"}}) {
        const auto result = run_shell("'" + bench + "' " + bad.args);
        EXPECT_EQ(result.status, 2) << bad.args << "\n" << velbo_test::describe(result);
        EXPECT_NE(result.err.find("velbo-bench: " + bad.message), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("usage: velbo-bench"), std::string::npos) << result.err;
    }
}

} // namespace
