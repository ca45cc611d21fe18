// LDAP lookups through the daemon against a local slapd, beside the same
// search made directly with libldap on one bound connection and a bare
// socket round trip, all in one run; then the daemon's throughput with
// several connections keeping requests in flight.
// Usage: bench_ldap [-n LOOKUPS] [-c CONNECTIONS] [-d DEPTH] [-t SECONDS]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_people.h"
#include "ldap_direct.h"
#include "pilotd_standin.h"
#include "support/slapd_server.h"
#include "trawl_client.h"

namespace {

using steady = std::chrono::steady_clock;

struct options_t {
    size_t lookups = 20000;
    int connections = 8;
    int depth = 16;
    double seconds = 3;
};

options_t parse(int argc, char** argv)
{
    options_t o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "-n"))
            o.lookups = std::strtoul(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "-c"))
            o.connections = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "-d"))
            o.depth = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "-t"))
            o.seconds = std::atof(argv[i + 1]);
        else
            throw std::invalid_argument("usage: bench_ldap [-n LOOKUPS] [-c CONNECTIONS] [-d DEPTH] [-t SECONDS]");
    }
    if (o.lookups == 0 || o.connections <= 0 || o.depth <= 0 || o.seconds <= 0)
        throw std::invalid_argument("counts and times must be positive");
    return o;
}

std::string user_of(uint64_t k)
{
    return "user" + std::to_string(k % 1000);
}

// One request at a time on one connection, each timed.
latency_t measure_daemon(const std::string& socket, size_t lookups, size_t warmup)
{
    trawl_client_t client(socket);
    std::vector<long long> samples;
    samples.reserve(lookups);
    for (size_t i = 0; i < warmup + lookups; ++i) {
        const auto start = steady::now();
        if (!client.send_lookup(uint32_t(i + 1), lp::LOOKUP_LDAP, "people", "user500"))
            throw std::runtime_error("the daemon closed the connection");
        const std::optional<lp::ServerMessage> answer = client.receive(std::chrono::seconds(30));
        if (!answer || answer->has_error() || answer->data_size() != 1)
            throw std::runtime_error("unexpected answer: " + (answer ? answer->ShortDebugString() : "none"));
        if (i >= warmup)
            samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now() - start).count());
    }
    return latency_of(samples);
}

// CONNECTIONS clients each keep DEPTH lookups in flight for SECONDS.
double measure_throughput(const std::string& socket, const options_t& o, uint64_t& errors)
{
    std::atomic<uint64_t> answered{0}, failed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < o.connections; ++c) {
        threads.emplace_back([&, c] {
            trawl_client_t client(socket);
            uint32_t serial = 0;
            uint64_t k = uint64_t(c) * 7919;
            for (int i = 0; i < o.depth; ++i)
                client.send_lookup(++serial, lp::LOOKUP_LDAP, "people", user_of(k++));
            int in_flight = o.depth;
            while (in_flight > 0) {
                const std::optional<lp::ServerMessage> answer = client.receive(std::chrono::seconds(30));
                if (!answer)
                    break;
                --in_flight;
                ++answered;
                if (answer->has_error())
                    ++failed;
                if (!stop) {
                    client.send_lookup(++serial, lp::LOOKUP_LDAP, "people", user_of(k++));
                    ++in_flight;
                }
            }
        });
    }
    const auto start = steady::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    const uint64_t at_stop = answered;
    const double elapsed = std::chrono::duration<double>(steady::now() - start).count();
    stop = true;
    for (std::thread& t : threads)
        t.join();
    errors = failed;
    return double(at_stop) / elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("LDAPNOINIT", "1", 1);
    try {
        const options_t o = parse(argc, argv);
        velbo_test::slapd_options_t slapd;
        const std::string people = fill_bench_people(slapd);
        velbo_test::slapd_server_t server(slapd);
        server.start();

        velbo_test::temp_dir_t dir;
        const std::string socket = dir.file("trawld.sock");
        pilotd_standin_options_t standin;
        standin.daemon_path = VELBO_TRAWLD_BIN;
        pilotd_standin_t pilotd(standin);
        pilotd.start();
        const std::string config = "run_as_user { uid: 0 }\nsocket_path: \"" + socket +
                                   "\"\nlog_level: LOG_LEVEL_WARNING\nactual_log { type: STDERR }\n"
                                   "ldap { item { tag: \"people\" url: \"" + server.ldap_url() + "/" + people +
                                   "?mail,cn?sub?(uid=$u)\" bind_dn: \"" + server.root_dn() +
                                   "\" bind_password: \"" + server.root_password() + "\" } }\n";
        if (!pilotd.apply_config(1, parse_config_text(config), std::chrono::seconds(30)))
            throw std::runtime_error("the daemon did not take its configuration: " + pilotd.stderr_text());

        ldap_direct_search_t search;
        search.url = server.ldap_url();
        search.bind_dn = server.root_dn();
        search.password = server.root_password();
        search.base = people;
        search.filter = "(uid=user500)";
        search.attributes = {"mail", "cn"};

        // Interleaved in one run, so that both see the same machine load.
        const latency_t daemon = measure_daemon(socket, o.lookups, 500);
        const ldap_direct_result_t direct = measure_ldap_direct(search, o.lookups);
        const latency_t bare = measure_socket_round_trip(o.lookups);
        std::printf("LDAP lookup through the daemon (1 connection, 1 in flight): median %.1f us, p99 %.1f us\n",
                    daemon.median_us, daemon.p99_us);
        std::printf("the same search with libldap, one bound connection:          median %.1f us, p99 %.1f us\n",
                    direct.latency.median_us, direct.latency.p99_us);
        std::printf("bare UNIX socket round trip, 64 bytes:                       median %.1f us\n", bare.median_us);
        std::printf("latency the daemon adds: %.1f us (aim: under 60 us; one bare round trip is %.1f us)\n",
                    daemon.median_us - direct.latency.median_us, bare.median_us);

        uint64_t errors = 0;
        const double rate = measure_throughput(socket, o, errors);
        std::printf("daemon throughput, %d connections x %d in flight, %.1f s: %.0f lookups/s", o.connections, o.depth,
                    o.seconds, rate);
        if (errors)
            std::printf(" (%llu answers with an error)", static_cast<unsigned long long>(errors));
        std::printf("\n");

        pilotd.signal(SIGTERM);
        pilotd.wait_exit(std::chrono::seconds(30));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_ldap: %s\n", e.what());
        return 1;
    }
    return 0;
}
