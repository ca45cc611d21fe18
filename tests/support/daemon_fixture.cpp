#include "support/daemon_fixture.h"

#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace {
pilotd_standin_options_t with_daemon(pilotd_standin_options_t options)
{
    if (options.daemon_path.empty())
        options.daemon_path = VELBO_TRAWLD_BIN;
    return options;
}
} // namespace

daemon_fixture_t::daemon_fixture_t(pilotd_standin_options_t options)
    : socket_path(dir.file("trawld.sock")), pilotd(with_daemon(std::move(options)))
{
}

std::string daemon_fixture_t::config_text(const std::string& more) const
{
    return "run_as_user { uid: 0 }\n"
           "socket_path: \"" + socket_path + "\"\n"
           "log_level: LOG_LEVEL_DEBUG\n"
           "actual_log { type: STDERR }\n" + more;
}

void daemon_fixture_t::start()
{
    pilotd.start();
}

void daemon_fixture_t::start_configured(const std::string& more)
{
    start();
    ASSERT_TRUE(pilotd.apply_config(1, parse_config_text(config_text(more)), daemon_timeout))
        << pilotd.stderr_text();
}

bool daemon_fixture_t::apply(uint32_t revision, const std::string& text)
{
    return pilotd.apply_config(revision, parse_config_text(text), daemon_timeout);
}

bool daemon_fixture_t::push(uint32_t revision, const std::string& text)
{
    if (!pilotd.send_config(revision, parse_config_text(text)))
        return false;
    const std::optional<qv::TrawlD2PilotdMessage> info =
        pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION, daemon_timeout);
    return info && info->config_revision() == revision;
}

std::unique_ptr<trawl_client_t> daemon_fixture_t::connect() const
{
    return std::make_unique<trawl_client_t>(socket_path);
}

bool daemon_fixture_t::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pilotd.stderr_text().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

void daemon_fixture_t::stop()
{
    pilotd.signal(SIGTERM);
    const std::optional<int> status = pilotd.wait_exit(daemon_timeout);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 107) << pilotd.stderr_text();
}

std::vector<std::string> data_of(const lp::ServerMessage& response)
{
    return {response.data().begin(), response.data().end()};
}

namespace {

void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void bind_mount(const std::string& source, const std::string& target)
{
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail("bind " + source + " on " + target);
}

// Covers /dev with a tmpfs that holds the old entries, bound one by one, and
// an empty file for the log socket.
void rebuild_dev(const std::string& dir)
{
    const std::string old_dev = dir + "/old-dev";
    if (::mkdir(old_dev.c_str(), 0755) != 0)
        fail("mkdir " + old_dev);
    bind_mount("/dev", old_dev);
    if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        fail("mount tmpfs on /dev");
    DIR* entries = ::opendir(old_dev.c_str());
    if (!entries)
        fail("opendir " + old_dev);
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string from = old_dev + "/" + name, to = "/dev/" + name;
        struct stat st {};
        if (::lstat(from.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(from.c_str(), target, sizeof target - 1);
            if (n > 0 && ::symlink(std::string(target, static_cast<size_t>(n)).c_str(), to.c_str()) != 0)
                fail("symlink " + to);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (::mkdir(to.c_str(), st.st_mode & 07777) != 0)
                fail("mkdir " + to);
        } else {
            const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            if (fd < 0)
                fail("create " + to);
            ::close(fd);
        }
        bind_mount(from, to);
    }
    ::closedir(entries);
    const int fd = ::open("/dev/log", O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0)
        fail("create /dev/log");
    ::close(fd);
}

} // namespace

int divert_dev_log(const std::string& dir)
{
    if (::unshare(CLONE_NEWNS) != 0)
        fail("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("make / private");

    const std::string socket_path = dir + "/log";
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("bind " + socket_path);
    ::chmod(socket_path.c_str(), 0666);

    struct stat st {};
    if (::lstat("/dev/log", &st) != 0)
        rebuild_dev(dir);
    if (::mount(socket_path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
        fail("bind " + socket_path + " on /dev/log");
    return fd;
}

std::string received_datagrams(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        text += "\n";
    }
    return text;
}

std::string config_literal(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}
