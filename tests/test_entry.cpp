// Process entry: the executable's standalone command line (run as a
// process), and the terminate handler, the protocol-buffer log bridge,
// exit_with_status and the version and locale helpers (in forked children).
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/program_options.hpp>
#include <boost/regex.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "application.pb.h"
#include "cf_entry.h"
#include "cf_errors.h"
#include "cf_log.h"
#include "support/child_process.h"

using velbo_test::child_result_t;
using velbo_test::describe;
using velbo_test::run_in_child;

namespace {

child_result_t run_daemon(const std::vector<std::string>& args, const char* argv0 = VELBO_TRAWLD_BIN)
{
    std::vector<std::string> argv{argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return velbo_test::run_program(VELBO_TRAWLD_BIN, argv,
        velbo_test::environment_without({"COM_VELBO_MONITOR", "COM_VELBO_ADD_LOG_PIPE"}));
}

// What the options library prints for the visible options, and the end of
// line after it.
std::string expected_help()
{
    namespace po = boost::program_options;
    po::options_description visible("Command line options", 80, 40);
    visible.add_options()
        ("help,h", po::bool_switch(), "print help message and exit")
        ("version,v", po::bool_switch(), "print version and exit");
    std::ostringstream text;
    text << visible << "\n";
    return text.str();
}

std::string join(const std::vector<std::string>& args)
{
    std::string text;
    for (const std::string& a : args)
        text += "[" + a + "]";
    return text;
}

// Ends the child through std::terminate with thrower's exception active.
void throw_uncaught(const std::function<void()>& thrower)
{
    [&]() noexcept { thrower(); }();
}

} // namespace

TEST(Standalone, HelpVersionAndRefusal)
{
    const std::string help = expected_help();
    const std::string version = std::string("velbo-trawld ") + VELBO_VERSION + "\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{}, 1, "Cannot run standalone. See velbo-trawld(1) for details.\n"},
        {{"--help"}, 0, help},
        {{"--HELP"}, 0, help},
        {{"-h"}, 0, help},
        {{"--he"}, 0, help},
        {{"--help", "--version"}, 0, help},
        {{"--version", "-h"}, 0, help},
        {{"--version"}, 0, version},
        {{"-v"}, 0, version},
        {{"--Version"}, 0, version},
    };
    for (const auto& c : cases) {
        child_result_t r = run_daemon(c.args);
        SCOPED_TRACE(join(c.args));
        ASSERT_TRUE(r.exited) << describe(r);
        EXPECT_EQ(r.status, c.status) << describe(r);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(help.find("dump-app-info"), std::string::npos);
    EXPECT_EQ(help.compare(0, 22, "Command line options:\n"), 0) << help;
}

TEST(Standalone, BadCommandLineIsOneErrorLineAndStatus125)
{
    const struct {
        std::vector<std::string> args;
        const char* err;  // null: any one Error line
    } cases[] = {
        {{"--foo"}, "Error: unrecognised option '--foo'\n"},
        {{"-x"}, nullptr},
        {{"--help=1"}, nullptr},
        {{"bare"}, nullptr},
        {{"--help", "bare"}, nullptr},
        {{"--version", "--dump-app-info=yes"}, nullptr},
    };
    for (const auto& c : cases) {
        child_result_t r = run_daemon(c.args);
        SCOPED_TRACE(join(c.args));
        ASSERT_TRUE(r.exited) << describe(r);
        EXPECT_EQ(r.status, 125);
        EXPECT_EQ(r.out, "");
        if (c.err) {
            EXPECT_EQ(r.err, c.err);
        }
        EXPECT_TRUE(boost::regex_match(r.err, boost::regex("Error: [^\n]+\n"))) << r.err;
        EXPECT_EQ(r.err.find("Exit with status"), std::string::npos);
    }
}

namespace {

std::string md5_of_file(const std::string& path)
{
    std::string data = velbo_test::read_file(path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

} // namespace

TEST(Standalone, DumpAppInfoDescribesTheExecutable)
{
    child_result_t r = run_daemon({"--dump-app-info"});
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(boost::regex_match(r.out,
        boost::regex(R"(\{"version":"1\.0\.0","installTime":"\d+","modificationTime":"\d+",)"
                   R"("exeSize":"\d+","exeMd5":"[A-Za-z0-9+/=]+","exeOwner":"[A-Za-z0-9+/=]+"\}\n)")))
        << r.out;

    qv::AppExeInfo info;
    ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(r.out.substr(0, r.out.size() - 1), &info).ok());
    struct stat st;
    ASSERT_EQ(stat(VELBO_TRAWLD_BIN, &st), 0);
    EXPECT_EQ(info.version(), VELBO_VERSION);
    EXPECT_EQ(info.exe_size(), static_cast<uint64_t>(st.st_size));
    EXPECT_EQ(info.modification_time(), static_cast<uint64_t>(st.st_mtime));
    EXPECT_EQ(info.install_time(), static_cast<uint64_t>(st.st_ctime));
    EXPECT_EQ(info.exe_md5(), md5_of_file(VELBO_TRAWLD_BIN));
    const passwd* owner = getpwuid(st.st_uid);
    EXPECT_EQ(info.exe_owner(), owner ? std::string(owner->pw_name) : std::to_string(st.st_uid));
}

TEST(Standalone, DumpAppInfoOfUnreadableExecutableIsEmptyObject)
{
    child_result_t r = run_daemon({"--dump-app-info"}, "/nonexistent/velbo-trawld");
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{}\n");
    EXPECT_EQ(r.err, "");
}

TEST(TerminateHandler, StatusAndErrorLineOfTheUncaughtException)
{
    const struct {
        const char* name;
        std::function<void()> thrower;
        int status;
        const char* err;
    } cases[] = {
        {"system_error 102",
            [] { throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_CONFIG), "applying"); }, 102,
            "Error: applying: Invalid configuration [qv.Error:102]\n"},
        {"filesystem_error ENOENT",
            [] {
                throw boost::filesystem::filesystem_error("stat", "/nowhere",
                    boost::system::error_code(ENOENT, boost::system::system_category()));
            },
            23, nullptr},
        {"int", [] { throw 7; }, 125, "Error: Unexpected exception\n"},
        {"bare ErrorCode", [] { throw qv::EC_BAD_CONFIG; }, 125, "Error: Unexpected exception\n"},
        {"bad_alloc", [] { throw std::bad_alloc(); }, 21, "Error: Not enough memory\n"},
        {"runtime_error", [] { throw std::runtime_error("boom"); }, 125, "Error: boom\n"},
        {"no exception", [] { std::terminate(); }, 125, "Error: Unexpected exception\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        child_result_t r = run_in_child([&] {
            install_terminate_handler();
            throw_uncaught(c.thrower);
        });
        ASSERT_TRUE(r.exited) << describe(r);
        EXPECT_EQ(r.status, c.status);
        if (c.err) {
            EXPECT_EQ(r.err, c.err);
        } else {
            EXPECT_TRUE(boost::regex_match(r.err, boost::regex("Error: stat: [^\n]*\n"))) << r.err;
        }
        EXPECT_EQ(r.out, "");
    }
}

TEST(TerminateHandler, ReplaysQueueAtNoticeAndSkipsExitHandlers)
{
    child_result_t r = run_in_child([] {
        install_terminate_handler();
        std::atexit([] { std::cout << "exit handler ran" << std::endl; });
        cf_log_threshold = CF_LOG_DEBUG;
        cf_log_message(CF_LOG_DEBUG, "queued debug");
        cf_log_message(CF_LOG_INFO, "queued info");
        cf_log_message(CF_LOG_NOTICE, "queued notice");
        throw_uncaught([] { throw std::runtime_error("gone"); });
    });
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "Notice: queued notice\nError: gone\n");
    EXPECT_EQ(r.out, "");
}

TEST(TerminateHandler, KeepsAnInstalledLog)
{
    velbo_test::temp_dir_t dir;
    const std::string path = dir.file("t.log");
    child_result_t r = run_in_child([&] {
        install_terminate_handler();
        qv::Log config;
        config.set_type(qv::Log::FILE);
        config.set_path(path);
        unsetenv("COM_VELBO_ADD_LOG_PIPE");
        cf_log_threshold = CF_LOG_WARNING;
        cf_install_log(cf_make_log(config, {}, {}));
        throw_uncaught([] { throw boost::system::system_error(qv::make_error_code(qv::EC_APP_TERMINATED)); });
    });
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.status, 107);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(boost::regex_search(velbo_test::read_file(path),
        boost::regex(R"(\] Error: Process terminated by signal \[qv\.Error:107\]\n$)")))
        << velbo_test::read_file(path);
}

TEST(ProtobufLogBridge, LevelsTextAndDroppedWarning)
{
    child_result_t r = run_in_child([] {
        cf_log_threshold = CF_LOG_DEBUG;
        cf_install_log(cf_make_console_log());
        install_protobuf_log_handler();

        // A real message of the library: a parse that lacks a required field.
        qv::Log incomplete;
        std::cout << "parsed: " << incomplete.ParseFromString(std::string()) << std::endl;
        GOOGLE_LOG(WARNING) << "Reading dangerously large protocol message.  If the message turns out";
        GOOGLE_LOG(WARNING) << "through the macro";

        using namespace google::protobuf;
        protobuf_log_handler(LOGLEVEL_INFO, "file.cc", 1, "info text");
        protobuf_log_handler(LOGLEVEL_WARNING, "file.cc", 2, "warning text");
        protobuf_log_handler(LOGLEVEL_ERROR, "file.cc", 3, "error text");
        protobuf_log_handler(LOGLEVEL_FATAL, "file.cc", 4, "fatal text");
        protobuf_log_handler(LOGLEVEL_WARNING, "file.cc", 5, "Reading dangerously large protocol message.");
        protobuf_log_handler(LOGLEVEL_WARNING, "file.cc", 6, "Reading dangerously large protocol message");
        protobuf_log_handler(LOGLEVEL_INFO, "file.cc", 7, "Reading dangerously large protocol message.");
        cf_log_threshold = CF_LOG_WARNING;
        protobuf_log_handler(LOGLEVEL_INFO, "file.cc", 8, "info below threshold");
        protobuf_log_handler(LOGLEVEL_WARNING, "file.cc", 9, "warning at threshold");
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.out, "parsed: 0\n");
    EXPECT_EQ(r.err,
        "Error: Can't parse message of type \"qv.Log\" because it is missing required fields: type\n"
        "Warning: through the macro\n"
        "Info: info text\n"
        "Warning: warning text\n"
        "Error: error text\n"
        "Error: fatal text\n"
        "Warning: Reading dangerously large protocol message\n"
        "Info: Reading dangerously large protocol message.\n"
        "Warning: warning at threshold\n");
}

TEST(ExitWithStatus, NoticeLineThenExit)
{
    const struct {
        int status;
        bool queue_lines;     // a Debug and a Warning line queued first
        bool installed;       // a console log installed at Warning first
        const char* err;
    } cases[] = {
        {0, false, false, "Notice: Exit with status 0 (Success)\n"},
        {107, false, false, "Notice: Exit with status 107 (Process terminated by signal)\n"},
        {14, false, false, "Notice: Exit with status 14 (14)\n"},
        {102, true, false, "Warning: queued warning\nNotice: Exit with status 102 (Invalid configuration)\n"},
        {1, false, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        child_result_t r = run_in_child([&] {
            std::atexit([] { std::cout << "exit handler ran" << std::endl; });
            cf_log_threshold = CF_LOG_DEBUG;
            if (c.queue_lines) {
                cf_log_message(CF_LOG_DEBUG, "queued debug");
                cf_log_message(CF_LOG_WARNING, "queued warning");
            }
            if (c.installed) {
                cf_log_threshold = CF_LOG_WARNING;
                cf_install_log(cf_make_console_log());
            }
            exit_with_status(c.status);
        });
        ASSERT_TRUE(r.exited) << describe(r);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "exit handler ran\n");
    }
}

TEST(Versions, ParseVersion)
{
    const struct {
        const char* text;
        int major;
        int minor;
    } good[] = {{"2.5.1", 2, 5}, {"2.5", 2, 5}, {"10.0.x.y", 10, 0}, {"1.2.", 1, 2}, {"+1.-2", 1, -2}};
    for (const auto& c : good)
        EXPECT_EQ(parse_version(c.text), std::make_pair(c.major, c.minor)) << c.text;

    for (const char* text : {"2", "a.b", "", ".", "1..2", ".5", "1.x", "1 .2", "2147483648.1", "1.2x.3"}) {
        try {
            parse_version(text);
            ADD_FAILURE() << "no exception for \"" << text << "\"";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Invalid version format: ") + text);
        }
    }
}

TEST(Versions, CompatibleVersions)
{
    EXPECT_TRUE(is_compatible_version("1.2.3", "1.2.9"));
    EXPECT_TRUE(is_compatible_version("1.2", "1.2"));
    EXPECT_FALSE(is_compatible_version("1.2", "1.3"));
    EXPECT_FALSE(is_compatible_version("2.2", "1.2"));

    child_result_t r = run_in_child([] {
        cf_log_threshold = CF_LOG_DEBUG;
        cf_install_log(cf_make_console_log());
        std::cout << is_compatible_version("x", "1.0") << is_compatible_version("1.0", "1") << std::endl;
    });
    ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
    EXPECT_EQ(r.out, "11\n");
    EXPECT_EQ(r.err,
        "Debug: Cannot check component compatibility: Invalid version format: x\n"
        "Debug: Cannot check component compatibility: Invalid version format: 1\n");
}

TEST(DefaultLocale, FirstSetVariableThenC)
{
    const std::string warning =
        "Warning: Unable to get default locale: LC_ALL, LC_CTYPE and LANG variables are not set, assuming \"C\"\n";
    const struct {
        const char* lc_all;  // null: unset
        const char* lc_ctype;
        const char* lang;
        const char* name;
        bool warns;
    } cases[] = {
        {"de_DE.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8", "de_DE.UTF-8", false},
        {"", "fr_FR.UTF-8", "en_US.UTF-8", "fr_FR.UTF-8", false},
        {nullptr, nullptr, "en_US.UTF-8", "en_US.UTF-8", false},
        {nullptr, nullptr, nullptr, "C", true},
        {"", "", "", "C", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        child_result_t r = run_in_child([&] {
            const std::pair<const char*, const char*> vars[] = {
                {"LC_ALL", c.lc_all}, {"LC_CTYPE", c.lc_ctype}, {"LANG", c.lang}};
            for (const auto& v : vars) {
                if (v.second)
                    setenv(v.first, v.second, 1);
                else
                    unsetenv(v.first);
            }
            cf_log_threshold = CF_LOG_DEBUG;
            cf_install_log(cf_make_console_log());
            std::cout << default_locale_name() << "|";
            for (const auto& v : vars) {
                const char* value = std::getenv(v.first);
                std::cout << (value ? value : "(unset)") << "|";
            }
        });
        ASSERT_TRUE(r.exited && r.status == 0) << describe(r);
        EXPECT_EQ(r.out, std::string(c.name) + "|C|C|C|");
        EXPECT_EQ(r.err, c.warns ? warning : "");
    }
}
