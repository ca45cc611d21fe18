// Start-up, configuration, signals and exit statuses of the real daemon
// under the PilotD stand-in.
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "support/daemon_fixture.h"

namespace {

struct passwd_entry_t {
    uid_t uid;
    gid_t gid;
};

passwd_entry_t user_entry(const char* name)
{
    const passwd* entry = getpwnam(name);
    if (!entry)
        throw std::runtime_error(std::string("no passwd entry for ") + name);
    return {entry->pw_uid, entry->pw_gid};
}

// The real and effective user ids of a process, from /proc.
std::string proc_ids(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return line.substr(std::string(field).size());
    }
    return {};
}

qv::Pilotd2TrawlDMessage config_response(uint32_t revision, const qv::TrawlDConfig& config)
{
    qv::Pilotd2TrawlDMessage message;
    message.set_tag(qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
    message.set_config_revision(revision);
    *message.mutable_config() = config;
    return message;
}

int exit_status(daemon_fixture_t& daemon)
{
    const std::optional<int> status = daemon.pilotd.wait_exit(daemon_timeout);
    if (!status)
        ADD_FAILURE() << "daemon still running";
    return status.value_or(-1);
}

} // namespace

TEST(DaemonStart, FirstRequestAndStatisticsBeforeAnyConfiguration)
{
    daemon_fixture_t daemon;
    daemon.start();
    ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, daemon_timeout));
    ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION, daemon_timeout));
    ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION, daemon_timeout));
    ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION, daemon_timeout));

    std::vector<std::chrono::steady_clock::time_point> times;
    for (const received_message_t& received : daemon.pilotd.messages()) {
        const qv::TrawlD2PilotdMessage& message = received.message;
        if (message.tag() == qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST) {
            EXPECT_FALSE(message.has_config_revision());
            EXPECT_FALSE(message.has_stat());
        }
        if (message.tag() != qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION)
            continue;
        EXPECT_FALSE(message.has_config_revision());
        ASSERT_TRUE(message.stat().clients().has_base());
        ASSERT_TRUE(message.stat().clients().has_in());
        ASSERT_TRUE(message.stat().clients().has_out());
        EXPECT_EQ(message.stat().clients().base(), 0u);
        EXPECT_EQ(message.stat().clients().in(), 0u);
        EXPECT_EQ(message.stat().clients().out(), 0u);
        times.push_back(received.time);
    }
    ASSERT_GE(times.size(), 3u);
    for (size_t i = 1; i < times.size(); ++i) {
        const auto gap = times[i] - times[i - 1];
        EXPECT_GE(gap, 900ms);
        EXPECT_LE(gap, 2500ms);
    }
    // Nothing is written before a log is installed.
    EXPECT_EQ(daemon.pilotd.stderr_text(), "");
    daemon.stop();
}

TEST(DaemonStart, SigtermEndsWith107AndTheExitLine)
{
    daemon_fixture_t daemon;
    daemon.start_configured();
    daemon.pilotd.signal(SIGTERM);
    EXPECT_EQ(exit_status(daemon), 107);
    const std::string err = daemon.pilotd.stderr_text();
    EXPECT_NE(err.find("Notice: Termination signal received, exiting...\n"
                       "Notice: Exit with status 107 (Process terminated by signal)\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(err.size() > 0 && err.substr(err.size() - 1) == "\n");
    EXPECT_EQ(err.rfind("Notice: Exit with status 107 (Process terminated by signal)\n"),
              err.size() - std::string("Notice: Exit with status 107 (Process terminated by signal)\n").size());
}

TEST(DaemonStart, InvalidMonitorDescriptorTexts)
{
    for (const char* value : {"7x", ""}) {
        SCOPED_TRACE(value);
        pilotd_standin_options_t options;
        options.monitor_value = value;
        daemon_fixture_t daemon(options);
        daemon.start();
        EXPECT_EQ(exit_status(daemon), 125);
        const std::string err = daemon.pilotd.stderr_text();
        EXPECT_NE(err.find("Error: bad lexical cast"), std::string::npos) << err;
        EXPECT_NE(err.find("Notice: Exit with status 125 (Unexpected error)\n"), std::string::npos)
            << err;
    }
}

TEST(DaemonStart, SignedDescriptorTextIsAccepted)
{
    pilotd_standin_options_t options;
    options.monitor_fd = 7;
    options.monitor_value = "+7";
    daemon_fixture_t daemon(options);
    daemon.start();
    EXPECT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, daemon_timeout));
    daemon.stop();
}

TEST(DaemonStart, NonRootDaemonRestartsAtItsFirstConfiguration)
{
    const passwd_entry_t nobody = user_entry("nobody");
    pilotd_standin_options_t options;
    options.uid = nobody.uid;
    options.gid = nobody.gid;
    daemon_fixture_t daemon(options);
    daemon.start();
    ASSERT_TRUE(daemon.pilotd.serve_config(4, parse_config_text(daemon.config_text()), daemon_timeout));
    EXPECT_EQ(exit_status(daemon), 0);
    EXPECT_TRUE(daemon.pilotd.info_revisions().empty());
    const std::string err = daemon.pilotd.stderr_text();
    EXPECT_NE(err.find("Notice: Will restart for config changes to take effect\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Notice: Exit with status 0 (Success)\n"), std::string::npos) << err;
}

// Each faulty message from PilotD ends the daemon with status 1 after its
// "Monitor: " line.
TEST(DaemonMonitor, FaultyMessagesEndWithStatus1)
{
    qv::TrawlDConfig good;
    good.set_socket_path("/tmp/unused.sock");

    qv::Pilotd2TrawlDMessage no_revision = config_response(1, good);
    no_revision.clear_config_revision();
    qv::Pilotd2TrawlDMessage no_config = config_response(1, good);
    no_config.clear_config();

    qv::TrawlDConfig tagless;
    tagless.mutable_allmatch()->add_item()->set_tag("fine");
    tagless.mutable_allmatch()->add_item()->set_file("/tmp/x");
    qv::Pilotd2TrawlDMessage missing_item_tag = config_response(1, tagless);

    struct case_t {
        const char* name;
        std::string frame_body;
        bool raw;          // bytes sent without framing
        std::string line;  // expected Error line
    };
    const std::vector<case_t> cases = {
        {"body that does not parse", std::string("\xff\xff\xff", 3), false,
         "Error: Monitor: Invalid IPC message format [qv.Error:8]\n"},
        {"another tag", std::string("\x08\x02\x10\x01\x1a\x00", 6), false,
         "Error: Monitor: Invalid IPC message format [qv.Error:8]\n"},
        {"no config_revision", no_revision.SerializePartialAsString(), false,
         "Error: Monitor: Protocol violation [qv.Error:12]\n"},
        {"no config", no_config.SerializePartialAsString(), false,
         "Error: Monitor: Protocol violation [qv.Error:12]\n"},
        {"item without tag", missing_item_tag.SerializePartialAsString(), false,
         "Error: Monitor: Invalid IPC message format [qv.Error:8]\n"},
        {"frame length 0", std::string("\0\0\0\0", 4), true,
         "Error: Monitor: Invalid IPC message size\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_fixture_t daemon;
        daemon.start();
        ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, daemon_timeout));
        if (c.raw)
            daemon.pilotd.send_raw(c.frame_body);
        else
            daemon.pilotd.send_frame(c.frame_body);
        EXPECT_EQ(exit_status(daemon), 1);
        const std::string err = daemon.pilotd.stderr_text();
        EXPECT_NE(err.find(c.line), std::string::npos) << err;
        EXPECT_NE(err.find("Notice: Exit with status 1 (Error on monitor channel)\n"),
                  std::string::npos)
            << err;
        EXPECT_TRUE(daemon.pilotd.info_revisions().empty());
    }
}

TEST(DaemonMonitor, MissingRequiredFieldIsNamedByTheLibrary)
{
    qv::TrawlDConfig tagless;
    tagless.mutable_regex()->add_item()->set_file("/tmp/x");
    daemon_fixture_t daemon;
    daemon.start();
    daemon.pilotd.send_frame(config_response(3, tagless).SerializePartialAsString());
    EXPECT_EQ(exit_status(daemon), 1);
    const std::string err = daemon.pilotd.stderr_text();
    EXPECT_NE(err.find("Error: Can't parse message of type \"qv.Pilotd2TrawlDMessage\" because it "
                       "is missing required fields: config.regex.item[0].tag"),
              std::string::npos)
        << err;
}

TEST(DaemonMonitor, ClosedLinkEndsWithStatus1)
{
    daemon_fixture_t daemon;
    daemon.start_configured();
    daemon.pilotd.close_link();
    EXPECT_EQ(exit_status(daemon), 1);
    EXPECT_NE(daemon.pilotd.stderr_text().find("Error: Monitor: Link disconnected\n"), std::string::npos)
        << daemon.pilotd.stderr_text();
}

// Configurations that cannot be applied end the daemon with status 102.
TEST(DaemonConfig, UnusableConfigurationsEndWithStatus102)
{
    struct case_t {
        const char* name;
        std::string text;   // configuration, "%S" replaced by the socket path
        std::string line;   // expected line, empty when none
    };
    const std::vector<case_t> cases = {
        {"no run_as_user", "socket_path: \"%S\"\nactual_log { type: STDERR }\n",
         "Error: getpwnam(\"\"): No such user\n"},
        {"run-as uid without passwd entry", "run_as_user { uid: 12345 }\nsocket_path: \"%S\"\n"
                                            "actual_log { type: STDERR }\n",
         "Error: getpwuid(12345): No user with such uid\n"},
        {"relative socket path", "run_as_user { uid: 0 }\nsocket_path: \"run/trawld.sock\"\n"
                                 "actual_log { type: STDERR }\n", ""},
        {"empty socket path", "run_as_user { uid: 0 }\nactual_log { type: STDERR }\n", ""},
        {"log file in a missing directory",
         "run_as_user { uid: 0 }\nsocket_path: \"%S\"\n"
         "actual_log { type: FILE path: \"/nonexistent-dir/trawld.log\" }\n",
         "Error: Cannot create log: No such file or directory [system:2]: "
         "\"/nonexistent-dir/trawld.log\"\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_fixture_t daemon;
        std::string text = c.text;
        const size_t at = text.find("%S");
        if (at != std::string::npos)
            text.replace(at, 2, daemon.socket_path);
        daemon.start();
        ASSERT_TRUE(daemon.pilotd.serve_config(1, parse_config_text(text), daemon_timeout));
        EXPECT_EQ(exit_status(daemon), 102);
        const std::string err = daemon.pilotd.stderr_text();
        if (!c.line.empty()) {
            EXPECT_NE(err.find(c.line), std::string::npos) << err;
        }
        EXPECT_EQ(count_of(err, "Error: "), c.line.empty() ? 0u : 1u) << err;
        EXPECT_NE(err.find("Notice: Exit with status 102 (Invalid configuration)\n"),
                  std::string::npos)
            << err;
        EXPECT_TRUE(daemon.pilotd.info_revisions().empty());
    }
}

TEST(DaemonConfig, EveryDataSourceTagIsIndexedAndLogged)
{
    daemon_fixture_t daemon;
    daemon.start_configured(
        "mask { item { tag: \"M\" } }\n"
        "cidr { item { tag: \"C\" } }\n"
        "regex { item { tag: \"R\" } }\n"
        "allmatch { item { tag: \"Staff_A\" } item { tag: \"staffa\" } item { tag: \"___\" } }\n"
        "redis { item { tag: \"Re\" } }\n"
        "mysql { item { tag: \"My\" } }\n"
        "sqlite { item { tag: \"Sq\" } }\n"
        "pq { item { tag: \"P_q\" } }\n"
        "ad { item { tag: \"A\" } }\n"
        "ldap { item { tag: \"L\" } }\n");
    const std::string err = daemon.pilotd.stderr_text();
    EXPECT_NE(err.find("Debug: LDAP tag found: \"l\"\n"
                       "Debug: AD tag found: \"a\"\n"
                       "Debug: Pq tag found: \"pq\"\n"
                       "Debug: SQLite tag found: \"sq\"\n"
                       "Debug: MySQL tag found: \"my\"\n"
                       "Debug: Redis tag found: \"re\"\n"
                       "Debug: AllMatch tag found: \"staffa\"\n"
                       "Debug: AllMatch tag found: \"staffa\"\n"
                       "Debug: AllMatch tag found: \"\"\n"
                       "Debug: Regex tag found: \"r\"\n"
                       "Debug: Cidr tag found: \"c\"\n"
                       "Debug: Mask tag found: \"m\"\n"),
              std::string::npos)
        << err;
    // Tags are known per type: the empty tag is an exact-value source (its
    // file is not set), "m" is none.
    auto client = daemon.connect();
    const auto answers = client->exchange({make_lookup_request(1, lp::LOOKUP_ALLMATCH, "_", ""),
                                           make_lookup_request(2, lp::LOOKUP_ALLMATCH, "m", "")},
                                          daemon_timeout);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers.at(1).error().code(), qv::EC_BAD_CONFIG);
    EXPECT_EQ(answers.at(2).error().code(), qv::EC_INVALID_TAG);
    daemon.stop();
}

TEST(DaemonConfig, EveryConfigurationIsConfirmedWithItsRevision)
{
    daemon_fixture_t daemon;
    daemon.start_configured();
    const qv::TrawlDConfig config = parse_config_text(daemon.config_text());
    // Unasked, twice with the same revision, then another.
    daemon.pilotd.send_config(7, config);
    daemon.pilotd.send_config(7, config);
    daemon.pilotd.send_config(0, config);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, daemon_timeout));
    EXPECT_EQ(daemon.pilotd.info_revisions(), (std::vector<uint32_t>{1, 7, 7, 0}));
    for (const received_message_t& received : daemon.pilotd.messages()) {
        if (received.message.tag() == qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION) {
            EXPECT_TRUE(received.message.has_config_revision());
            EXPECT_FALSE(received.message.has_stat());
        }
    }
    daemon.stop();
}

TEST(DaemonConfig, SighupAsksForTheConfigurationAgain)
{
    daemon_fixture_t daemon;
    daemon.start_configured();
    daemon.pilotd.signal(SIGHUP);
    ASSERT_TRUE(daemon.pilotd.serve_config(2, parse_config_text(daemon.config_text()), daemon_timeout));
    ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, daemon_timeout));
    EXPECT_EQ(daemon.pilotd.info_revisions(), (std::vector<uint32_t>{1, 2}));
    EXPECT_NE(daemon.pilotd.stderr_text().find(
                  "Notice: SIGHUP received, config will be ordered from PilotD\n"),
              std::string::npos);
    daemon.stop();
}

// As root with a run-as user of another uid: the log file is made for that
// user before the switch, the socket is bound as root with mode 0666, then
// the ids change.
TEST(DaemonConfig, SwitchesToTheRunAsUserAfterPreparingLogAndSocket)
{
    ASSERT_EQ(getuid(), 0u) << "these tests run as root";
    const passwd_entry_t nobody = user_entry("nobody");
    daemon_fixture_t daemon;
    const std::string log_path = daemon.dir.file("trawld.log");
    const std::string text = "run_as_user { name: \"nobody\" }\n"
                             "socket_path: \"" + daemon.socket_path + "\"\n"
                             "log_level: LOG_LEVEL_DEBUG\n"
                             "actual_log { type: FILE path: \"" + log_path + "\" }\n";
    daemon.start();
    ASSERT_TRUE(daemon.apply(1, text)) << daemon.pilotd.stderr_text();

    struct stat log_stat {};
    ASSERT_EQ(::stat(log_path.c_str(), &log_stat), 0);
    EXPECT_EQ(log_stat.st_uid, nobody.uid);
    EXPECT_EQ(log_stat.st_gid, nobody.gid);
    EXPECT_EQ(log_stat.st_mode & 07777, 0600u);

    struct stat socket_stat {};
    ASSERT_EQ(::stat(daemon.socket_path.c_str(), &socket_stat), 0);
    EXPECT_TRUE(S_ISSOCK(socket_stat.st_mode));
    EXPECT_EQ(socket_stat.st_mode & 07777, 0666u);
    EXPECT_EQ(socket_stat.st_uid, 0u);

    const std::string uids = proc_ids(daemon.pilotd.pid(), "Uid:");
    const std::string gids = proc_ids(daemon.pilotd.pid(), "Gid:");
    const std::string u = std::to_string(nobody.uid), g = std::to_string(nobody.gid);
    EXPECT_EQ(uids, "\t" + u + "\t" + u + "\t" + u + "\t" + u) << uids;
    EXPECT_EQ(gids, "\t" + g + "\t" + g + "\t" + g + "\t" + g) << gids;

    const std::string log = read_file(log_path);
    EXPECT_NE(log.find("Debug: Run as user " + u + ":" + g + "\n"), std::string::npos) << log;

    // The same configuration again changes nothing and is confirmed; the
    // switched user reopens its log file.
    auto client = daemon.connect();
    ASSERT_TRUE(daemon.push(2, text)) << read_file(log_path);
    EXPECT_FALSE(client->wait_closed(200ms));

    // Another user after the switch needs a new process.
    const std::string other = "run_as_user { uid: 1 }\n"
                              "socket_path: \"" + daemon.socket_path + "\"\n"
                              "actual_log { type: FILE path: \"" + log_path + "\" }\n";
    ASSERT_TRUE(daemon.pilotd.send_config(3, parse_config_text(other)));
    EXPECT_EQ(exit_status(daemon), 0);
    EXPECT_EQ(daemon.pilotd.info_revisions(), (std::vector<uint32_t>{1, 2}));
    EXPECT_NE(read_file(log_path).find("Notice: Will restart for config changes to take effect\n"),
              std::string::npos);
}

TEST(DaemonConfig, LogFileTheSwitchedUserMayNotOpenNeedsARestart)
{
    daemon_fixture_t daemon;
    const std::string text = "run_as_user { name: \"nobody\" }\n"
                             "socket_path: \"" + daemon.socket_path + "\"\n"
                             "actual_log { type: STDERR }\n";
    daemon.start();
    ASSERT_TRUE(daemon.apply(1, text)) << daemon.pilotd.stderr_text();
    const std::string root_log = daemon.dir.write("root.log", "");
    ::chmod(root_log.c_str(), 0600);
    daemon.pilotd.send_config(2, parse_config_text("run_as_user { name: \"nobody\" }\n"
                                                   "socket_path: \"" + daemon.socket_path + "\"\n"
                                                   "actual_log { type: FILE path: \"" + root_log +
                                                   "\" }\n"));
    EXPECT_EQ(exit_status(daemon), 0);
    EXPECT_NE(daemon.pilotd.stderr_text().find("Notice: Will restart for config changes to take effect\n"),
              std::string::npos)
        << daemon.pilotd.stderr_text();
}

// A log file that root owns with mode 0600 opens while the daemon is root;
// the switched user cannot reopen it. Unchanged, it stays in use with a
// Warning at every configuration; another log path needs a restart.
TEST(DaemonConfig, AnUnchangedLogTheSwitchedUserCannotReopenStaysInUse)
{
    daemon_fixture_t daemon;
    const std::string root_log = daemon.dir.write("root.log", "", 0600);
    const std::string other_log = daemon.dir.write("other.log", "", 0600);
    auto text = [&](const std::string& path) {
        return "run_as_user { name: \"nobody\" }\n"
               "socket_path: \"" + daemon.socket_path + "\"\n"
               "log_level: LOG_LEVEL_DEBUG\n"
               "actual_log { type: FILE path: \"" + path + "\" }\n";
    };
    daemon.start();
    ASSERT_TRUE(daemon.apply(1, text(root_log))) << daemon.pilotd.stderr_text();
    auto client = daemon.connect();
    const std::string warning = "Warning: Keeping the open log: Cannot create log: Permission denied [system:13]: \"" +
                                root_log + "\"\n";
    for (uint32_t revision : {2u, 3u}) {
        SCOPED_TRACE(revision);
        ASSERT_TRUE(daemon.push(revision, text(root_log))) << read_file(root_log) << daemon.pilotd.stderr_text();
        EXPECT_EQ(count_of(read_file(root_log), warning), revision - 1) << read_file(root_log);
        // The open log goes on receiving lines; the client stays connected.
        ASSERT_TRUE(client->send_lookup(revision, lp::LOOKUP_ALLMATCH, "none", ""));
        ASSERT_TRUE(client->receive(daemon_timeout).has_value());
        EXPECT_EQ(count_of(read_file(root_log), "Client 0x1 --> LOOKUP_RESPONSE " + std::to_string(revision) +
                                                    ": Tag value is invalid\n"),
                  1u);
    }
    ASSERT_TRUE(daemon.pilotd.send_config(4, parse_config_text(text(other_log))));
    EXPECT_EQ(exit_status(daemon), 0);
    EXPECT_EQ(daemon.pilotd.info_revisions(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_NE(read_file(root_log).find("Notice: Will restart for config changes to take effect\n"), std::string::npos);
    EXPECT_EQ(read_file(other_log), "");
}

TEST(DaemonConfig, NewSocketPathWhileRootRebindsAndKeepsConnections)
{
    daemon_fixture_t daemon;
    daemon.start_configured();
    auto client = daemon.connect();
    // Accepted before the acceptor is replaced, not only queued.
    ASSERT_TRUE(daemon.wait_for_stderr("Client 0x1 Created"));
    const std::string second = daemon.dir.file("second.sock");
    // A socket file left behind by an earlier process is replaced.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, second.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    const std::string text = "run_as_user { uid: 0 }\n"
                             "socket_path: \"" + second + "\"\n"
                             "actual_log { type: STDERR }\n";
    ASSERT_TRUE(daemon.push(2, text)) << daemon.pilotd.stderr_text();
    struct stat st {};
    ASSERT_EQ(::stat(second.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    // The old socket file stays; the connection made before goes on.
    EXPECT_EQ(::stat(daemon.socket_path.c_str(), &st), 0);
    EXPECT_FALSE(client->wait_closed(200ms));
    EXPECT_NO_THROW(trawl_client_t{second});
    daemon.stop();
}

// Accepts that completed just before the acceptor was replaced still hand
// over their own socket.
TEST(DaemonConfig, SocketPathChangesWhileClientsConnect)
{
    daemon_fixture_t daemon;
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    const std::string other = daemon.dir.file("other.sock");
    auto text = [&](const std::string& path) {
        return "run_as_user { uid: 0 }\nsocket_path: \"" + path + "\"\nactual_log { type: STDERR }\n"
               "log_level: LOG_LEVEL_WARNING\n"
               "allmatch { item { tag: \"words\" file: \"" + words + "\" } }\n";
    };
    daemon.start();
    ASSERT_TRUE(daemon.apply(1, text(daemon.socket_path))) << daemon.pilotd.stderr_text();

    std::atomic<bool> stop{false};
    std::atomic<int> connections{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&, i] {
            const std::string& path = i % 2 ? other : daemon.socket_path;
            while (!stop) {
                try {
                    trawl_client_t client(path);
                    ++connections;
                } catch (const std::runtime_error&) {
                }
            }
        });
    }
    for (uint32_t revision = 2; revision < 80; ++revision) {
        if (!daemon.push(revision, text(revision % 2 ? other : daemon.socket_path)))
            break;
    }
    stop = true;
    for (std::thread& client : clients)
        client.join();
    EXPECT_GT(connections.load(), 0);
    ASSERT_FALSE(daemon.pilotd.wait_exit(0ms)) << daemon.pilotd.stderr_text();
    EXPECT_EQ(daemon.pilotd.info_revisions().size(), 79u) << daemon.pilotd.stderr_text();

    // Revision 79 listens on the other path; requests are served there.
    trawl_client_t client(other);
    const auto answers = client.exchange({make_check_request(1, lp::LOOKUP_ALLMATCH, "words", "ALPHA")},
                                         daemon_timeout);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers.at(1).result());
    daemon.stop();
    EXPECT_EQ(count_of(daemon.pilotd.stderr_text(), "Error:"), 0u) << daemon.pilotd.stderr_text();
}

TEST(DaemonConfig, SocketPathLengthLimit)
{
    // 107 bytes bind, 108 fail with ENAMETOOLONG.
    for (size_t length : {107u, 108u}) {
        SCOPED_TRACE(length);
        daemon_fixture_t daemon;
        std::string path = daemon.dir.path() + "/";
        path += std::string(length - path.size(), 's');
        ASSERT_EQ(path.size(), length);
        daemon.start();
        const std::string text = "run_as_user { uid: 0 }\nsocket_path: \"" + path +
                                 "\"\nactual_log { type: STDERR }\n";
        if (length == 107) {
            ASSERT_TRUE(daemon.apply(1, text)) << daemon.pilotd.stderr_text();
            daemon.stop();
        } else {
            ASSERT_TRUE(daemon.pilotd.serve_config(1, parse_config_text(text), daemon_timeout));
            EXPECT_EQ(exit_status(daemon), 102);
            EXPECT_NE(daemon.pilotd.stderr_text().find("Error: File name too long [system:36]\n"),
                      std::string::npos)
                << daemon.pilotd.stderr_text();
        }
    }
}

TEST(DaemonStats, ConnectionsAreCountedPerInterval)
{
    daemon_fixture_t daemon;
    daemon.start_configured();
    {
        auto first = daemon.connect();
        auto second = daemon.connect();
        auto third = daemon.connect();
        ASSERT_TRUE(daemon.wait_for_stderr("Client 0x3 Created"));
        third.reset();
        ASSERT_TRUE(daemon.wait_for_stderr("Client 0x3 Destroyed"));
        // Two stay open across at least one report.
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION, daemon_timeout));
    }
    ASSERT_TRUE(daemon.wait_for_stderr("Client 0x2 Destroyed"));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION, daemon_timeout));

    const std::vector<qv::TrawlDAppStat> stats = daemon.pilotd.stats();
    uint64_t total_in = 0, total_out = 0, max_open = 0;
    for (size_t i = 0; i < stats.size(); ++i) {
        const qv::TrawlDClientStat& s = stats[i].clients();
        if (i == 0)
            EXPECT_EQ(s.base(), 0u);
        else
            EXPECT_EQ(s.base(), stats[i - 1].clients().base() + stats[i - 1].clients().in() -
                                    stats[i - 1].clients().out());
        total_in += s.in();
        total_out += s.out();
        max_open = std::max<uint64_t>(max_open, s.base());
    }
    EXPECT_EQ(total_in, 3u);
    EXPECT_EQ(total_out, 3u);
    EXPECT_EQ(max_open, 2u);
    const qv::TrawlDClientStat& last = stats.back().clients();
    EXPECT_EQ(last.base() + last.in() - last.out(), 0u);
    daemon.stop();
}
