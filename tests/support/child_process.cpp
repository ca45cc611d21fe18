#include "support/child_process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>

extern char** environ;

namespace velbo_test {

namespace {

struct capture_files_t {
    std::string out_path;
    std::string err_path;

    capture_files_t()
    {
        out_path = make("out");
        err_path = make("err");
    }
    ~capture_files_t()
    {
        unlink(out_path.c_str());
        unlink(err_path.c_str());
    }

    static std::string make(const char* what)
    {
        std::string pattern = std::string("/tmp/velbo-child-") + what + "-XXXXXX";
        int fd = mkstemp(&pattern[0]);
        if (fd < 0)
            throw std::system_error(errno, std::generic_category(), "mkstemp");
        close(fd);
        return pattern;
    }
};

// In the child: redirect the three standard descriptors.
void redirect(const capture_files_t& files, unsigned timeout_seconds)
{
    int in = open("/dev/null", O_RDONLY);
    int out = open(files.out_path.c_str(), O_WRONLY | O_TRUNC);
    int err = open(files.err_path.c_str(), O_WRONLY | O_TRUNC);
    if (in < 0 || out < 0 || err < 0)
        _exit(201);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
    alarm(timeout_seconds);
}

child_result_t wait_for(pid_t pid, const capture_files_t& files)
{
    child_result_t result;
    int wstatus = 0;
    pid_t r;
    do
        r = waitpid(pid, &wstatus, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        throw std::system_error(errno, std::generic_category(), "waitpid");
    if (WIFEXITED(wstatus)) {
        result.exited = true;
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    result.out = read_file(files.out_path);
    result.err = read_file(files.err_path);
    return result;
}

// Flushes the streams, so that the child does not write their contents
// again, and forks.
pid_t fork_flushed()
{
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    return pid;
}

} // namespace

child_result_t run_in_child(const std::function<void()>& body, unsigned timeout_seconds)
{
    capture_files_t files;
    const pid_t pid = fork_flushed();
    if (pid == 0) {
        redirect(files, timeout_seconds);
        try {
            body();
        } catch (const std::exception& e) {
            std::cerr << "exception in child: " << e.what() << std::endl;
            _exit(200);
        } catch (...) {
            std::cerr << "exception in child" << std::endl;
            _exit(200);
        }
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        _exit(0);
    }
    return wait_for(pid, files);
}

child_result_t run_program(const std::string& path, const std::vector<std::string>& argv,
    const std::vector<std::string>& env, unsigned timeout_seconds)
{
    capture_files_t files;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork_flushed();
    if (pid == 0) {
        redirect(files, timeout_seconds);
        execve(path.c_str(), args.data(), envp.data());
        _exit(202);
    }
    return wait_for(pid, files);
}

std::vector<std::string> environment_without(const std::vector<std::string>& names)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool drop = false;
        for (const std::string& name : names)
            drop = drop || entry.compare(0, name.size() + 1, name + "=") == 0;
        if (!drop)
            env.push_back(entry);
    }
    return env;
}

std::string describe(const child_result_t& result)
{
    std::ostringstream text;
    if (result.exited)
        text << "exit status " << result.status;
    else
        text << "signal " << result.signal;
    text << "\n--- stdout ---\n" << result.out << "\n--- stderr ---\n" << result.err;
    return text.str();
}

} // namespace velbo_test
