#include "cf_log.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/lock_guard.hpp>

cf_log_threshold_t cf_log_threshold(0);

// Defined before the log state, so it is destroyed after it.
boost::mutex cf_log_mutex;

void cf_log_flush_at_exit();

namespace {

typedef std::pair<int, std::string> cf_log_entry_t;

// Read without the mutex by every writer, so atomic.
std::atomic<cf_log_mode_t> cf_log_mode{CF_LOG_MODE_QUEUE};

// The queue and the current log in one object: its destructor is the exit
// flush, and the members go after it, the current log first.
struct cf_log_state_t {
    std::vector<cf_log_entry_t> queue;
    std::shared_ptr<cf_log_t> current;

    ~cf_log_state_t() { cf_log_flush_at_exit(); }
};

cf_log_state_t cf_log_state;
std::vector<cf_log_entry_t>& cf_log_queue = cf_log_state.queue;
std::shared_ptr<cf_log_t>& cf_current_log = cf_log_state.current;

const char not_enough_memory_line[] = "Error: Not enough memory\n";

std::shared_ptr<cf_log_t> current_log()
{
    boost::lock_guard<boost::mutex> lock(cf_log_mutex);
    return cf_current_log;
}

std::string level_line(int level, const std::string& text)
{
    std::string line = cf_log_level_name(level);
    line += ": ";
    line += text;
    return line;
}

std::string plain_source_line(const std::string& name, int n, const std::string& text)
{
    return name + "-" + std::to_string(n) + ": " + text;
}

std::string bracketed_source_line(const std::string& name, int n, const std::string& text)
{
    return "[" + name + "-" + std::to_string(n) + "] " + text;
}

// Local time at whole seconds in the date-time library's default form,
// "2024-Jan-05 12:34:56", with the month name of the global locale.
std::string timestamp()
{
    std::ostringstream out;
    out << boost::posix_time::second_clock::local_time();
    return out.str();
}

void write_line(int fd, const std::string& line)
{
    boost::lock_guard<boost::mutex> lock(cf_log_mutex);
    write_all(fd, line.data(), line.size());
}

int syslog_priority(int level)
{
    if (level >= CF_LOG_DEBUG && level <= CF_LOG_ERROR)
        return LOG_DEBUG - level;
    return LOG_ERR;
}

// The sink whose openlog is in force. A replaced syslog sink that a writer
// kept alive must not close the syslog connection of its successor.
std::mutex syslog_owner_mutex;
const cf_syslog_log_t* syslog_owner = nullptr;

// LogFacility values 2 to 17.
const int cf_syslog_facility_table[] = {
    LOG_USER, LOG_MAIL,
    LOG_DAEMON, LOG_DAEMON, LOG_DAEMON, LOG_DAEMON, LOG_DAEMON, LOG_DAEMON,
    LOG_LOCAL0, LOG_LOCAL1, LOG_LOCAL2, LOG_LOCAL3, LOG_LOCAL4, LOG_LOCAL5, LOG_LOCAL6, LOG_LOCAL7,
};

int syslog_facility(int value)
{
    if (value >= 2 && value <= 17)
        return cf_syslog_facility_table[value - 2];
    return LOG_DAEMON;
}

cf_log_callback_t make_default_callback()
{
    const char* value = std::getenv("COM_VELBO_ADD_LOG_PIPE");
    if (!value)
        return discard_log_line;
    int fd = -1;
    if (boost::conversion::try_lexical_convert(value, std::strlen(value), fd)) {
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, "Log Factory: Additional log - " + std::to_string(fd));
        return [fd](const std::string& line) {
            write_all(fd, line.data(), line.size());
            write_all(fd, "\n", 1);
        };
    }
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, "Log Factory: Wrong environment variable COM_VELBO_ADD_LOG_PIPE");
    return discard_log_line;
}

cf_log_callback_t or_discard(cf_log_callback_t callback)
{
    if (!callback)
        return discard_log_line;
    return callback;
}

} // namespace

void discard_log_line(const std::string&)
{
}

// cf_log_t

cf_log_t::cf_log_t(cf_log_callback_t additional_log, cf_log_callback_t additional_log_from)
    : additional_log(or_discard(std::move(additional_log))),
      additional_log_from(or_discard(std::move(additional_log_from)))
{
}

cf_log_t::~cf_log_t() = default;

void cf_log_t::set_additional_log(cf_log_callback_t callback)
{
    additional_log = or_discard(std::move(callback));
}

void cf_log_t::set_additional_log_from(cf_log_callback_t callback)
{
    additional_log_from = or_discard(std::move(callback));
}

// cf_console_log_t

cf_console_log_t::cf_console_log_t(
    cf_log_callback_t additional_log, cf_log_callback_t additional_log_from)
    : cf_log_t(std::move(additional_log), std::move(additional_log_from))
{
}

cf_console_log_t::~cf_console_log_t() = default;

void cf_console_log_t::open()
{
}

void cf_console_log_t::log(int level, const std::string& text)
{
    write_line(STDERR_FILENO, level_line(level, text) + "\n");
}

void cf_console_log_t::log_from(const std::string& name, int n, const std::string& text)
{
    write_line(STDERR_FILENO, plain_source_line(name, n, text) + "\n");
}

void cf_console_log_t::out_of_memory()
{
    write_all(STDERR_FILENO, not_enough_memory_line, sizeof not_enough_memory_line - 1);
}

// cf_file_log_t

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd, cf_log_callback_t additional_log,
    cf_log_callback_t additional_log_from)
    : cf_log_t(std::move(additional_log), std::move(additional_log_from)),
      fd(fd), owns_fd(owns_fd), pid(getpid())
{
}

cf_file_log_t::~cf_file_log_t()
{
    if (owns_fd && fd >= 0)
        close(fd);
}

void cf_file_log_t::open()
{
}

void cf_file_log_t::log(int level, const std::string& text)
{
    write_line(fd, timestamp() + " [" + std::to_string(pid) + "] " + level_line(level, text) + "\n");
}

void cf_file_log_t::log_from(const std::string& name, int n, const std::string& text)
{
    write_line(fd, timestamp() + " " + bracketed_source_line(name, n, text) + "\n");
}

void cf_file_log_t::out_of_memory()
{
    write_all(fd, not_enough_memory_line, sizeof not_enough_memory_line - 1);
}

// cf_syslog_log_t

cf_syslog_log_t::cf_syslog_log_t(const char* ident, int facility,
    cf_log_callback_t additional_log, cf_log_callback_t additional_log_from)
    : cf_log_t(std::move(additional_log), std::move(additional_log_from)),
      facility(facility), ident(ident ? ident : "")
{
}

cf_syslog_log_t::~cf_syslog_log_t()
{
    std::lock_guard<std::mutex> lock(syslog_owner_mutex);
    if (syslog_owner == this) {
        closelog();
        syslog_owner = nullptr;
    }
}

void cf_syslog_log_t::open()
{
    std::lock_guard<std::mutex> lock(syslog_owner_mutex);
    // openlog keeps the pointer; the string lives as long as this sink.
    openlog(ident.empty() ? nullptr : ident.c_str(), LOG_PID, facility);
    syslog_owner = this;
}

void cf_syslog_log_t::log(int level, const std::string& text)
{
    syslog(syslog_priority(level), "%s", text.c_str());
}

void cf_syslog_log_t::log_from(const std::string& name, int n, const std::string& text)
{
    syslog(LOG_ERR, "%s", plain_source_line(name, n, text).c_str());
}

void cf_syslog_log_t::out_of_memory()
{
    syslog(LOG_ERR, "%s", "Error: Not enough memory");
}

// The process-wide log

void cf_log_message(int level, const std::string& text)
{
    cf_log_mode_t mode = cf_log_mode.load();
    if (mode == CF_LOG_MODE_QUEUE) {
        // Rechecked under the mutex: an installation may have emptied the
        // queue meanwhile.
        boost::lock_guard<boost::mutex> lock(cf_log_mutex);
        mode = cf_log_mode.load();
        if (mode == CF_LOG_MODE_QUEUE) {
            cf_log_queue.emplace_back(level, text);
            return;
        }
    }
    if (mode == CF_LOG_MODE_INSTALLED) {
        // A copy, so that a log replaced meanwhile lives until this call is done.
        std::shared_ptr<cf_log_t> log = current_log();
        if (!log)
            return;
        log->log(level, text);
        std::string line = level_line(level, text);
        boost::lock_guard<boost::mutex> lock(cf_log_mutex);
        log->additional_log(line);
        return;
    }
    if (level >= cf_log_threshold) {
        std::string line = level_line(level, text) + "\n";
        write_all(STDERR_FILENO, line.data(), line.size());
    }
}

void cf_log_message_from(const std::string& name, int n, const std::string& text)
{
    if (cf_log_mode.load() == CF_LOG_MODE_INSTALLED) {
        std::shared_ptr<cf_log_t> log = current_log();
        if (log) {
            log->log_from(name, n, text);
            std::string line = bracketed_source_line(name, n, text);
            boost::lock_guard<boost::mutex> lock(cf_log_mutex);
            log->additional_log_from(line);
            return;
        }
    }
    cf_log_message(CF_LOG_ERROR, plain_source_line(name, n, text));
}

void cf_install_log(std::shared_ptr<cf_log_t> log)
{
    if (!log)
        throw std::invalid_argument("cf_install_log: no log");
    std::vector<cf_log_entry_t> queued;
    {
        boost::lock_guard<boost::mutex> lock(cf_log_mutex);
        // The previous log goes here unless a writer still holds it.
        cf_current_log = log;
        log->open();
        queued.swap(cf_log_queue);
        cf_log_mode.store(CF_LOG_MODE_INSTALLED);
    }
    for (const cf_log_entry_t& entry : queued) {
        if (entry.first >= cf_log_threshold)
            cf_log_message(entry.first, entry.second);
    }
}

bool cf_log_installed()
{
    boost::lock_guard<boost::mutex> lock(cf_log_mutex);
    return static_cast<bool>(cf_current_log);
}

void cf_log_out_of_memory()
{
    if (cf_log_mode.load() == CF_LOG_MODE_INSTALLED) {
        if (std::shared_ptr<cf_log_t> log = current_log()) {
            log->out_of_memory();
            return;
        }
    }
    write_all(STDERR_FILENO, not_enough_memory_line, sizeof not_enough_memory_line - 1);
}

void cf_log_flush_at_exit()
{
    cf_log_mode.store(CF_LOG_MODE_STDERR);
    if (cf_log_queue.empty())
        return;
    try {
        cf_log_message(CF_LOG_DEBUG, "Flushing log...");
        for (const cf_log_entry_t& entry : cf_log_queue)
            cf_log_message(entry.first, entry.second);
    } catch (...) {
        // Nothing to report to at this point.
    }
    cf_log_queue.clear();
}

const char* cf_log_level_name(int level)
{
    switch (level) {
    case CF_LOG_DEBUG:
        return "Debug";
    case CF_LOG_INFO:
        return "Info";
    case CF_LOG_NOTICE:
        return "Notice";
    case CF_LOG_WARNING:
        return "Warning";
    case CF_LOG_ERROR:
        return "Error";
    default:
        return "Unknown";
    }
}

int cf_log_level_from_name(const char* name)
{
    if (name) {
        if (std::strcmp(name, "Debug") == 0)
            return CF_LOG_DEBUG;
        if (std::strcmp(name, "Info") == 0)
            return CF_LOG_INFO;
        if (std::strcmp(name, "Notice") == 0)
            return CF_LOG_NOTICE;
        if (std::strcmp(name, "Warning") == 0)
            return CF_LOG_WARNING;
    }
    return CF_LOG_ERROR;
}

int cf_log_level_from_proto(int value)
{
    if (value >= qv::LOG_LEVEL_DEBUG && value <= qv::LOG_LEVEL_ERROR)
        return value - 1;
    return CF_LOG_ERROR;
}

std::shared_ptr<cf_log_t> cf_make_console_log()
{
    return std::make_shared<cf_console_log_t>(cf_log_callback_t(), cf_log_callback_t());
}

std::shared_ptr<cf_log_t> cf_make_log(const qv::Log& config, cf_log_callback_t additional_log,
    cf_log_callback_t additional_log_from)
{
    bool default_callback = false;
    if (!additional_log) {
        additional_log = make_default_callback();
        default_callback = true;
    }
    if (!additional_log_from)
        additional_log_from = additional_log;

    switch (config.type()) {
    case qv::Log::FILE: {
        // A symbolic link at the path is never followed: whoever may write
        // the directory could point it at any file.
        const std::string& path = config.path();
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0600);
        if (fd < 0) {
            int error = errno;
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW, 0600);
            if (fd < 0)
                throw boost::filesystem::filesystem_error("Cannot create log", boost::filesystem::path(path),
                    boost::system::error_code(error, boost::system::system_category()));
        }
        return std::make_shared<cf_file_log_t>(
            fd, true, std::move(additional_log), std::move(additional_log_from));
    }
    case qv::Log::STDERR:
        // The additional pipe never receives standard-error logs.
        if (default_callback)
            additional_log = cf_log_callback_t();
        if (config.show_timestamp())
            return std::make_shared<cf_file_log_t>(
                STDERR_FILENO, false, std::move(additional_log), cf_log_callback_t());
        return std::make_shared<cf_console_log_t>(std::move(additional_log), cf_log_callback_t());
    case qv::Log::SYSLOG:
        return std::make_shared<cf_syslog_log_t>(config.has_ident() ? config.ident().c_str() : nullptr,
            syslog_facility(config.facility()), std::move(additional_log),
            std::move(additional_log_from));
    default:
        return std::shared_ptr<cf_log_t>();
    }
}

void write_all(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            return;
        }
    }
}

std::string cf_log_escape(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c != 0x7f) {
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    return out;
}
