#include "support/redis_server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <hiredis/hiredis.h>

#include "support/child_process.h"
#include "support/server_process.h"

namespace velbo_test {

namespace {

using clock_t = std::chrono::steady_clock;

void run_openssl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const child_result_t r = run_program("/usr/bin/openssl", argv, environment_without({"OPENSSL_CONF"}));
    if (!r.exited || r.status != 0)
        throw std::runtime_error("openssl " + args.at(0) + " failed: " + describe(r));
}

// A key and a certificate signed by ca (self-signed when ca is empty).
void make_cert(const std::string& dir, const std::string& name, const std::string& cn, const std::string& ca,
               const std::string& extensions)
{
    const std::string key = dir + "/" + name + ".key";
    const std::string crt = dir + "/" + name + ".crt";
    if (ca.empty()) {
        run_openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", key, "-out", crt, "-days", "2", "-subj", "/CN=" + cn});
        return;
    }
    const std::string csr = dir + "/" + name + ".csr";
    const std::string ext = dir + "/" + name + ".ext";
    {
        FILE* f = std::fopen(ext.c_str(), "w");
        if (!f)
            throw std::runtime_error("cannot write " + ext);
        std::fputs(extensions.c_str(), f);
        std::fclose(f);
    }
    run_openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                 "-out", csr, "-subj", "/CN=" + cn});
    run_openssl({"x509", "-req", "-in", csr, "-CA", dir + "/" + ca + ".crt", "-CAkey", dir + "/" + ca + ".key",
                 "-CAcreateserial", "-out", crt, "-days", "2", "-extfile", ext});
}

struct redis_ctx_deleter_t {
    void operator()(redisContext* c) const { redisFree(c); }
};
using redis_ctx_ptr_t = std::unique_ptr<redisContext, redis_ctx_deleter_t>;

struct reply_deleter_t {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using reply_ptr_t = std::unique_ptr<redisReply, reply_deleter_t>;

reply_ptr_t run_command(redisContext* c, const std::vector<std::string>& args)
{
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const std::string& a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    reply_ptr_t reply(static_cast<redisReply*>(redisCommandArgv(c, int(argv.size()), argv.data(), lens.data())));
    if (!reply)
        throw std::runtime_error(std::string("redis: ") + c->errstr);
    if (reply->type == REDIS_REPLY_ERROR)
        throw std::runtime_error("redis " + args.at(0) + ": " + std::string(reply->str, reply->len));
    return reply;
}

void flatten(const redisReply* r, std::string& out)
{
    switch (r->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
        out.append(r->str, r->len);
        break;
    case REDIS_REPLY_INTEGER:
        out += std::to_string(r->integer);
        break;
    case REDIS_REPLY_ARRAY:
        for (size_t i = 0; i < r->elements; ++i) {
            if (i > 0)
                out += '\n';
            flatten(r->element[i], out);
        }
        break;
    default:
        break;
    }
}

redis_ctx_ptr_t admin_connection(const std::string& socket_path, const std::string& password)
{
    timeval tv{5, 0};
    redis_ctx_ptr_t c(redisConnectUnixWithTimeout(socket_path.c_str(), tv));
    if (!c || c->err)
        throw std::runtime_error("cannot connect to redis at " + socket_path + (c ? std::string(": ") + c->errstr : ""));
    if (!password.empty())
        run_command(c.get(), {"AUTH", password});
    return c;
}

} // namespace

redis_tls_files_t::redis_tls_files_t(const std::string& dir)
{
    make_cert(dir, "ca", "velbo test CA", "", "");
    make_cert(dir, "server", "localhost", "ca", "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n");
    make_cert(dir, "client", "velbo test client", "ca", "extendedKeyUsage=clientAuth\n");
    make_cert(dir, "other-ca", "velbo other CA", "", "");
    ca_cert = dir + "/ca.crt";
    ca_dir = dir + "/cadir";
    server_cert = dir + "/server.crt";
    server_key = dir + "/server.key";
    client_cert = dir + "/client.crt";
    client_key = dir + "/client.key";
    other_ca_cert = dir + "/other-ca.crt";
    if (mkdir(ca_dir.c_str(), 0755) < 0)
        throw std::system_error(errno, std::generic_category(), "mkdir " + ca_dir);
    run_openssl({"x509", "-in", ca_cert, "-out", ca_dir + "/ca.pem"});
    run_openssl({"rehash", ca_dir});
}

redis_server_t::redis_server_t(redis_options_t options_) : options(std::move(options_))
{
    tls_files = std::make_unique<redis_tls_files_t>(dir.path());
    socket_path = dir.file("redis.sock");
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = static_cast<int>(free_tcp_port());
        tls_port = static_cast<int>(free_tcp_port());
        if (try_start())
            return;
    }
    throw std::runtime_error("redis-server did not start; its log:\n" + read_file(dir.file("redis.log")));
}

redis_server_t::~redis_server_t()
{
    stop();
}

bool redis_server_t::try_start()
{
    std::vector<std::string> args{"setpriv", "--pdeathsig", "SIGKILL", "--", "redis-server",
        "--bind", "127.0.0.1", "--port", std::to_string(port),
        "--unixsocket", socket_path, "--unixsocketperm", "777",
        "--dir", dir.path(), "--save", "", "--appendonly", "no", "--logfile", dir.file("redis.log"),
        "--tls-port", std::to_string(tls_port),
        "--tls-cert-file", tls_files->server_cert, "--tls-key-file", tls_files->server_key,
        "--tls-ca-cert-file", tls_files->ca_cert,
        "--tls-auth-clients", options.require_client_certs ? "yes" : "no"};
    if (!options.password.empty()) {
        args.push_back("--requirepass");
        args.push_back(options.password);
    }
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid = fork();
    if (pid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp("setpriv", argv.data());
        _exit(127);
    }
    const auto deadline = clock_t::now() + std::chrono::seconds(20);
    while (clock_t::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;  // most likely a port taken in the meantime
        }
        try {
            auto c = admin_connection(socket_path, options.password);
            run_command(c.get(), {"PING"});
            return true;
        } catch (const std::runtime_error&) {
            usleep(20 * 1000);
        }
    }
    stop();
    return false;
}

void redis_server_t::stop()
{
    admin.reset();
    if (pid <= 0)
        return;
    if (paused)
        resume();
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        usleep(10 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
}

void redis_server_t::pause()
{
    if (pid <= 0)
        throw std::logic_error("redis-server does not run");
    stop_and_wait(pid);
    paused = true;
}

void redis_server_t::resume()
{
    kill(pid, SIGCONT);
    paused = false;
}

void redis_server_t::restart()
{
    stop();
    if (!try_start())
        throw std::runtime_error("redis-server did not restart; its log:\n" + read_file(dir.file("redis.log")));
}

std::string redis_server_t::command(const std::vector<std::string>& args)
{
    if (!admin)
        admin = std::unique_ptr<redisContext, void (*)(redisContext*)>(
            admin_connection(socket_path, options.password).release(), &redisFree);
    std::string out;
    flatten(run_command(admin.get(), args).get(), out);
    return out;
}

int redis_server_t::kill_clients()
{
    command({"PING"});
    redisContext* c = admin.get();
    const long long self = run_command(c, {"CLIENT", "ID"})->integer;
    std::string list;
    flatten(run_command(c, {"CLIENT", "LIST"}).get(), list);
    int killed = 0;
    std::istringstream lines(list);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(" cmd=monitor") != std::string::npos || line.compare(0, 3, "id=") != 0)
            continue;
        const std::string id = line.substr(3, line.find(' ') - 3);
        if (std::stoll(id) == self)
            continue;
        run_command(c, {"CLIENT", "KILL", "ID", id});
        ++killed;
    }
    return killed;
}

std::string redis_server_t::tcp_conn(const std::string& user, const std::string& db) const
{
    return "tcp://" + (user.empty() ? "" : user + "@") + "127.0.0.1:" + std::to_string(port)
        + (db.empty() ? "" : "/" + db);
}

std::string redis_server_t::tls_conn(const std::string& user, const std::string& db) const
{
    return "tcp://" + (user.empty() ? "" : user + "@") + "127.0.0.1:" + std::to_string(tls_port)
        + (db.empty() ? "" : "/" + db);
}

std::string redis_server_t::unix_conn(const std::string& db) const
{
    return "unix://" + socket_path + (db.empty() ? "" : ":" + db);
}

redis_monitor_t::redis_monitor_t(const redis_server_t& server, const std::string& password)
{
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", server.socket_path.c_str());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
        throw std::system_error(errno, std::generic_category(), "monitor connect");
    std::string hello;
    if (!password.empty())
        hello = "AUTH " + password + "\r\n";
    hello += "MONITOR\r\n";
    if (write(fd, hello.data(), hello.size()) != ssize_t(hello.size()))
        throw std::system_error(errno, std::generic_category(), "monitor write");
    const std::string expected = password.empty() ? "+OK\r\n" : "+OK\r\n+OK\r\n";
    if (!wait_for(expected, std::chrono::seconds(5)) || text.compare(0, expected.size(), expected) != 0)
        throw std::runtime_error("MONITOR refused: " + text);
    text.erase(0, expected.size());
}

redis_monitor_t::~redis_monitor_t()
{
    if (fd >= 0)
        close(fd);
}

bool redis_monitor_t::read_more(std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0)
        return false;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    text.append(buf, size_t(n));
    return true;
}

bool redis_monitor_t::wait_for(const std::string& wanted, std::chrono::milliseconds timeout)
{
    const auto deadline = clock_t::now() + timeout;
    while (text.find(wanted) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_t::now());
        if (left.count() <= 0)
            return false;
        read_more(left);
    }
    return true;
}

} // namespace velbo_test
