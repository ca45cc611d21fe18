// Running code in a forked child, or another program, with its standard
// output and standard error captured.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace velbo_test {

struct child_result_t {
    bool exited = false;  // ended through exit or _exit
    int status = -1;      // its exit status when exited
    int signal = 0;       // the signal that ended it otherwise
    std::string out;      // what it wrote to standard output
    std::string err;      // what it wrote to standard error
};

// Forks; the child runs body with standard input from /dev/null and
// standard output and error going to files, then ends with _exit(0) unless
// body ended the process itself. An exception from body ends the child with
// status 200 after its text on standard error. The child is killed by SIGALRM
// after timeout_seconds.
child_result_t run_in_child(const std::function<void()>& body, unsigned timeout_seconds = 60);

// Runs the program at path with the given argv (argv[0] included) and
// environment.
child_result_t run_program(const std::string& path, const std::vector<std::string>& argv,
    const std::vector<std::string>& env, unsigned timeout_seconds = 60);

// The environment of this process without the named variables.
std::vector<std::string> environment_without(const std::vector<std::string>& names);

// Status, signal and both outputs, for failure messages.
std::string describe(const child_result_t& result);

} // namespace velbo_test
