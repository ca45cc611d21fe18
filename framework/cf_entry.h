// Process entry: the terminate handler, the bridge from the protocol-buffer
// library's log, the normal end of the process and the command line of a
// process started without its monitor.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include <google/protobuf/stubs/logging.h>

// std::set_terminate(on_terminate).
void install_terminate_handler();
// Logs the current exception (or "Unexpected exception") at Error and ends
// the process with _exit and the status its error maps to.
[[noreturn]] void on_terminate();

// google::protobuf::SetLogHandler(protobuf_log_handler).
void install_protobuf_log_handler();
void protobuf_log_handler(google::protobuf::LogLevel level, const char* filename, int line,
    const std::string& message);

// Blocks the signals in the calling thread, and so in every thread it starts
// afterwards. Throws boost::system::system_error.
void block_signals(std::initializer_list<int> signals);
// Starts a thread that leaves the signals unblocked and only waits, so that
// the kernel delivers them there and their handlers never interrupt a
// blocking call of another thread. It lasts as long as the process.
void start_signal_thread(std::initializer_list<int> signals);

// Logs "Exit with status <n> (<text>)" at Notice and calls exit.
[[noreturn]] void exit_with_status(int status);

// Serves --help, --version and --dump-app-info, otherwise refuses to run;
// ends the process. A bad command line throws the options library's
// exception.
[[noreturn]] void run_standalone(const char* name, const char* version, int argc, char** argv);

// Major and minor number of a dotted version; throws std::runtime_error
// "Invalid version format: <text>".
std::pair<int, int> parse_version(const std::string& text);
// True when both versions have the same major and minor number, or when
// either cannot be parsed.
bool is_compatible_version(const char* a, const char* b);

// The first of LC_ALL, LC_CTYPE and LANG that is set and not empty, else C;
// then sets all three to C.
std::string default_locale_name();
