// A server program run in the background for a test: started through
// `setpriv --pdeathsig SIGKILL`, so that it never outlives the test program,
// with its output in a log file.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace velbo_test {

class server_process_t {
public:
    server_process_t() = default;
    // Kills a running server with SIGKILL and reaps it.
    ~server_process_t();
    server_process_t(const server_process_t&) = delete;
    server_process_t& operator=(const server_process_t&) = delete;

    // Runs `setpriv --pdeathsig SIGKILL [setpriv_args...] argv...` with
    // standard output and error appended to log_path.
    void start(const std::vector<std::string>& setpriv_args, const std::vector<std::string>& argv,
               const std::string& log_path);
    // Sends the signal and waits up to timeout_seconds for the exit, then
    // kills it. Does nothing when it does not run.
    void stop(int signal, unsigned timeout_seconds = 30);
    // Whether it still runs (reaps it when it has ended).
    bool running();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// The pids of the children of a process, from /proc.
std::vector<pid_t> child_pids(pid_t parent);

// Sends SIGSTOP to the process and waits until every thread of it has
// stopped (the signal takes effect asynchronously).
void stop_and_wait(pid_t pid);

// A free TCP port on 127.0.0.1 at the time of the call (bound to port 0 and
// read back); the caller retries when a server then cannot bind it.
unsigned free_tcp_port();

} // namespace velbo_test
