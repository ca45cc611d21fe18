// Programs and background servers for tests: found on the path, started
// with the parent-death signal, stopped by their own process id.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/child_process.h"

namespace velbo_test {

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

// Sends sig and waits up to 10 s for the end; then sends SIGKILL and waits.
void stop_server(pid_t pid, int sig);

} // namespace velbo_test
