// Redis latency, plain and over TLS: lookups and checks through the daemon
// against the same command sent in this process over one connection (through
// the daemon's own connection layer), and a bare socket round trip of the
// same sizes, one connection, in one run. A Redis server of its own runs in
// a temporary directory (127.0.0.1, a throwaway CA). Connections are kept
// (db_idle_timeout 60 s), as a deployment would.
//
//   velbo-bench-redis [-n ITERATIONS] [-w WARMUP] [--daemon PATH]
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <hiredis/hiredis.h>

#include "bench_common.h"
#include "db/lp_redis_tls.h"
#include "trawl_client.h"

extern char** environ;

namespace {

pid_t spawn(const std::vector<std::string>& args, bool quiet)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

void run(const std::vector<std::string>& args)
{
    const pid_t pid = spawn(args, true);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " " + args[1] + " failed");
}

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) < 0)
        throw std::runtime_error("no free port");
    close(fd);
    return ntohs(a.sin_port);
}

// A CA and a server certificate for 127.0.0.1, made with openssl.
void make_certs(const bench::bench_dir_t& dir)
{
    const std::string ec = "ec_paramgen_curve:prime256v1";
    run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", dir.file("ca.key"),
         "-out", dir.file("ca.crt"), "-days", "2", "-subj", "/CN=bench CA"});
    FILE* ext = std::fopen(dir.file("server.ext").c_str(), "w");
    if (!ext)
        throw std::runtime_error("cannot write server.ext");
    std::fputs("subjectAltName=DNS:localhost,IP:127.0.0.1\n", ext);
    std::fclose(ext);
    run({"openssl", "req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", dir.file("server.key"), "-out",
         dir.file("server.csr"), "-subj", "/CN=localhost"});
    run({"openssl", "x509", "-req", "-in", dir.file("server.csr"), "-CA", dir.file("ca.crt"), "-CAkey",
         dir.file("ca.key"), "-CAcreateserial", "-out", dir.file("server.crt"), "-days", "2", "-extfile",
         dir.file("server.ext")});
}

class redis_t {
public:
    explicit redis_t(const bench::bench_dir_t& dir)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = free_port();
            tls_port = free_port();
            pid = spawn({"setpriv", "--pdeathsig", "SIGKILL", "--", "redis-server", "--bind", "127.0.0.1", "--port",
                         std::to_string(port), "--dir", dir.path(), "--save", "", "--appendonly", "no",
                         "--tls-port", std::to_string(tls_port), "--tls-cert-file", dir.file("server.crt"),
                         "--tls-key-file", dir.file("server.key"), "--tls-ca-cert-file", dir.file("ca.crt"),
                         "--tls-auth-clients", "no"},
                        true);
            for (int i = 0; i < 500; ++i) {
                int status = 0;
                if (waitpid(pid, &status, WNOHANG) == pid)
                    break;
                redisContext* c = redisConnect("127.0.0.1", port);
                if (c && !c->err) {
                    admin = c;
                    return;
                }
                redisFree(c);
                usleep(10000);
            }
            stop();
        }
        throw std::runtime_error("redis-server did not start");
    }
    ~redis_t()
    {
        if (admin)
            redisFree(admin);
        stop();
    }
    void command(const std::vector<std::string>& args)
    {
        std::vector<const char*> argv;
        std::vector<size_t> lens;
        for (const std::string& a : args) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
        auto* reply = static_cast<redisReply*>(redisCommandArgv(admin, int(argv.size()), argv.data(), lens.data()));
        if (!reply || reply->type == REDIS_REPLY_ERROR)
            throw std::runtime_error("redis command " + args[0] + " failed");
        freeReplyObject(reply);
    }

    int port = 0;
    int tls_port = 0;

private:
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    pid_t pid = -1;
    redisContext* admin = nullptr;
};

// What the daemon's driver does per request: one command, the reply's values.
void direct_lookup(lp_redis_conn_t& conn, const std::vector<const char*>& argv, const std::vector<size_t>& lens,
                   std::vector<std::string>& rows)
{
    rows.clear();
    redisReply* reply = conn.command_argv(int(argv.size()), argv.data(), lens.data());
    if (!reply)
        throw std::runtime_error(std::string("direct command failed: ") + conn.errstr());
    for (size_t i = 0; i < reply->elements; ++i)
        rows.emplace_back(reply->element[i]->str, reply->element[i]->len);
    freeReplyObject(reply);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const bench::bench_options_t options = bench::parse_options(argc, argv, "velbo-bench-redis");
        std::signal(SIGPIPE, SIG_IGN);  // as in the daemon: TLS writes use write(2)
        bench::bench_dir_t dir;
        make_certs(dir);
        redis_t redis(dir);
        const std::string user = "user5000";
        const std::string key = "grp:" + user;
        redis.command({"SADD", key, "staff"});

        const std::string conn = "tcp://127.0.0.1:" + std::to_string(redis.port);
        const std::string tls_conn = "tcp://127.0.0.1:" + std::to_string(redis.tls_port);
        bench::bench_daemon_t daemon(dir.path(),
                                     "db_idle_timeout: 60000\nredis_ca_path: \"" + dir.file("ca.crt") +
                                         "\"\nredis { item { tag: \"plain\" conn: \"" + conn +
                                         "\" request: \"SMEMBERS grp:$u\" } item { tag: \"tls\" conn: \"" + tls_conn +
                                         "\" request: \"SMEMBERS grp:$u\" use_ssl: true } }\n",
                                     options.daemon);
        const std::vector<std::string> expected = {"staff"};
        std::printf("Redis, one connection, %d requests after %d warm-up\n", options.iterations, options.warmup);

        if (!lp_redis_init_openssl())
            throw std::runtime_error("cannot initialise OpenSSL");
        const std::vector<const char*> command = {"SMEMBERS", key.c_str()};
        const std::vector<size_t> lens = {8, key.size()};
        for (const bool tls : {false, true}) {
            const std::string tag = tls ? "tls" : "plain";
            const std::string lookup = bench::frame_of(make_lookup_request(1, lp::LOOKUP_REDIS, tag, user, ""));
            const std::string check =
                bench::frame_of(make_check_request(2, lp::LOOKUP_REDIS, tag, expected[0], user, ""));
            bench::expect_answer(daemon.socket(), lookup, expected);
            if (!bench::expect_answer(daemon.socket(), check).result())
                throw std::runtime_error("the check answered false");
            bench::frame_conn_t probe(daemon.socket());
            const size_t response_size = probe.round_trip(lookup).size() + 4;

            auto direct_conn = lp_redis_conn_t::connect_tcp("127.0.0.1", tls ? redis.tls_port : redis.port);
            if (!direct_conn || direct_conn->err())
                throw std::runtime_error("direct connection failed");
            std::unique_ptr<lp_redis_ssl_context_t> context;
            if (tls) {
                lp_redis_ssl_error_t error = LP_REDIS_SSL_OK;
                context = lp_redis_create_ssl_context(dir.file("ca.crt").c_str(), nullptr, nullptr, nullptr,
                                                      "127.0.0.1", &error);
                if (!context || !direct_conn->initiate_ssl(*context))
                    throw std::runtime_error("direct TLS failed");
            }
            std::vector<std::string> rows;
            const auto direct = bench::time_calls([&]() { direct_lookup(*direct_conn, command, lens, rows); }, options);
            if (rows != expected)
                throw std::runtime_error("the direct lookup found other values");
            const auto bare = bench::time_bare_round_trips(lookup.size(), response_size, options);
            const auto daemon_lookups = bench::time_requests(daemon.socket(), lookup, options);
            const auto daemon_checks = bench::time_requests(daemon.socket(), check, options);
            bench::print_figures("redis " + tag + " lookup", daemon_lookups, direct, bare);
            bench::print_figures("redis " + tag + " check", daemon_checks, direct, bare);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velbo-bench-redis: %s\n", e.what());
        return 1;
    }
}
