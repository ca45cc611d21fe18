// The daemon's log through each configured target and the additional log
// pipe, with the line layouts of the framework's log.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/daemon_fixture.h"

namespace {

// A tag whose requests fail with an Error line: it has no connection string.
const std::string provoking_tags = "sqlite { item { tag: \"noconn\" request: \"SELECT 1\" } }\n";
const std::string provoked_error = "Datasource [noconn.sqlite]: Mandatory \"Conn\" parameter is not specified";
const std::string provoked_warning = "Client 0x1 Tag value is invalid";

// Makes the daemon log an Error (a lookup of the tag without a connection
// string) and then a Warning (a lookup of a tag it does not have); true when
// both requests were answered with an error.
bool provoke_lines(daemon_fixture_t& daemon)
{
    const auto client = daemon.connect();
    for (const char* tag : {"noconn", "unknown"}) {
        client->send_lookup(1, lp::LOOKUP_SQLITE, tag, "u");
        const std::optional<lp::ServerMessage> answer = client->receive(daemon_timeout);
        if (!answer || !answer->has_error())
            return false;
    }
    return true;
}

void provoke_warning(daemon_fixture_t& daemon)
{
    EXPECT_TRUE(provoke_lines(daemon));
}

const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// True while the process's main thread waits in open or openat.
bool blocked_in_open(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    return (in >> number) && (number == SYS_openat || number == SYS_open);
}

bool wait_blocked_in_open(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + daemon_timeout;
    while (!blocked_in_open(pid)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Reads what the FIFO holds into `text` until it contains `wanted`.
bool read_fifo_until(int fd, std::string& text, const std::string& wanted)
{
    const auto deadline = std::chrono::steady_clock::now() + daemon_timeout;
    while (text.find(wanted) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        pollfd readable{fd, POLLIN, 0};
        ::poll(&readable, 1, 50);
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            text.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

} // namespace

// A log that is a FIFO blocks its opening until a reader comes. Signals
// meanwhile fail nothing: they take effect once the configuration is applied.
TEST(DaemonLog, SignalsWhileTheLogOpensTakeEffectAfterwards)
{
    struct case_t {
        const char* name;
        int second;
    };
    for (const case_t c : {case_t{"SIGHUP twice", SIGHUP}, case_t{"SIGHUP and SIGTERM", SIGTERM}}) {
        SCOPED_TRACE(c.name);
        daemon_fixture_t daemon;
        const std::string fifo = daemon.dir.file("log.fifo");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        daemon.start();
        ASSERT_TRUE(daemon.pilotd.serve_config(
            1, parse_config_text(daemon.config_text().replace(daemon.config_text().find("type: STDERR"), 12,
                                                              "type: FILE path: \"" + fifo + "\"")),
            daemon_timeout));
        ASSERT_TRUE(wait_blocked_in_open(daemon.pilotd.pid()));
        for (const int signal_number : {SIGHUP, c.second}) {
            daemon.pilotd.signal(signal_number);
            std::this_thread::sleep_for(200ms);
            ASSERT_FALSE(daemon.pilotd.wait_exit(0ms).has_value()) << daemon.pilotd.stderr_text();
            EXPECT_TRUE(blocked_in_open(daemon.pilotd.pid()));
        }

        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        std::string lines;
        EXPECT_TRUE(read_fifo_until(reader, lines, "Notice: SIGHUP received, config will be ordered from PilotD\n"))
            << lines;
        if (c.second == SIGTERM) {
            EXPECT_EQ(daemon.pilotd.wait_exit(daemon_timeout), 107);
            EXPECT_TRUE(read_fifo_until(reader, lines, "Notice: Exit with status 107 (Process terminated by signal)\n"))
                << lines;
        } else {
            const auto info = daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, daemon_timeout);
            ASSERT_TRUE(info.has_value());
            EXPECT_EQ(info->config_revision(), 1u);
            EXPECT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST, daemon_timeout));
            daemon.stop();
        }
        EXPECT_EQ(count_of(lines, "Error"), 0u) << lines;
        EXPECT_EQ(count_of(daemon.pilotd.stderr_text(), "Error"), 0u) << daemon.pilotd.stderr_text();
        ::close(reader);
    }
}

TEST(DaemonLog, FileLinesCarryLocalTimestampAndPid)
{
    daemon_fixture_t daemon;
    const std::string path = daemon.dir.file("trawld.log");
    daemon.start();
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(daemon.apply(1, "run_as_user { uid: 0 }\nsocket_path: \"" + daemon.socket_path +
                                    "\"\nlog_level: LOG_LEVEL_NOTICE\n"
                                    "actual_log { type: FILE path: \"" + path + "\" }\n" + provoking_tags));
    provoke_warning(daemon);
    daemon.stop();
    const std::time_t after = std::time(nullptr);

    const std::vector<std::string> lines = lines_of(read_file(path));
    ASSERT_GE(lines.size(), 4u) << read_file(path);
    static const std::regex layout(
        R"(^(\d{4})-([A-Z][a-z]{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) \[(\d+)\] (.*)$)");
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, layout)) << line;
        EXPECT_EQ(std::stoi(m[7]), daemon.pilotd.pid()) << line;
        std::tm tm {};
        tm.tm_year = std::stoi(m[1]) - 1900;
        tm.tm_mon = static_cast<int>(std::find(std::begin(month_names), std::end(month_names), m[2].str()) -
                                     std::begin(month_names));
        ASSERT_LT(tm.tm_mon, 12) << line;
        tm.tm_mday = std::stoi(m[3]);
        tm.tm_hour = std::stoi(m[4]);
        tm.tm_min = std::stoi(m[5]);
        tm.tm_sec = std::stoi(m[6]);
        tm.tm_isdst = -1;
        const std::time_t stamp = std::mktime(&tm);  // local time
        EXPECT_GE(stamp, before - 1) << line;
        EXPECT_LE(stamp, after + 1) << line;
        texts.push_back(m[8]);
    }
    // The kept start-up line is replayed; nothing below Notice is written.
    EXPECT_EQ(texts.front(), "Notice: TrawlD " VELBO_VERSION);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Error: " + provoked_error), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Warning: " + provoked_warning), texts.end());
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "Notice: Termination signal received, exiting...");
    EXPECT_EQ(texts.back(), "Notice: Exit with status 107 (Process terminated by signal)");
    for (const std::string& text : texts)
        EXPECT_EQ(text.rfind("Debug: ", 0), std::string::npos) << text;
}

TEST(DaemonLog, ThresholdDropsKeptLinesBelowIt)
{
    daemon_fixture_t daemon;
    daemon.start();
    ASSERT_TRUE(daemon.apply(1, "run_as_user { uid: 0 }\nsocket_path: \"" + daemon.socket_path +
                                    "\"\nlog_level: LOG_LEVEL_WARNING\nactual_log { type: STDERR }\n" + provoking_tags));
    provoke_warning(daemon);
    daemon.pilotd.signal(SIGTERM);
    ASSERT_EQ(daemon.pilotd.wait_exit(daemon_timeout), 107);
    // Notice lines (the start-up line, the exit lines) are below the threshold.
    EXPECT_EQ(daemon.pilotd.stderr_text(), "Error: " + provoked_error + "\nWarning: " + provoked_warning + "\n");
}

TEST(DaemonLog, StderrWithAndWithoutTimestamps)
{
    for (bool timestamps : {false, true}) {
        SCOPED_TRACE(timestamps);
        daemon_fixture_t daemon;
        daemon.start();
        ASSERT_TRUE(daemon.apply(1, "run_as_user { uid: 0 }\nsocket_path: \"" + daemon.socket_path +
                                        "\"\nlog_level: LOG_LEVEL_NOTICE\nactual_log { type: STDERR " +
                                        (timestamps ? "show_timestamp: true " : "") + "}\n"));
        daemon.stop();
        const std::vector<std::string> lines = lines_of(daemon.pilotd.stderr_text());
        ASSERT_EQ(lines.size(), 3u) << daemon.pilotd.stderr_text();
        const std::string pid = "[" + std::to_string(daemon.pilotd.pid()) + "] ";
        const std::vector<std::string> expected = {
            "Notice: TrawlD " VELBO_VERSION, "Notice: Termination signal received, exiting...",
            "Notice: Exit with status 107 (Process terminated by signal)"};
        static const std::regex stamp(R"(^\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2} )");
        for (size_t i = 0; i < lines.size(); ++i) {
            if (timestamps) {
                EXPECT_TRUE(std::regex_search(lines[i], stamp)) << lines[i];
                EXPECT_EQ(lines[i].substr(21), pid + expected[i]);
            } else {
                EXPECT_EQ(lines[i], expected[i]);
            }
        }
    }
}

TEST(DaemonLog, AdditionalPipeCopiesFileLinesButNotStderrLines)
{
    struct case_t {
        const char* log;
        bool copied;
    };
    for (const case_t& c : {case_t{"FILE", true}, case_t{"STDERR", false}}) {
        SCOPED_TRACE(c.log);
        pilotd_standin_options_t options;
        options.log_pipe = true;
        daemon_fixture_t daemon(options);
        const std::string path = daemon.dir.file("trawld.log");
        daemon.start();
        ASSERT_TRUE(daemon.apply(1, "run_as_user { uid: 0 }\nsocket_path: \"" + daemon.socket_path +
                                        "\"\nlog_level: LOG_LEVEL_DEBUG\nactual_log { type: " + c.log +
                                        " path: \"" + path + "\" }\n" + provoking_tags));
        provoke_warning(daemon);
        daemon.stop();
        const std::string copy = daemon.pilotd.log_pipe_text();
        if (c.copied) {
            EXPECT_EQ(copy.rfind("Notice: TrawlD " VELBO_VERSION "\n", 0), 0u) << copy;
            EXPECT_NE(copy.find("Debug: Log Factory: Additional log - "), std::string::npos) << copy;
            EXPECT_NE(copy.find("Warning: " + provoked_warning + "\n"), std::string::npos)
                << copy;
            // Every line of the file, without its timestamp, is in the copy.
            for (const std::string& line : lines_of(read_file(path))) {
                const size_t at = line.find("] ");
                ASSERT_NE(at, std::string::npos);
                EXPECT_NE(copy.find(line.substr(at + 2) + "\n"), std::string::npos) << line;
            }
        } else {
            EXPECT_EQ(copy, "");
            EXPECT_NE(daemon.pilotd.stderr_text().find("Debug: Log Factory: Additional log - "),
                      std::string::npos);
        }
    }
}

TEST(DaemonLog, AdditionalPipeVariableThatIsNotANumber)
{
    for (const char* value : {"abc", "", "3x"}) {
        SCOPED_TRACE(value);
        pilotd_standin_options_t options;
        options.env.push_back({"COM_VELBO_ADD_LOG_PIPE", value});
        daemon_fixture_t daemon(options);
        daemon.start_configured();
        daemon.stop();
        EXPECT_EQ(count_of(daemon.pilotd.stderr_text(),
                           "Error: Log Factory: Wrong environment variable COM_VELBO_ADD_LOG_PIPE\n"),
                  1u)
            << daemon.pilotd.stderr_text();
    }
}

// Syslog lines reach /dev/log with the configured facility and ident, the
// level's priority and the pid; the additional pipe gets the level lines.
TEST(DaemonLog, SyslogThroughDevLog)
{
    velbo_test::temp_dir_t capture_dir;
    const velbo_test::child_result_t r = velbo_test::run_in_child([&] {
        const int fd = divert_dev_log(capture_dir.path());
        pilotd_standin_options_t options;
        options.log_pipe = true;
        daemon_fixture_t daemon(options);
        daemon.start();
        if (!daemon.apply(1, "run_as_user { uid: 0 }\nsocket_path: \"" + daemon.socket_path +
                                 "\"\nlog_level: LOG_LEVEL_INFO\n"
                                 "actual_log { type: SYSLOG facility: LOCAL3 ident: \"trawl-test\" }\n" +
                                 provoking_tags))
            throw std::runtime_error("not configured: " + daemon.pilotd.stderr_text());
        if (!provoke_lines(daemon))
            throw std::runtime_error("requests not answered with errors");
        daemon.pilotd.signal(SIGTERM);
        if (daemon.pilotd.wait_exit(daemon_timeout) != 107)
            throw std::runtime_error("no exit 107");
        std::cout << "pid " << daemon.pilotd.pid() << "\n" << "pipe:\n" << daemon.pilotd.log_pipe_text()
                  << "syslog:\n" << received_datagrams(fd) << "stderr:\n" << daemon.pilotd.stderr_text();
    });
    ASSERT_TRUE(r.exited && r.status == 0) << velbo_test::describe(r);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("^pid (\\d+)\n"))) << r.out;
    const std::string pid = m[1];
    const size_t pipe_at = r.out.find("pipe:\n"), syslog_at = r.out.find("syslog:\n"),
                 stderr_at = r.out.find("stderr:\n");
    const std::string pipe = r.out.substr(pipe_at + 6, syslog_at - pipe_at - 6);
    const std::vector<std::string> datagrams = lines_of(r.out.substr(syslog_at + 8, stderr_at - syslog_at - 8));

    const int facility = LOG_LOCAL3;
    const std::vector<std::pair<int, std::string>> expected = {
        {LOG_NOTICE, "TrawlD " VELBO_VERSION},
        {LOG_ERR, provoked_error},
        {LOG_WARNING, provoked_warning},
        {LOG_NOTICE, "Termination signal received, exiting..."},
    };
    static const std::regex layout(R"(^<(\d+)>[A-Z][a-z]{2} [ \d]\d \d{2}:\d{2}:\d{2} ([^\[]*)\[(\d+)\]: (.*)$)");
    std::vector<std::pair<int, std::string>> seen;
    for (const std::string& datagram : datagrams) {
        ASSERT_TRUE(std::regex_match(datagram, m, layout)) << datagram;
        EXPECT_EQ(m[2], "trawl-test");
        EXPECT_EQ(m[3], pid);
        seen.push_back({std::stoi(m[1]), m[4]});
    }
    for (const auto& line : expected) {
        EXPECT_NE(std::find(seen.begin(), seen.end(), std::make_pair(facility | line.first, line.second)),
                  seen.end())
            << line.second << "\n" << r.out;
    }
    // Info and above only: no Debug line went out.
    for (const auto& line : seen)
        EXPECT_LE(line.first & 7, LOG_INFO) << line.second;
    EXPECT_EQ(pipe.rfind("Notice: TrawlD " VELBO_VERSION "\n", 0), 0u) << pipe;
    EXPECT_NE(pipe.find("Warning: " + provoked_warning + "\n"), std::string::npos) << pipe;
    EXPECT_EQ(lines_of(pipe).size(), datagrams.size()) << pipe << r.out;
}
