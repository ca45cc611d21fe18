#include "cf_entry.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <boost/algorithm/string/split.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>
#include <boost/system/system_error.hpp>

#include "application.pb.h"
#include "cf_app_info.h"
#include "cf_errors.h"
#include "cf_log.h"

namespace po = boost::program_options;

namespace {

// A plain console log at Notice when nothing is installed yet.
void ensure_log()
{
    if (!cf_log_installed()) {
        cf_log_threshold = CF_LOG_NOTICE;
        cf_install_log(cf_make_console_log());
    }
}

const char dangerously_large[] = "Reading dangerously large protocol message.";

} // namespace

void install_terminate_handler()
{
    std::set_terminate(on_terminate);
}

void on_terminate()
{
    try {
        ensure_log();
        std::exception_ptr current = std::current_exception();
        try {
            if (current)
                std::rethrow_exception(current);
            throw qv::EC_UNEXPECTED_ERROR;
        } catch (const std::exception& e) {
            if (cf_log_threshold <= CF_LOG_ERROR)
                cf_log_message(CF_LOG_ERROR, exception_text(e));
            _exit(proto_error_code_of(e));
        } catch (...) {
            if (cf_log_threshold <= CF_LOG_ERROR)
                cf_log_message(CF_LOG_ERROR, "Unexpected exception");
            _exit(qv::EC_UNEXPECTED_ERROR);
        }
    } catch (const std::bad_alloc&) {
        cf_log_out_of_memory();
        _exit(qv::EC_NO_MEMORY);
    } catch (...) {
        _exit(qv::EC_UNEXPECTED_ERROR);
    }
}

void install_protobuf_log_handler()
{
    google::protobuf::SetLogHandler(protobuf_log_handler);
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char*, int,
    const std::string& message)
{
    int log_level;
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        log_level = CF_LOG_INFO;
        break;
    case google::protobuf::LOGLEVEL_WARNING:
        if (message.compare(0, sizeof dangerously_large - 1, dangerously_large) == 0)
            return;
        log_level = CF_LOG_WARNING;
        break;
    default:
        log_level = CF_LOG_ERROR;
        break;
    }
    if (cf_log_threshold <= log_level)
        cf_log_message(log_level, message);
}

namespace {

sigset_t set_of(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : signals)
        sigaddset(&set, signal_number);
    return set;
}

} // namespace

void block_signals(std::initializer_list<int> signals)
{
    const sigset_t set = set_of(signals);
    if (const int error = pthread_sigmask(SIG_BLOCK, &set, nullptr))
        throw boost::system::system_error(error, boost::system::system_category(), "pthread_sigmask");
}

void start_signal_thread(std::initializer_list<int> signals)
{
    const sigset_t set = set_of(signals);
    std::thread([set]() {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        for (;;)
            pause();
    }).detach();
}

void exit_with_status(int status)
{
    ensure_log();
    if (cf_log_threshold <= CF_LOG_NOTICE)
        cf_log_message(CF_LOG_NOTICE, "Exit with status " + std::to_string(status) + " (" +
            enum_name(qv::ErrorCode_descriptor(), status) + ")");
    std::exit(status);
}

void run_standalone(const char* name, const char* version, int argc, char** argv)
{
    cf_log_threshold = CF_LOG_ERROR;
    cf_install_log(cf_make_console_log());

    const unsigned line_length = po::options_description::m_default_line_length;
    po::options_description visible("Command line options", line_length, line_length / 2);
    visible.add_options()
        ("help,h", po::bool_switch(), "print help message and exit")
        ("version,v", po::bool_switch(), "print version and exit");

    po::options_description all("Command line options", line_length, line_length / 2);
    all.add(visible);
    all.add_options()
        ("dump-app-info", po::bool_switch(), "dump exe file info");

    // No positional arguments: a bare word is an error.
    po::positional_options_description positional;
    po::variables_map options;
    po::store(po::command_line_parser(argc, argv)
                  .options(all)
                  .positional(positional)
                  .style(po::command_line_style::unix_style |
                      po::command_line_style::long_case_insensitive)
                  .run(),
        options);
    po::notify(options);

    if (options["help"].as<bool>()) {
        std::cout << visible << std::endl;
        std::exit(0);
    }
    if (options["version"].as<bool>()) {
        std::cout << name << ' ' << version << std::endl;
        std::exit(0);
    }
    if (options["dump-app-info"].as<bool>()) {
        qv::AppExeInfo info;
        try {
            qv::AppExeInfo made = exe_info_of(version, argc, argv);
            info.Swap(&made);
        } catch (const std::exception&) {
            info.CopyFrom(qv::AppExeInfo::default_instance());
        }
        print_json(std::cout, info) << std::endl;
        std::exit(0);
    }
    std::cout << "Cannot run standalone. See " << name << "(1) for details." << std::endl;
    std::exit(1);
}

std::pair<int, int> parse_version(const std::string& text)
{
    std::vector<std::string> parts;
    boost::algorithm::split(parts, text, [](char c) { return c == '.'; });
    int major = 0;
    int minor = 0;
    if (parts.size() < 2 || !boost::conversion::try_lexical_convert(parts[0], major) ||
        !boost::conversion::try_lexical_convert(parts[1], minor))
        throw std::runtime_error("Invalid version format: " + text);
    return {major, minor};
}

bool is_compatible_version(const char* a, const char* b)
{
    try {
        return parse_version(a) == parse_version(b);
    } catch (const std::exception& e) {
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, std::string("Cannot check component compatibility: ") + e.what());
        return true;
    }
}

std::string default_locale_name()
{
    std::string name;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            name = value;
            break;
        }
    }
    if (name.empty()) {
        name = "C";
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING,
                "Unable to get default locale: LC_ALL, LC_CTYPE and LANG variables are not set, assuming \"C\"");
    }
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"})
        setenv(variable, "C", 1);
    return name;
}
