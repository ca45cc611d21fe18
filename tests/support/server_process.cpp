#include "support/server_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velbo_test {

server_process_t::~server_process_t()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void server_process_t::start(const std::vector<std::string>& setpriv_args, const std::vector<std::string>& argv,
                             const std::string& log_path)
{
    if (pid_ > 0)
        throw std::logic_error("server already running");
    std::vector<std::string> all{"setpriv", "--pdeathsig", "SIGKILL"};
    all.insert(all.end(), setpriv_args.begin(), setpriv_args.end());
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : all)
        args.push_back(&a[0]);
    args.push_back(nullptr);
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        throw std::system_error(errno, std::generic_category(), "open " + log_path);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(log);
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::setpgid(0, 0);
        ::execvp("setpriv", args.data());
        _exit(127);
    }
    ::close(log);
    pid_ = pid;
}

bool server_process_t::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
        pid_ = -1;
        return false;
    }
    return true;
}

void server_process_t::stop(int signal, unsigned timeout_seconds)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::vector<pid_t> child_pids(pid_t parent)
{
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return pids;
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end)
            continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string text;
        std::getline(stat, text);
        // pid (comm) state ppid ...: comm may hold blanks and parentheses.
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent)
            pids.push_back(pid_t(pid));
    }
    ::closedir(proc);
    return pids;
}

namespace {

// The state letter of every thread of the process.
std::vector<char> thread_states(pid_t pid)
{
    std::vector<char> states;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir)
        return states;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream stat(tasks + "/" + e->d_name + "/stat");
        std::string text;
        std::getline(stat, text);
        const size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size())
            states.push_back(text[close + 2]);
    }
    ::closedir(dir);
    return states;
}

} // namespace

void stop_and_wait(pid_t pid)
{
    ::kill(pid, SIGSTOP);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        bool stopped = true;
        // A process that has ended stays a zombie while its stopped parent
        // cannot reap it.
        for (char state : thread_states(pid))
            stopped = stopped && (state == 'T' || state == 't' || state == 'Z' || state == 'X');
        if (stopped)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    throw std::runtime_error("process " + std::to_string(pid) + " did not stop");
}

unsigned free_tcp_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        const int e = errno;
        ::close(fd);
        throw std::system_error(e, std::generic_category(), "bind");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

} // namespace velbo_test
