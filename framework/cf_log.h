// The process-wide log: a queue until the first log is installed, then one
// sink (standard error, a file descriptor or syslog), optionally copied to an
// additional descriptor; at exit whatever is still queued goes to standard
// error.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/thread/mutex.hpp>

#include "log.pb.h"

typedef int cf_log_level_t;

constexpr cf_log_level_t CF_LOG_DEBUG = 0;
constexpr cf_log_level_t CF_LOG_INFO = 1;
constexpr cf_log_level_t CF_LOG_NOTICE = 2;
constexpr cf_log_level_t CF_LOG_WARNING = 3;
constexpr cf_log_level_t CF_LOG_ERROR = 4;

typedef int cf_log_mode_t;

constexpr cf_log_mode_t CF_LOG_MODE_QUEUE = 0;
constexpr cf_log_mode_t CF_LOG_MODE_INSTALLED = 1;
constexpr cf_log_mode_t CF_LOG_MODE_STDERR = 2;

// The threshold: an int that LDAP worker threads read while a configuration
// on the main thread writes it. Relaxed order: a worker may see the new value
// a little late, which costs at most one line more or less.
class cf_log_threshold_t {
public:
    constexpr cf_log_threshold_t(int level) noexcept : value(level) {}
    cf_log_threshold_t(const cf_log_threshold_t&) = delete;
    operator int() const noexcept { return value.load(std::memory_order_relaxed); }
    cf_log_threshold_t& operator=(int level) noexcept
    {
        value.store(level, std::memory_order_relaxed);
        return *this;
    }

private:
    std::atomic<int> value;
};

// Lowest level that is written. Callers compare before they build a text:
//     if (cf_log_threshold <= CF_LOG_DEBUG) cf_log_message(CF_LOG_DEBUG, ...);
extern cf_log_threshold_t cf_log_threshold;

// Serialises the console and file sinks' writes, the additional-log
// callbacks and the installation of a log. Not recursive: callbacks must not
// log.
extern boost::mutex cf_log_mutex;

using cf_log_callback_t = std::function<void(const std::string&)>;

// The callback that does nothing; it stands in for every empty callback.
void discard_log_line(const std::string& line);

// Base of every sink. Always owned by std::shared_ptr.
class cf_log_t {
public:
    cf_log_t(cf_log_callback_t additional_log, cf_log_callback_t additional_log_from);
    cf_log_t(const cf_log_t&) = delete;
    cf_log_t& operator=(const cf_log_t&) = delete;
    virtual ~cf_log_t();

    // Prepares the target; called once by cf_install_log.
    virtual void open() = 0;
    virtual void log(int level, const std::string& text) = 0;
    virtual void log_from(const std::string& name, int n, const std::string& text) = 0;
    // Reports exhausted memory without allocating.
    virtual void out_of_memory() = 0;

    void set_additional_log(cf_log_callback_t callback);
    void set_additional_log_from(cf_log_callback_t callback);

    // Called with "<Level>: <text>" after each line of cf_log_message.
    cf_log_callback_t additional_log;
    // Called with "[<name>-<n>] <text>" after each line of cf_log_message_from.
    cf_log_callback_t additional_log_from;
};

// Lines on descriptor 2 without timestamp.
class cf_console_log_t : public cf_log_t {
public:
    cf_console_log_t(cf_log_callback_t additional_log, cf_log_callback_t additional_log_from);
    ~cf_console_log_t() override;
    void open() override;
    void log(int level, const std::string& text) override;
    void log_from(const std::string& name, int n, const std::string& text) override;
    void out_of_memory() override;
};

// Lines with local-time timestamp and process id on a descriptor.
class cf_file_log_t : public cf_log_t {
public:
    cf_file_log_t(int fd, bool owns_fd, cf_log_callback_t additional_log,
        cf_log_callback_t additional_log_from);
    ~cf_file_log_t() override;
    void open() override;
    void log(int level, const std::string& text) override;
    void log_from(const std::string& name, int n, const std::string& text) override;
    void out_of_memory() override;

    int fd;
    bool owns_fd;
    int pid;
};

// Lines through syslog(3); the identity and facility are given to openlog.
class cf_syslog_log_t : public cf_log_t {
public:
    cf_syslog_log_t(const char* ident, int facility, cf_log_callback_t additional_log,
        cf_log_callback_t additional_log_from);
    ~cf_syslog_log_t() override;
    void open() override;
    void log(int level, const std::string& text) override;
    void log_from(const std::string& name, int n, const std::string& text) override;
    void out_of_memory() override;

    int facility;
    std::string ident;
};

// Logs one line. The caller has compared the level with cf_log_threshold.
void cf_log_message(int level, const std::string& text);
// Logs a line of another source, "name-n".
void cf_log_message_from(const std::string& name, int n, const std::string& text);

// Makes a log current and writes the queued lines that pass the threshold.
// Throws std::invalid_argument for an empty pointer.
void cf_install_log(std::shared_ptr<cf_log_t> log);
bool cf_log_installed();
void cf_log_out_of_memory();

const char* cf_log_level_name(int level);
int cf_log_level_from_name(const char* name);
// qv::LogLevel value to level: 1..5 give 0..4, anything else CF_LOG_ERROR.
int cf_log_level_from_proto(int value);

std::shared_ptr<cf_log_t> cf_make_console_log();
// The log a qv::Log record describes; an empty pointer for AUTO or an
// undeclared type. Throws boost::filesystem::filesystem_error when a log
// file cannot be opened, a symbolic link at its path included. With an
// empty additional_log the lines are copied to the descriptor named by
// COM_VELBO_ADD_LOG_PIPE (not for STDERR logs).
std::shared_ptr<cf_log_t> cf_make_log(const qv::Log& config, cf_log_callback_t additional_log,
    cf_log_callback_t additional_log_from);

// Text that came from a client, a file or a server, made safe for one log
// line: bytes 0x00 to 0x1F and 0x7F become \n, \r, \t or \xHH (lower-case
// hex); every other byte, UTF-8 and backslash included, stays as it is.
std::string cf_log_escape(const std::string& text);

// Writes all bytes, repeating after EINTR; stops silently on any other error.
void write_all(int fd, const char* data, size_t length);
