// Programs and background servers for tests: found on the path, run to
// completion, or started in the background so that they never outlive the
// test program (the parent-death signal set in the child), with their output
// in a log file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/child_process.h"

namespace velbo_test {

// A server started with spawn_server through setpriv, which can run it as
// another user; owned, so that it ends with the object.
class server_process_t {
public:
    server_process_t() = default;
    // Kills a running server with SIGKILL and reaps it.
    ~server_process_t();
    server_process_t(const server_process_t&) = delete;
    server_process_t& operator=(const server_process_t&) = delete;

    // Starts `setpriv --pdeathsig SIGKILL [setpriv_args...] argv...` as
    // spawn_server does.
    void start(const std::vector<std::string>& setpriv_args, const std::vector<std::string>& argv,
               const std::string& log_path);
    // As stop_server. Does nothing when it does not run.
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

// A TCP socket (close-on-exec) listening on 127.0.0.1 on a free port, which
// is stored in `port`. Throws std::system_error naming `what`.
int listen_on_loopback(int backlog, unsigned& port, const char* what);

// A free TCP port on 127.0.0.1 at the time of the call (bound to port 0 and
// read back); the caller retries when a server then cannot bind it.
unsigned free_tcp_port();


// The full path of an executable, searched in PATH and then in /usr/sbin,
// /sbin, /usr/bin and /bin. Throws std::runtime_error when none is found.
std::string find_program(const std::string& name);

// Runs argv (argv[0] a full path) with env, or with this process's
// environment when env is empty; throws std::runtime_error with both
// outputs unless it exits with status 0.
child_result_t run_checked(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                           unsigned timeout_seconds = 120);

// Starts argv (argv[0] a full path) in the background with standard input
// from /dev/null, both outputs appended to log_path and no other descriptor
// of the test process. The server gets
// SIGKILL when the thread that started it ends, so that nothing outlives the
// test program. Returns its process id.
pid_t spawn_server(const std::vector<std::string>& argv, const std::string& log_path);

// Whether the process has not ended yet (it is reaped when it has).
bool server_running(pid_t pid);

// Sends sig and waits up to timeout_seconds for the end; then sends SIGKILL
// and waits.
void stop_server(pid_t pid, int sig, unsigned timeout_seconds = 10);

} // namespace velbo_test
