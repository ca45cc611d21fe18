// The process-wide log. The log is process state, so every case that logs
// runs in a forked child and the parent checks what the child wrote.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <iostream>
#include <locale>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include "cf_log.h"
#include "support/child_process.h"

using velbo_test::child_result_t;
using velbo_test::lines_of;
using velbo_test::describe;
using velbo_test::run_in_child;
using velbo_test::temp_dir_t;

namespace {


qv::Log file_config(const std::string& path)
{
    qv::Log config;
    config.set_type(qv::Log::FILE);
    config.set_path(path);
    return config;
}

qv::Log stderr_config(bool show_timestamp)
{
    qv::Log config;
    config.set_type(qv::Log::STDERR);
    config.set_show_timestamp(show_timestamp);
    return config;
}

// Reads what is in a non-blocking pipe now.
std::string drain(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

const char timestamp_pattern[] = R"(\d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2})";

// A file-log line without its timestamp and, for level lines, the "[pid] ".
std::string strip_timestamp(const std::string& line, int pid)
{
    boost::smatch m;
    boost::regex level_line(std::string("^") + timestamp_pattern + " \\[" + std::to_string(pid) + "\\] (.*)$");
    boost::regex source_line(std::string("^") + timestamp_pattern + " (\\[.*)$");
    if (boost::regex_match(line, m, level_line) || boost::regex_match(line, m, source_line))
        return m[1];
    return "unstamped: " + line;
}

} // namespace

TEST(LogLevels, NamesAndConversions)
{
    const struct {
        int level;
        const char* name;
    } names[] = {{0, "Debug"}, {1, "Info"}, {2, "Notice"}, {3, "Warning"}, {4, "Error"},
        {5, "Unknown"}, {7, "Unknown"}, {-1, "Unknown"}};
    for (const auto& row : names)
        EXPECT_STREQ(cf_log_level_name(row.level), row.name) << row.level;

    const struct {
        const char* name;
        int level;
    } from_names[] = {{"Debug", 0}, {"Info", 1}, {"Notice", 2}, {"Warning", 3}, {"Error", 4},
        {"debug", 4}, {"", 4}, {"Verbose", 4}};
    for (const auto& row : from_names)
        EXPECT_EQ(cf_log_level_from_name(row.name), row.level) << row.name;

    const int from_proto[][2] = {{0, 4}, {1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 4}, {-1, 4}};
    for (const auto& row : from_proto)
        EXPECT_EQ(cf_log_level_from_proto(row[0]), row[1]) << row[0];
}

TEST(LogQueue, InstallReplaysQueuedLinesAtThreshold)
{
    child_result_t r = run_in_child([] {
        cf_log_threshold = CF_LOG_DEBUG;
        cf_log_message(CF_LOG_DEBUG, "debug line");
        cf_log_message(CF_LOG_INFO, "info line");
        cf_log_message(CF_LOG_ERROR, "error line");
        std::cout << "installed before: " << cf_log_installed() << std::endl;
        cf_log_threshold = CF_LOG_WARNING;
        cf_install_log(cf_make_console_log());
        std::cout << "installed after: " << cf_log_installed() << std::endl;
        // The queue is empty now: neither a second installation nor the
        // exit flush writes the kept lines again.
        cf_install_log(cf_make_console_log());
        std::exit(0);
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "Error: error line\n");
    EXPECT_EQ(r.out, "installed before: 0\ninstalled after: 1\n");
}

TEST(LogQueue, ExitFlushWritesKeptLinesToStandardError)
{
    const struct {
        int threshold_at_exit;
        const char* expected;
    } cases[] = {
        {CF_LOG_DEBUG,
            "Debug: Flushing log...\nDebug: debug line\nWarning: warning line\nError: src-3: from source\n"},
        {CF_LOG_WARNING, "Warning: warning line\nError: src-3: from source\n"},
    };
    for (const auto& c : cases) {
        child_result_t r = run_in_child([&] {
            cf_log_threshold = CF_LOG_DEBUG;
            cf_log_message(CF_LOG_DEBUG, "debug line");
            cf_log_message(CF_LOG_WARNING, "warning line");
            cf_log_message_from("src", 3, "from source");
            cf_log_threshold = c.threshold_at_exit;
            std::exit(0);
        });
        ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
        EXPECT_EQ(r.err, c.expected) << "threshold " << c.threshold_at_exit;
        EXPECT_EQ(r.out, "");
    }
}

TEST(LogQueue, NothingKeptNothingFlushed)
{
    child_result_t r = run_in_child([] { std::exit(0); });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "");
}

TEST(LogConsole, LineLayouts)
{
    child_result_t r = run_in_child([] {
        cf_log_threshold = CF_LOG_DEBUG;
        cf_install_log(cf_make_console_log());
        for (int level : {0, 1, 2, 3, 4, 7})
            cf_log_message(level, "text " + std::to_string(level));
        cf_log_message_from("worker", 12, "from worker");
        cf_log_out_of_memory();
        cf_log_message(CF_LOG_NOTICE, "");
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err,
        "Debug: text 0\nInfo: text 1\nNotice: text 2\nWarning: text 3\nError: text 4\n"
        "Unknown: text 7\nworker-12: from worker\nError: Not enough memory\nNotice: \n");
    EXPECT_EQ(r.out, "");
}

TEST(LogConsole, OutOfMemoryWithoutLogGoesToStandardError)
{
    child_result_t r = run_in_child([] { cf_log_out_of_memory(); });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "Error: Not enough memory\n");
}

TEST(LogConsole, InstallRejectsEmptyLog)
{
    child_result_t r = run_in_child([] {
        try {
            cf_install_log(std::shared_ptr<cf_log_t>());
            std::cout << "accepted\n";
        } catch (const std::invalid_argument&) {
            std::cout << "rejected\n";
        }
        std::cout << "installed: " << cf_log_installed() << "\n";
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.out, "rejected\ninstalled: 0\n");
}

TEST(LogFile, LocalTimestampPidAndMode)
{
    temp_dir_t dir;
    const std::string path = dir.file("new.log");
    time_t before = time(nullptr);
    pid_t child_pid = 0;
    child_result_t r = run_in_child([&] {
        // Five hours east of UTC, so local time differs from UTC.
        setenv("TZ", "ABC-5", 1);
        tzset();
        umask(0);
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        std::cout << getpid() << std::endl;
        cf_log_threshold = CF_LOG_DEBUG;
        cf_install_log(cf_make_log(file_config(path), {}, {}));
        cf_log_message(CF_LOG_NOTICE, "hello");
        cf_log_message_from("src", 3, "from source");
        cf_log_message(9, "odd level");
        cf_log_out_of_memory();
    });
    time_t after = time(nullptr);
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    child_pid = std::stoi(r.out);
    EXPECT_EQ(r.err, "");

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    std::vector<std::string> lines = lines_of(velbo_test::read_file(path));
    ASSERT_EQ(lines.size(), 4u) << velbo_test::read_file(path);
    boost::smatch m;
    std::string pid = std::to_string(child_pid);
    ASSERT_TRUE(boost::regex_match(lines[0], m,
        boost::regex(std::string("^(") + timestamp_pattern + ") \\[" + pid + "\\] Notice: hello$")))
        << lines[0];
    std::string stamp = m[1];
    ASSERT_TRUE(boost::regex_match(lines[1], m,
        boost::regex(std::string("^(") + timestamp_pattern + ") \\[src-3\\] from source$")))
        << lines[1];
    EXPECT_TRUE(boost::regex_match(lines[2],
        boost::regex(std::string("^") + timestamp_pattern + " \\[" + pid + "\\] Unknown: odd level$")))
        << lines[2];
    EXPECT_EQ(lines[3], "Error: Not enough memory");

    // The stamp is the child's local time (UTC+5), in the C locale's names.
    std::set<std::string> expected;
    for (time_t t = before; t <= after; ++t) {
        time_t shifted = t + 5 * 3600;
        struct tm tm;
        gmtime_r(&shifted, &tm);
        char text[64];
        strftime(text, sizeof text, "%Y-%b-%d %H:%M:%S", &tm);
        expected.insert(text);
    }
    EXPECT_EQ(expected.count(stamp), 1u) << stamp << " not within the child's run in UTC+5";
}

TEST(LogFile, AppendsToExistingFileAndKeepsItsMode)
{
    temp_dir_t dir;
    const std::string path = dir.file("old.log");
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "old line\n", 9), 9);
        fchmod(fd, 0644);
        close(fd);
    }
    child_result_t r = run_in_child([&] {
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        cf_install_log(cf_make_log(file_config(path), {}, {}));
        cf_log_message(CF_LOG_WARNING, "new line");
        // A second log on the same file appends as well.
        cf_install_log(cf_make_log(file_config(path), {}, {}));
        cf_log_message(CF_LOG_ERROR, "newer line");
        std::cout << getpid();
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "");
    int pid = std::stoi(r.out);
    std::vector<std::string> lines = lines_of(velbo_test::read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "old line");
    EXPECT_EQ(strip_timestamp(lines[1], pid), "Warning: new line");
    EXPECT_EQ(strip_timestamp(lines[2], pid), "Error: newer line");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(LogFile, MissingDirectoryFailsWithEnoent)
{
    temp_dir_t dir;
    const std::string path = dir.file("missing/x.log");
    child_result_t r = run_in_child([&] {
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        cf_install_log(cf_make_console_log());
        try {
            cf_make_log(file_config(path), {}, {});
            std::cout << "no exception\n";
        } catch (const boost::filesystem::filesystem_error& e) {
            std::cout << "what: " << e.what() << "\n"
                      << "code: " << e.code().value() << " " << e.code().category().name() << "\n"
                      << "path: " << e.path1().string() << "\n";
        }
        // The installed log is still the one in use.
        cf_log_message(CF_LOG_NOTICE, "still here");
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_NE(r.out.find("what: Cannot create log"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("code: " + std::to_string(ENOENT) + " system\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("path: " + path + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "Notice: still here\n");
}

namespace {

// Renders the month as "<n>" so that the global locale's part is visible.
class marked_month_put_t : public std::time_put<char> {
protected:
    iter_type do_put(iter_type out, std::ios_base& str, char fill, const std::tm* t, char format,
        char modifier) const override
    {
        if (format == 'b') {
            std::string month = "<" + std::to_string(t->tm_mon + 1) + ">";
            return std::copy(month.begin(), month.end(), out);
        }
        return std::time_put<char>::do_put(out, str, fill, t, format, modifier);
    }
};

} // namespace

TEST(LogFile, MonthNameComesFromGlobalLocale)
{
    temp_dir_t dir;
    const std::string path = dir.file("locale.log");
    child_result_t r = run_in_child([&] {
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        std::locale::global(std::locale(std::locale::classic(), new marked_month_put_t));
        cf_install_log(cf_make_log(file_config(path), {}, {}));
        cf_log_message(CF_LOG_NOTICE, "hello");
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        std::cout << tm.tm_mon + 1;
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "");
    std::string text = velbo_test::read_file(path);
    EXPECT_TRUE(boost::regex_match(text,
        boost::regex("^\\d{4}-<" + r.out + ">-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[\\d+\\] Notice: hello\n$")))
        << text;
}

TEST(LogFile, StderrWithTimestampNeverClosesDescriptor2)
{
    child_result_t r = run_in_child([] {
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        cf_install_log(cf_make_log(stderr_config(true), {}, {}));
        cf_log_message(CF_LOG_NOTICE, "stamped");
        cf_log_message_from("src", 1, "stamped source");
        cf_install_log(cf_make_log(stderr_config(false), {}, {}));
        cf_log_message(CF_LOG_NOTICE, "plain");
        std::cout << getpid();
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    int pid = std::stoi(r.out);
    std::vector<std::string> lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 3u) << r.err;
    EXPECT_EQ(strip_timestamp(lines[0], pid), "Notice: stamped");
    EXPECT_EQ(strip_timestamp(lines[1], pid), "[src-1] stamped source");
    EXPECT_EQ(lines[2], "Notice: plain");
}

TEST(LogFile, OwnedDescriptorClosedWhenReplaced)
{
    child_result_t r = run_in_child([] {
        int p[2];
        if (pipe(p) != 0)
            _exit(3);
        fcntl(p[0], F_SETFL, O_NONBLOCK);
        cf_install_log(std::make_shared<cf_file_log_t>(p[1], true, cf_log_callback_t(), cf_log_callback_t()));
        cf_log_message(CF_LOG_INFO, "into pipe");
        std::cout << "open while installed: " << (fcntl(p[1], F_GETFD) != -1) << "\n";
        cf_install_log(cf_make_console_log());
        std::cout << "open after replacement: " << (fcntl(p[1], F_GETFD) != -1) << "\n";
        std::cout << "read: " << drain(p[0]);
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, r.out.find("read: ")),
        "open while installed: 1\nopen after replacement: 0\n");
    EXPECT_TRUE(boost::regex_search(r.out, boost::regex("read: .* \\[\\d+\\] Info: into pipe\n$"))) << r.out;
}

TEST(LogAdditionalPipe, CopiesByVariableAndLogType)
{
    const std::string error_line = "Error: Log Factory: Wrong environment variable COM_VELBO_ADD_LOG_PIPE";
    const struct {
        const char* value;  // "{fd}" stands for the pipe's descriptor; null: unset
        bool file;          // FILE log, else STDERR log
        bool copies;
        bool error;
    } cases[] = {
        {"{fd}", true, true, false},
        {"+{fd}", true, true, false},
        {"{fd}", false, false, false},
        {"abc", true, false, true},
        {"", true, false, true},
        {"{fd}x", true, false, true},
        {" {fd}", true, false, true},
        {"99999999999", true, false, true},
        {"abc", false, false, true},
        {nullptr, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value ? c.value : "(unset)") + (c.file ? " file" : " stderr"));
        temp_dir_t dir;
        const std::string path = dir.file("copy.log");
        child_result_t r = run_in_child([&] {
            int p[2];
            if (pipe(p) != 0)
                _exit(3);
            fcntl(p[0], F_SETFL, O_NONBLOCK);
            if (c.value) {
                std::string value = c.value;
                std::string::size_type at = value.find("{fd}");
                if (at != std::string::npos)
                    value.replace(at, 4, std::to_string(p[1]));
                setenv("COM_VELBO_ADD_LOG_PIPE", value.c_str(), 1);
            } else {
                unsetenv("COM_VELBO_ADD_LOG_PIPE");
            }
            cf_log_threshold = CF_LOG_DEBUG;
            cf_install_log(cf_make_log(c.file ? file_config(path) : stderr_config(false), {}, {}));
            cf_log_message(CF_LOG_NOTICE, "hello");
            cf_log_message_from("src", 3, "from source");
            std::cout << getpid() << "\n" << p[1] << "\n" << drain(p[0]);
        });
        ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
        std::vector<std::string> out = lines_of(r.out);
        ASSERT_GE(out.size(), 2u);
        int pid = std::stoi(out[0]);
        std::string fd = out[1];
        std::string copied = r.out.substr(out[0].size() + out[1].size() + 2);

        std::vector<std::string> logged;
        if (c.file) {
            EXPECT_EQ(r.err, "");
            for (const std::string& line : lines_of(velbo_test::read_file(path)))
                logged.push_back(strip_timestamp(line, pid));
        } else {
            logged = lines_of(r.err);
        }
        std::vector<std::string> expected;
        if (c.value && !c.error)
            expected.push_back("Debug: Log Factory: Additional log - " + fd);
        if (c.error)
            expected.push_back(error_line);
        expected.push_back("Notice: hello");
        expected.push_back(c.file ? "[src-3] from source" : "src-3: from source");
        EXPECT_EQ(logged, expected);

        if (c.copies) {
            EXPECT_EQ(copied, "Debug: Log Factory: Additional log - " + fd +
                    "\nNotice: hello\n[src-3] from source\n");
        } else {
            EXPECT_EQ(copied, "");
        }
    }
}

TEST(LogAdditionalPipe, CallerCallbacksAreKept)
{
    child_result_t r = run_in_child([] {
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        std::string seen;
        auto record = [&seen](const std::string& line) { seen += "<" + line + ">"; };
        // A STDERR log keeps the caller's callback, never a second one.
        cf_install_log(cf_make_log(stderr_config(false), record, record));
        cf_log_message(CF_LOG_NOTICE, "one");
        cf_log_message_from("src", 2, "two");
        std::cout << "stderr log: " << seen << "\n";
        seen.clear();
        // A file log with one callback uses it for source lines as well.
        temp_dir_t dir;
        cf_install_log(cf_make_log(file_config(dir.file("f.log")), record, {}));
        cf_log_message(CF_LOG_WARNING, "three");
        cf_log_message_from("src", 4, "four");
        std::cout << "file log: " << seen << "\n";
        cf_install_log(cf_make_console_log());
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.out, "stderr log: <Notice: one>\nfile log: <Warning: three><[src-4] four>\n");
    EXPECT_EQ(r.err, "Notice: one\nsrc-2: two\n");
}

namespace {

// In a private mount namespace, makes /dev/log a datagram socket of this
// process; returns its descriptor. Ends the child on failure.
int capture_dev_log(const std::string& dir)
{
    if (unshare(CLONE_NEWNS) != 0) {
        std::cerr << "unshare(CLONE_NEWNS): " << std::strerror(errno) << std::endl;
        _exit(10);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::cerr << "mount private: " << std::strerror(errno) << std::endl;
        _exit(11);
    }
    std::string socket_path = dir + "/log";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::cerr << "bind " << socket_path << ": " << std::strerror(errno) << std::endl;
        _exit(12);
    }
    struct stat st;
    if (stat("/dev/log", &st) == 0) {
        if (mount(socket_path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
            std::cerr << "bind mount over /dev/log: " << std::strerror(errno) << std::endl;
            _exit(13);
        }
    } else if (mount(dir.c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0) {
        std::cerr << "bind mount over /dev: " << std::strerror(errno) << std::endl;
        _exit(14);
    }
    return fd;
}

// Every datagram waiting on the socket, one a line.
std::string received(int fd)
{
    std::string text;
    char buffer[2048];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        text += "\n";
    }
    return text;
}

struct syslog_line_t {
    int priority = -1;
    std::string ident;
    int pid = -1;
    std::string text;
};

syslog_line_t parse_syslog_line(const std::string& line)
{
    // <priority>Mmm dd hh:mm:ss ident[pid]: text
    static const boost::regex layout(R"(^<(\d+)>[A-Z][a-z]{2} [ \d]\d \d{2}:\d{2}:\d{2} ([^\[]*)\[(\d+)\]: (.*)$)");
    syslog_line_t parsed;
    boost::smatch m;
    if (boost::regex_match(line, m, layout)) {
        parsed.priority = std::stoi(m[1]);
        parsed.ident = m[2];
        parsed.pid = std::stoi(m[3]);
        parsed.text = m[4];
    } else {
        parsed.text = "unparsed: " + line;
    }
    return parsed;
}

// Runs body in a child whose /dev/log is a socket of its own; returns the
// child's result and the parsed datagrams. The child prints its pid first.
child_result_t run_with_syslog(const std::function<void()>& body, std::vector<syslog_line_t>& lines)
{
    temp_dir_t dir;
    child_result_t r = run_in_child([&] {
        int fd = capture_dev_log(dir.path());
        std::cout << getpid() << "\n";
        body();
        std::cout << "datagrams:\n" << received(fd);
    });
    lines.clear();
    std::string::size_type at = r.out.find("datagrams:\n");
    if (at != std::string::npos) {
        for (const std::string& line : lines_of(r.out.substr(at + 11)))
            lines.push_back(parse_syslog_line(line));
    }
    return r;
}

qv::Log syslog_config(qv::Log::LogFacility facility, const char* ident)
{
    qv::Log config;
    config.set_type(qv::Log::SYSLOG);
    if (facility != qv::Log::DAEMON)
        config.set_facility(facility);
    if (ident)
        config.set_ident(ident);
    return config;
}

} // namespace

TEST(LogSyslog, PriorityIdentPidAndText)
{
    const struct {
        qv::Log::LogFacility facility;
        const char* ident;  // null: not set
        int facility_code;
        const char* shown_ident;
    } cases[] = {
        {qv::Log::LOCAL3, "velbo-test", LOG_LOCAL3, "velbo-test"},
        {qv::Log::DAEMON, nullptr, LOG_DAEMON, "test_log"},
        {qv::Log::USER, "", LOG_USER, "test_log"},
        {qv::Log::MAIL, "m", LOG_MAIL, "m"},
        {qv::Log::LOCAL0, "l0", LOG_LOCAL0, "l0"},
        {qv::Log::LOCAL7, "l7", LOG_LOCAL7, "l7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown_ident);
        std::vector<syslog_line_t> lines;
        child_result_t r = run_with_syslog([&] {
            unsetenv("COM_VELBO_ADD_LOG_PIPE");
            cf_log_threshold = CF_LOG_DEBUG;
            cf_install_log(cf_make_log(syslog_config(c.facility, c.ident), {}, {}));
            cf_log_message(CF_LOG_DEBUG, "debug %s");
            cf_log_message(CF_LOG_NOTICE, "hello");
            cf_log_message(CF_LOG_ERROR, "error");
            cf_log_message(7, "seven");
            cf_log_message_from("src", 3, "from source");
            cf_log_out_of_memory();
        }, lines);
        ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
        int pid = std::stoi(r.out);
        const struct {
            int priority;
            const char* text;
        } expected[] = {{LOG_DEBUG, "debug %s"}, {LOG_NOTICE, "hello"}, {LOG_ERR, "error"},
            {LOG_ERR, "seven"}, {LOG_ERR, "src-3: from source"}, {LOG_ERR, "Error: Not enough memory"}};
        ASSERT_EQ(lines.size(), 6u) << r.out;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].text, expected[i].text);
            EXPECT_EQ(lines[i].priority, c.facility_code | expected[i].priority) << expected[i].text;
            EXPECT_EQ(lines[i].ident, c.shown_ident);
            EXPECT_EQ(lines[i].pid, pid);
        }
        EXPECT_EQ(r.err, "");
    }
}

TEST(LogSyslog, CopiesToAdditionalPipe)
{
    std::vector<syslog_line_t> lines;
    child_result_t r = run_with_syslog([] {
        int p[2];
        if (pipe(p) != 0)
            _exit(3);
        fcntl(p[0], F_SETFL, O_NONBLOCK);
        setenv("COM_VELBO_ADD_LOG_PIPE", std::to_string(p[1]).c_str(), 1);
        cf_log_threshold = CF_LOG_NOTICE;
        cf_install_log(cf_make_log(syslog_config(qv::Log::DAEMON, "piped"), {}, {}));
        cf_log_message(CF_LOG_NOTICE, "hello");
        cf_log_message_from("src", 3, "from source");
        std::cout << "pipe:\n" << drain(p[0]);
    }, lines);
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_NE(r.out.find("pipe:\nNotice: hello\n[src-3] from source\ndatagrams:\n"), std::string::npos) << r.out;
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].text, "hello");
    EXPECT_EQ(lines[1].text, "src-3: from source");
}

TEST(LogSyslog, ReplacedSinkReleasedLateKeepsSuccessorsIdent)
{
    std::vector<syslog_line_t> lines;
    child_result_t r = run_with_syslog([] {
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        std::shared_ptr<cf_log_t> first = cf_make_log(syslog_config(qv::Log::LOCAL1, "first"), {}, {});
        cf_install_log(first);
        cf_log_message(CF_LOG_NOTICE, "one");
        cf_install_log(cf_make_log(syslog_config(qv::Log::LOCAL2, "second"), {}, {}));
        cf_log_message(CF_LOG_NOTICE, "two");
        // The last owner of the replaced sink lets it go only now.
        first.reset();
        cf_log_message(CF_LOG_NOTICE, "three");
        // Replacing the syslog sink by another target closes syslog.
        cf_install_log(cf_make_console_log());
        syslog(LOG_NOTICE, "%s", "direct");
    }, lines);
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0].ident, "first");
    EXPECT_EQ(lines[0].priority, LOG_LOCAL1 | LOG_NOTICE);
    EXPECT_EQ(lines[1].ident, "second");
    EXPECT_EQ(lines[2].ident, "second");
    EXPECT_EQ(lines[2].text, "three");
    EXPECT_EQ(lines[2].priority, LOG_LOCAL2 | LOG_NOTICE);
    // After closelog the program name is the identity again.
    EXPECT_EQ(lines[3].ident, "test_log");
    EXPECT_EQ(lines[3].text, "direct");
}

namespace {

std::atomic<int> interruptions{0};

void count_interruption(int)
{
    interruptions.fetch_add(1);
}

} // namespace

TEST(LogWriteAll, RestartsAfterEintrAndPartialWrites)
{
    child_result_t r = run_in_child([] {
        struct sigaction action {};
        action.sa_handler = count_interruption;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a blocked write fails with EINTR
        sigaction(SIGUSR1, &action, nullptr);

        int p[2];
        if (pipe(p) != 0)
            _exit(3);
        fcntl(p[1], F_SETPIPE_SZ, 4096);
        std::string data(256 * 1024, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>('a' + (i * 7 + i / 4099) % 26);

        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        std::atomic<bool> done{false};
        std::string got;
        std::thread reader([&] {
            pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
            char buffer[1000];
            for (;;) {
                ssize_t n = read(p[0], buffer, sizeof buffer);
                if (n <= 0)
                    break;
                got.append(buffer, static_cast<size_t>(n));
                usleep(100);
            }
        });
        pthread_t writer = pthread_self();
        std::thread signaller([&] {
            pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
            while (!done.load()) {
                pthread_kill(writer, SIGUSR1);
                usleep(200);
            }
        });
        write_all(p[1], data.data(), data.size());
        done.store(true);
        signaller.join();
        close(p[1]);
        reader.join();
        std::cout << "same: " << (got == data) << " size: " << got.size() << "\n"
                  << "interruptions: " << interruptions.load() << "\n";
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "same: 1 size: 262144");
    boost::smatch m;
    ASSERT_TRUE(boost::regex_search(r.out, m, boost::regex("interruptions: (\\d+)")));
    EXPECT_GT(std::stoi(m[1]), 10) << "the writer was hardly interrupted";
    EXPECT_EQ(r.err, "");
}

TEST(LogWriteAll, StopsOnErrorWithoutReporting)
{
    child_result_t r = run_in_child([] {
        signal(SIGPIPE, SIG_IGN);
        int p[2];
        if (pipe(p) != 0)
            _exit(3);
        close(p[0]);
        write_all(p[1], "no reader", 9);  // EPIPE
        write_all(-1, "bad", 3);          // EBADF
        // A log on a dead descriptor loses its lines and goes on.
        cf_install_log(std::make_shared<cf_file_log_t>(p[1], true, cf_log_callback_t(), cf_log_callback_t()));
        cf_log_message(CF_LOG_ERROR, "lost");
        std::cout << "returned\n";
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.out, "returned\n");
    EXPECT_EQ(r.err, "");
}

namespace {

// A sink whose log waits until it is released.
class gate_log_t : public cf_log_t {
public:
    gate_log_t(cf_log_callback_t additional, std::promise<void>& entered,
        std::shared_future<void> release, std::atomic<bool>& destroyed)
        : cf_log_t(std::move(additional), cf_log_callback_t()), entered(entered),
          release(std::move(release)), destroyed(destroyed)
    {
    }
    ~gate_log_t() override { destroyed.store(true); }
    void open() override {}
    void log(int, const std::string&) override
    {
        entered.set_value();
        release.wait();
    }
    void log_from(const std::string&, int, const std::string&) override {}
    void out_of_memory() override {}

private:
    std::promise<void>& entered;
    std::shared_future<void> release;
    std::atomic<bool>& destroyed;
};

} // namespace

TEST(LogConcurrency, ReplacedLogLivesWhileAWriterIsInside)
{
    child_result_t r = run_in_child([] {
        std::promise<void> entered;
        std::promise<void> release;
        std::atomic<bool> destroyed{false};
        std::string copied;
        cf_install_log(std::make_shared<gate_log_t>(
            [&copied](const std::string& line) { copied += line; }, entered, release.get_future().share(),
            destroyed));
        std::thread writer([] { cf_log_message(CF_LOG_NOTICE, "late"); });
        entered.get_future().wait();
        cf_install_log(cf_make_console_log());
        std::cout << "destroyed while inside: " << destroyed.load() << "\n";
        release.set_value();
        writer.join();
        std::cout << "destroyed after: " << destroyed.load() << "\n"
                  << "copied by the old log: " << copied << "\n";
        cf_log_message(CF_LOG_NOTICE, "new log");
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.out, "destroyed while inside: 0\ndestroyed after: 1\ncopied by the old log: Notice: late\n");
    EXPECT_EQ(r.err, "Notice: new log\n");
}

TEST(LogConcurrency, WholeLinesWhileLogsAreReplaced)
{
    temp_dir_t dir;
    const std::string paths[] = {dir.file("a.log"), dir.file("b.log")};
    const int threads = 4;
    const int per_thread = 500;
    child_result_t r = run_in_child([&] {
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        int p[2];
        if (pipe(p) != 0)
            _exit(3);
        std::string copied;
        std::thread drainer([&] {
            char buffer[4096];
            ssize_t n;
            while ((n = read(p[0], buffer, sizeof buffer)) > 0)
                copied.append(buffer, static_cast<size_t>(n));
        });
        auto copy = [&p](const std::string& line) {
            write_all(p[1], line.data(), line.size());
            write_all(p[1], "\n", 1);
        };
        cf_install_log(cf_make_log(file_config(paths[0]), copy, {}));
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < per_thread; ++i)
                    cf_log_message(CF_LOG_INFO, "thread " + std::to_string(t) + " line " + std::to_string(i) +
                            " " + std::string(100, 'x'));
            });
        }
        for (int i = 0; i < 100; ++i)
            cf_install_log(cf_make_log(file_config(paths[i % 2]), copy, {}));
        for (std::thread& w : writers)
            w.join();
        cf_install_log(cf_make_console_log());
        close(p[1]);
        drainer.join();
        std::cout << getpid() << "\n" << copied;
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> copied = lines_of(r.out);
    ASSERT_FALSE(copied.empty());
    int pid = std::stoi(copied[0]);
    copied.erase(copied.begin());

    boost::regex whole("^Info: thread (\\d) line (\\d+) x{100}$");
    std::set<std::string> seen;
    for (const std::string& path : paths) {
        for (const std::string& line : lines_of(velbo_test::read_file(path))) {
            std::string text = strip_timestamp(line, pid);
            EXPECT_TRUE(boost::regex_match(text, whole)) << line;
            seen.insert(text);
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(threads * per_thread));
    EXPECT_EQ(copied.size(), static_cast<size_t>(threads * per_thread));
    for (const std::string& line : copied)
        EXPECT_EQ(seen.count(line), 1u) << line;
}

TEST(LogEscape, ControlBytesEscapedOthersKept)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain text", "plain text"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
        {"back\\slash", "back\\slash"},
        {"\xc3\xa9t\xc3\xa9 \xff", "\xc3\xa9t\xc3\xa9 \xff"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cf_log_escape(c.in), c.out) << c.in;
}
