#include "support/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace velbo_test {

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

void stop_server(pid_t pid, int sig)
{
    if (!server_running(pid))
        return;
    ::kill(pid, sig);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
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
