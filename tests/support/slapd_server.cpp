#include "support/slapd_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "support/child_process.h"

extern char** environ;

namespace velbo_test {

namespace {

const char* const slapd_path = "/usr/sbin/slapd";
const char* const slapadd_path = "/usr/sbin/slapadd";
const char* const openssl_path = "/usr/bin/openssl";

void run_or_throw(const std::string& path, const std::vector<std::string>& argv)
{
    const child_result_t result = run_program(path, argv, environment_without({}), 60);
    if (!result.exited || result.status != 0) {
        std::string command;
        for (const std::string& a : argv)
            command += a + " ";
        throw std::runtime_error("command failed: " + command + "\n" + describe(result));
    }
}

// A fresh key pair and a certificate for it signed by the CA, with the given
// extensions.
void make_signed(const temp_dir_t& dir, const std::string& name, const std::string& subject,
                 const std::string& ca, const std::string& extensions)
{
    const std::string key = dir.file(name + ".key");
    const std::string csr = dir.file(name + ".csr");
    run_or_throw(openssl_path, {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                "-nodes", "-keyout", key, "-out", csr, "-subj", subject});
    const std::string ext = dir.write(name + ".ext", extensions);
    run_or_throw(openssl_path, {"openssl", "x509", "-req", "-in", csr, "-CA", dir.file(ca + ".crt"), "-CAkey",
                                dir.file(ca + ".key"), "-CAcreateserial", "-days", "3650", "-out",
                                dir.file(name + ".crt"), "-extfile", ext});
    ::chmod(key.c_str(), 0600);
}

void make_ca(const temp_dir_t& dir, const std::string& name, const std::string& subject)
{
    run_or_throw(openssl_path, {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir.file(name + ".key"),
                                "-out", dir.file(name + ".crt"), "-days", "3650", "-subj", subject});
}

struct pki_holder_t {
    temp_dir_t dir;
    test_pki_t pki;

    pki_holder_t()
    {
        make_ca(dir, "ca", "/CN=Velbo Test CA");
        make_ca(dir, "wrong-ca", "/CN=Velbo Wrong CA");
        make_signed(dir, "server", "/CN=localhost", "ca",
                    "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                    "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n");
        const std::string client_ext = "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n";
        make_signed(dir, "client", "/CN=velbo-client", "ca", client_ext);
        make_signed(dir, "wrong-client", "/CN=velbo-client", "wrong-ca", client_ext);
        pki.ca_cert = dir.file("ca.crt");
        pki.wrong_ca_cert = dir.file("wrong-ca.crt");
        pki.server_cert = dir.file("server.crt");
        pki.server_key = dir.file("server.key");
        pki.client_cert = dir.file("client.crt");
        pki.client_key = dir.file("client.key");
        pki.wrong_client_cert = dir.file("wrong-client.crt");
        pki.wrong_client_key = dir.file("wrong-client.key");
    }
};

// A port outside the kernel's ephemeral range (32768 and up), so that no
// outgoing connection takes it while a server restarts, and free now.
unsigned pick_port(unsigned other)
{
    static std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<unsigned> range(20000, 32000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const unsigned port = range(random);
        if (port == other)
            continue;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            throw std::system_error(errno, std::generic_category(), "socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    throw std::runtime_error("no free port");
}

// "/" and "%" coded, and "," and blanks, since slapd -h takes a list of URLs.
std::string url_encoded_path(const std::string& path)
{
    static const char digits[] = "0123456789ABCDEF";
    const std::string coded = "/%, ";
    std::string out;
    for (const char c : path) {
        if (coded.find(c) == std::string::npos) {
            out += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += digits[byte >> 4];
        out += digits[byte & 0xf];
    }
    return out;
}

// Whether /proc/net/tcp shows a listening socket on 127.0.0.1:port.
bool tcp_listening(unsigned port)
{
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream in("/proc/net/tcp");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A")
            return true;
    }
    return false;
}

// Whether /proc/net/unix shows a listening socket bound to the path.
bool unix_listening(const std::string& path)
{
    std::ifstream in("/proc/net/unix");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, inode, bound;
        fields >> num >> refs >> protocol >> flags >> type >> state >> inode;
        // The path is the rest of the line: it may hold blanks.
        std::getline(fields, bound);
        if (!bound.empty() && bound[0] == ' ')
            bound.erase(0, 1);
        if (bound == path && flags == "00010000")
            return true;
    }
    return false;
}

std::string base64(const std::string& bytes)
{
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// The value of the first RDN of a DN ("dc=example,dc=test" gives "example").
std::string first_value(const std::string& dn, const std::string& attribute)
{
    const std::string prefix = attribute + "=";
    if (dn.compare(0, prefix.size(), prefix) != 0)
        throw std::invalid_argument("DN must start with " + prefix + ": " + dn);
    return dn.substr(prefix.size(), dn.find(',') - prefix.size());
}

} // namespace

const test_pki_t& test_pki()
{
    static const pki_holder_t holder;
    return holder.pki;
}

std::vector<std::string> ldap_tool_env(const std::string& ca_cert, const std::string& client_cert,
                                       const std::string& client_key)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "LDAP", 4) != 0)
            env.emplace_back(*e);
    }
    env.push_back("LDAPTLS_CACERT=" + ca_cert);
    env.push_back("LDAPTLS_REQCERT=demand");
    if (!client_cert.empty()) {
        env.push_back("LDAPTLS_CERT=" + client_cert);
        env.push_back("LDAPTLS_KEY=" + client_key);
    }
    return env;
}

std::string ldif_user(const std::string& dn, const std::string& uid, const std::string& password,
                      const std::string& more)
{
    return "dn: " + dn + "\nobjectClass: inetOrgPerson\nuid: " + uid + "\ncn: " + uid + "\nsn: " + uid +
           "\nuserPassword: " + password + "\n" + more + "\n";
}

std::string ldif_ou(const std::string& dn)
{
    return "dn: " + dn + "\nobjectClass: organizationalUnit\nou: " + first_value(dn, "ou") + "\n\n";
}

std::string ldif_referral(const std::string& dn, const std::string& url)
{
    const std::string rdn = dn.substr(0, dn.find(','));
    const size_t eq = rdn.find('=');
    return "dn: " + dn + "\nobjectClass: referral\nobjectClass: extensibleObject\n" + rdn.substr(0, eq) + ": " +
           rdn.substr(eq + 1) + "\nref: " + url + "\n\n";
}

std::string ldif_binary(const std::string& attribute, const std::string& bytes)
{
    return attribute + ":: " + base64(bytes) + "\n";
}

slapd_server_t::slapd_server_t(slapd_options_t options)
    : options_(std::move(options)), root_dn_("cn=admin," + options_.suffix)
{
    first_value(options_.suffix, "dc");
    conf_path_ = dir_.file("slapd.conf");
    log_path_ = dir_.file("slapd.log");
    ldapi_path_ = options_.ldapi_dir.empty() ? dir_.file("ldapi") : dir_.file(options_.ldapi_dir + "/ldapi");
    ldap_port_ = pick_port(0);
    ldaps_port_ = pick_port(ldap_port_);
    for (const std::string& sub : {std::string("db"), options_.ldapi_dir}) {
        if (!sub.empty() && ::mkdir(dir_.file(sub).c_str(), 0700) != 0)
            throw std::system_error(errno, std::generic_category(), "mkdir " + sub);
    }
    write_config();
}

slapd_server_t::~slapd_server_t()
{
    try {
        stop();
    } catch (const std::exception& e) {
        std::cerr << "slapd_server_t: " << e.what() << std::endl;
    }
}

void slapd_server_t::write_config() const
{
    const test_pki_t& pki = test_pki();
    static const char* const verify[] = {"never", "allow", "demand"};
    std::ostringstream conf;
    conf << "include /etc/ldap/schema/core.schema\n"
            "include /etc/ldap/schema/cosine.schema\n"
            "include /etc/ldap/schema/nis.schema\n"
            "include /etc/ldap/schema/inetorgperson.schema\n"
            "modulepath /usr/lib/ldap\n"
            "moduleload back_mdb\n"
         << "pidfile " << dir_.file("slapd.pid") << "\n"
         << "argsfile " << dir_.file("slapd.args") << "\n";
    if (options_.tls)
        conf << "TLSCACertificateFile " << pki.ca_cert << "\n"
             << "TLSCertificateFile " << pki.server_cert << "\n"
             << "TLSCertificateKeyFile " << pki.server_key << "\n"
             << "TLSVerifyClient " << verify[static_cast<int>(options_.client_certs)] << "\n";
    if (options_.size_limit > 0)
        conf << "sizelimit " << options_.size_limit << "\n";
    if (options_.idle_timeout > 0)
        conf << "idletimeout " << options_.idle_timeout << "\n";
    conf << "database mdb\n"
            "maxsize 16777216\n"
         << "suffix \"" << options_.suffix << "\"\n"
         << "rootdn \"" << root_dn_ << "\"\n"
         << "rootpw " << root_password_ << "\n"
         << "directory " << dir_.file("db") << "\n"
         << "index objectClass,uid,cn,mail,member,memberUid eq\n"
         << "access to attrs=userPassword by anonymous auth by * none\n"
            "access to * by * read\n";
    dir_.write("slapd.conf", conf.str(), 0600);
}

void slapd_server_t::add_ldif(const std::string& ldif)
{
    if (loaded_)
        throw std::logic_error("slapd_server_t::add_ldif after the first start");
    options_.ldif += ldif;
}

void slapd_server_t::load()
{
    const std::string dc = first_value(options_.suffix, "dc");
    std::string data = "dn: " + options_.suffix + "\nobjectClass: dcObject\nobjectClass: organization\ndc: " + dc +
                       "\no: " + dc + "\n\n" + options_.ldif;
    const std::string path = dir_.write("data.ldif", data, 0600);
    run_or_throw(slapadd_path, {"slapadd", "-f", conf_path_, "-l", path, "-q"});
    loaded_ = true;
}

void slapd_server_t::start()
{
    if (running())
        throw std::logic_error("slapd_server_t::start while running");
    if (!loaded_)
        load();

    const std::string urls = ldap_url() + "/ " + (options_.tls ? ldaps_url() + "/ " : "") + ldapi_url();
    // Stats to the log file; nothing to syslog, which may be a test's own /dev/log.
    const std::vector<std::string> argv = {"slapd", "-d", "stats", "-s", "0", "-f", conf_path_, "-h", urls};
    std::vector<std::string> env = environment_without({"LDAPNOINIT"});
    env.push_back("LDAPNOINIT=1");
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const int log_fd = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0)
        throw std::system_error(errno, std::generic_category(), "open " + log_path_);
    const pid_t parent = ::getpid();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(log_fd);
        throw std::system_error(error, std::generic_category(), "fork");
    }
    if (pid == 0) {
        // Only async-signal-safe calls here. The server dies with the thread
        // that started it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            _exit(203);
        const int in = ::open("/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(log_fd, 1) < 0 || ::dup2(log_fd, 2) < 0)
            _exit(201);
        // No descriptor of the test (a daemon's socket) stays open in the server.
        ::close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(slapd_path, args.data(), envp.data());
        _exit(202);
    }
    ::close(log_fd);
    pid_ = pid;
    paused_ = false;
    ++starts_;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listening()) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("slapd ended while starting (status " + std::to_string(status) + "):\n" + log());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error("slapd did not start listening within 20 s:\n" + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool slapd_server_t::listening() const
{
    return tcp_listening(ldap_port_) && (!options_.tls || tcp_listening(ldaps_port_)) && unix_listening(ldapi_path_);
}

void slapd_server_t::stop()
{
    if (!running())
        return;
    if (paused_)
        resume();
    ::kill(pid_, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    pid_t r = 0;
    while ((r = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (r == 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
}

void slapd_server_t::restart()
{
    stop();
    start();
}

void slapd_server_t::pause()
{
    if (!running() || paused_)
        return;
    ::kill(pid_, SIGSTOP);
    paused_ = true;
    // Returns once the kernel shows the process stopped.
    const std::string stat_path = "/proc/" + std::to_string(pid_) + "/stat";
    for (int i = 0; i < 2000; ++i) {
        const std::string stat = read_file(stat_path);
        const size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'T')
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    throw std::runtime_error("slapd did not stop on SIGSTOP");
}

void slapd_server_t::resume()
{
    if (!running() || !paused_)
        return;
    ::kill(pid_, SIGCONT);
    paused_ = false;
}

std::string slapd_server_t::ldap_url() const
{
    return "ldap://127.0.0.1:" + std::to_string(ldap_port_);
}

std::string slapd_server_t::ldaps_url() const
{
    return "ldaps://127.0.0.1:" + std::to_string(ldaps_port_);
}

std::string slapd_server_t::ldapi_url() const
{
    return "ldapi://" + url_encoded_path(ldapi_path_);
}

std::string slapd_server_t::log() const
{
    return read_file(log_path_);
}

size_t slapd_server_t::stats_count(const std::string& word) const
{
    // Lines read "<time> <thread> conn=N op=M WORD ..." or "... conn=N fd=F WORD ...";
    // each start numbers its connections anew.
    std::set<std::tuple<size_t, std::string, std::string>> seen;
    size_t run = 0;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) {
        if (line.find(" slapd starting") != std::string::npos)
            ++run;
        std::istringstream fields(line);
        std::vector<std::string> tokens;
        for (std::string token; fields >> token && tokens.size() < 6;)
            tokens.push_back(token);
        for (size_t i = 0; i + 2 < tokens.size(); ++i) {
            if (tokens[i].compare(0, 5, "conn=") == 0 &&
                (tokens[i + 1].compare(0, 3, "op=") == 0 || tokens[i + 1].compare(0, 3, "fd=") == 0) &&
                tokens[i + 2] == word) {
                seen.emplace(run, tokens[i], tokens[i + 1].compare(0, 3, "op=") == 0 ? tokens[i + 1] : "");
                break;
            }
        }
    }
    return seen.size();
}

bool slapd_server_t::wait_for_stats(const std::string& word, size_t count, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stats_count(word) < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

slapd_options_t slapd_referral_pair_t::other()
{
    slapd_options_t options;
    options.suffix = "dc=other,dc=test";
    return options;
}

// The test's entries of the target lie below ou=remote: it comes first.
static slapd_options_t with_remote_ou(slapd_options_t options)
{
    options.ldif = ldif_ou("ou=remote," + options.suffix) + options.ldif;
    return options;
}

slapd_referral_pair_t::slapd_referral_pair_t(slapd_options_t origin_options, slapd_options_t target_options,
                                             const std::string& extension)
    : origin(std::move(origin_options)), target(with_remote_ou(std::move(target_options)))
{
    origin.add_ldif(ldif_referral(origin_referral_dn(), target.ldap_url() + "/" + target_dn() +
                                                            (extension.empty() ? "" : "????" + extension)));
    target.start();
    origin.start();
}

slapd_cycle_pair_t::slapd_cycle_pair_t(slapd_options_t first_options, slapd_options_t second_options)
    : first(std::move(first_options)), second(std::move(second_options))
{
    first.add_ldif(ldif_referral(loop_dn(first), second.ldap_url() + "/" + loop_dn(second)));
    second.add_ldif(ldif_referral(loop_dn(second), first.ldap_url() + "/" + loop_dn(first)));
    second.start();
    first.start();
}

} // namespace velbo_test
