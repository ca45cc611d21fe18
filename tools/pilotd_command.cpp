// velbo-pilotd: starts the daemon, serves its configuration from a text file
// and reports what the daemon says, one line per event.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "pilotd_standin.h"

namespace {

std::string usage(const std::string& default_daemon)
{
    return "usage: velbo-pilotd --config FILE [--revision N] [--daemon PATH] [--stats] [-- COMMAND ARGS...]\n"
           "  --daemon: the daemon to start (default " + default_daemon + ")\n"
           "  exit status: without COMMAND the daemon's; with COMMAND the command's, or 1 when the\n"
           "  daemon did not confirm its configuration or ended before it was stopped; 2 bad usage\n";
}

volatile sig_atomic_t pending_signals[3];
const int forwarded_signals[3] = {SIGHUP, SIGINT, SIGTERM};

extern "C" void note_signal(int sig)
{
    for (int i = 0; i < 3; ++i)
        if (forwarded_signals[i] == sig)
            pending_signals[i] = 1;
}

void say(const std::string& line)
{
    std::cout << "pilotd: " << line << std::endl;
}

int status_of(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

pid_t run_command(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    for (const auto& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::cout.flush();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        const std::string text = "pilotd: cannot run " + command[0] + ": " + std::strerror(errno) + "\n";
        ssize_t ignored = ::write(2, text.data(), text.size());
        (void)ignored;
        ::_exit(127);
    }
    return pid;
}

}

int pilotd_command(int argc, char** argv, const std::string& default_daemon)
{
    std::string config_path, daemon_path = default_daemon;
    uint32_t revision = 1;
    bool show_stats = false;
    std::vector<std::string> command;
    auto fail_usage = [&](const std::string& message) {
        std::cerr << "velbo-pilotd: " << message << "\n" << usage(default_daemon);
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            if (command.empty())
                return fail_usage("-- needs a command");
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::cout << usage(default_daemon);
            return 0;
        }
        if (arg == "--stats") {
            show_stats = true;
            continue;
        }
        if (arg != "--config" && arg != "--revision" && arg != "--daemon")
            return fail_usage("unknown argument " + arg);
        if (i + 1 >= argc)
            return fail_usage(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--config") {
            config_path = value;
        } else if (arg == "--daemon") {
            daemon_path = value;
        } else {
            char* end = nullptr;
            errno = 0;
            const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || value[0] == '-' || *end || errno || number > UINT32_MAX)
                return fail_usage("invalid revision " + value);
            revision = uint32_t(number);
        }
    }
    if (config_path.empty())
        return fail_usage("--config is required");
    try {
        load_config_file(config_path);
    } catch (const std::exception& e) {
        std::cerr << "velbo-pilotd: " << e.what() << "\n";
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : forwarded_signals)
        ::sigaction(sig, &action, nullptr);

    pilotd_standin_options_t options;
    options.daemon_path = daemon_path;
    options.stderr_path = "-";
    // A terminal's Ctrl-C reaches this process only, which stops the daemon in order.
    options.own_process_group = true;
    pilotd_standin_t standin(options);
    try {
        standin.start();
    } catch (const std::exception& e) {
        std::cerr << "velbo-pilotd: " << e.what() << "\n";
        return 1;
    }

    std::set<uint32_t> sent;
    bool confirmed = false, stopping = false, killed = false;
    pid_t command_pid = -1;
    int command_status = 0;
    io_clock::time_point kill_time;
    size_t errors_seen = 0;
    int daemon_status = 0;

    auto handle = [&](const qv::TrawlD2PilotdMessage& message) {
        switch (message.tag()) {
        case qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST:
            try {
                const qv::TrawlDConfig config = load_config_file(config_path);
                standin.send_config(revision, config);
                sent.insert(revision);
                say("configuration revision " + std::to_string(revision) + " sent");
                ++revision;
            } catch (const std::exception& e) {
                std::cerr << "velbo-pilotd: " << e.what() << "; request not answered\n";
            }
            break;
        case qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION:
            say("configuration revision " + std::to_string(message.config_revision()) + " applied");
            if (!command.empty() && !confirmed && sent.count(message.config_revision())) {
                confirmed = true;
                command_pid = run_command(command);
                if (command_pid < 0) {
                    std::cerr << "velbo-pilotd: fork: " << std::strerror(errno) << "\n";
                    command_status = 1;
                    stopping = true;
                    kill_time = io_clock::now() + std::chrono::seconds(10);
                    standin.signal(SIGTERM);
                }
            }
            break;
        case qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION:
            if (show_stats) {
                const auto& clients = message.stat().clients();
                say("statistics base " + std::to_string(clients.base()) + " in " + std::to_string(clients.in())
                    + " out " + std::to_string(clients.out()));
            }
            break;
        }
        for (; errors_seen < standin.protocol_errors().size(); ++errors_seen)
            std::cerr << "velbo-pilotd: from velbo-trawld: " << standin.protocol_errors()[errors_seen] << "\n";
    };

    for (;;) {
        for (int i = 0; i < 3; ++i) {
            if (!pending_signals[i])
                continue;
            pending_signals[i] = 0;
            // The daemon ends in order on SIGTERM only.
            standin.signal(forwarded_signals[i] == SIGINT ? SIGTERM : forwarded_signals[i]);
            if (forwarded_signals[i] != SIGHUP && command_pid > 0)
                ::kill(command_pid, forwarded_signals[i]);
        }
        if (auto entry = standin.next_message(std::chrono::milliseconds(50))) {
            handle(entry->message);
            continue;
        }
        if (command_pid > 0 && !stopping) {
            int raw = 0;
            if (::waitpid(command_pid, &raw, WNOHANG) == command_pid) {
                command_pid = -1;
                command_status = status_of(raw);
                stopping = true;
                kill_time = io_clock::now() + std::chrono::seconds(10);
                standin.signal(SIGTERM);
            }
        }
        if (stopping && !killed && io_clock::now() >= kill_time) {
            killed = true;
            standin.signal(SIGKILL);
        }
        const auto status = standin.wait_exit(std::chrono::milliseconds(standin.link_closed() ? 50 : 0));
        if (status) {
            while (auto entry = standin.next_message(std::chrono::milliseconds(0)))
                handle(entry->message);
            daemon_status = *status;
            say("velbo-trawld exited with status " + std::to_string(daemon_status));
            break;
        }
    }

    if (command.empty())
        return daemon_status;
    if (!confirmed) {
        say("velbo-trawld did not confirm its configuration");
        return 1;
    }
    if (command_pid > 0) {
        // The daemon ended while the command ran: let the command finish.
        int raw = 0;
        while (::waitpid(command_pid, &raw, 0) < 0) {
            if (errno != EINTR) {
                raw = 1 << 8;
                break;
            }
            for (int i = 1; i < 3; ++i)
                if (pending_signals[i]) {
                    pending_signals[i] = 0;
                    ::kill(command_pid, forwarded_signals[i]);
                }
        }
        command_status = status_of(raw);
    }
    // A daemon that ended before it was told to stop fails the run.
    if (!stopping && command_status == 0)
        return 1;
    return command_status;
}
