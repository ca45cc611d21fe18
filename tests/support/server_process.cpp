#include "support/server_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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
    // setpriv sets the parent-death signal again after changing the
    // credentials, which clears it.
    std::vector<std::string> all{find_program("setpriv"), "--pdeathsig", "SIGKILL"};
    all.insert(all.end(), setpriv_args.begin(), setpriv_args.end());
    all.insert(all.end(), argv.begin(), argv.end());
    pid_ = spawn_server(all, log_path);
}

bool server_process_t::running()
{
    if (pid_ <= 0)
        return false;
    if (server_running(pid_))
        return true;
    pid_ = -1;
    return false;
}

void server_process_t::stop(int signal, unsigned timeout_seconds)
{
    if (pid_ <= 0)
        return;
    stop_server(pid_, signal, timeout_seconds);
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

int listen_on_loopback(int backlog, unsigned& port, const char* what)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), what);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, backlog) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        const int e = errno;
        ::close(fd);
        throw std::system_error(e, std::generic_category(), what);
    }
    port = ntohs(addr.sin_port);
    return fd;
}

unsigned free_tcp_port()
{
    unsigned port = 0;
    ::close(listen_on_loopback(1, port, "bind"));
    return port;
}


std::string find_program(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (dir.empty())
            continue;
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    throw std::runtime_error("program not found: " + name);
}

child_result_t run_checked(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                           unsigned timeout_seconds)
{
    const child_result_t result =
        run_program(argv.at(0), argv, env.empty() ? environment_without({}) : env, timeout_seconds);
    if (!result.exited || result.status != 0) {
        std::string command;
        for (const std::string& a : argv)
            command += (command.empty() ? "" : " ") + a;
        throw std::runtime_error(command + ": " + describe(result));
    }
    return result;
}

pid_t spawn_server(const std::vector<std::string>& argv, const std::string& log_path)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            _exit(203);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0)
            _exit(201);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        // Nothing of the test's own: a socket it holds must see its peer go.
        if (::close_range(3, ~0U, 0) != 0)
            for (int fd = 3; fd < 1024; ++fd)
                ::close(fd);
        ::execve(args[0], args.data(), environ);
        _exit(202);
    }
    return pid;
}

bool server_running(pid_t pid)
{
    int status = 0;
    pid_t r;
    do
        r = ::waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    return r == 0;
}

void stop_server(pid_t pid, int sig, unsigned timeout_seconds)
{
    if (!server_running(pid))
        return;
    ::kill(pid, sig);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (server_running(pid)) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "server " << pid << " ignores signal " << sig << ": killing it" << std::endl;
            ::kill(pid, SIGKILL);
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace velbo_test
