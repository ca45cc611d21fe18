#include "support/samba_dc.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "support/child_process.h"
#include "support/server_process.h"

namespace velbo_test {

const std::string samba_dc_t::realm = "LOOKUP.TEST";
const std::string samba_dc_t::dns_name = "lookup.test";
const std::string samba_dc_t::netbios_domain = "LOOKUP";
const std::string samba_dc_t::base_dn = "DC=lookup,DC=test";
const std::string samba_dc_t::users_dn = "CN=Users,DC=lookup,DC=test";
const std::string samba_dc_t::admin_password = "Adm1n-Secret!";
const std::string samba_dc_t::user_password = "Us3r-Secret!";

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

[[noreturn]] void fail_errno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::string hosts_text(const std::string& realm_address)
{
    return "127.0.0.1\tlocalhost\n"
           "::1\tlocalhost ip6-localhost ip6-loopback\n"
           "127.0.0.1\tdc1." + samba_dc_t::dns_name + " dc1\n" +
           realm_address + "\t" + samba_dc_t::dns_name + "\n";
}

// Writes a file in place, so that a bind mount of it sees the new text.
void rewrite(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void make_ca(const std::string& dir, const std::string& name, const std::string& subject)
{
    run_checked({find_program("openssl"), "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", subject, "-keyout",
                 dir + "/" + name + ".key", "-out", dir + "/" + name + ".crt"});
    ::chmod((dir + "/" + name + ".key").c_str(), 0600);
}

// Whether something accepts connections on 127.0.0.1:port.
bool tcp_open(unsigned port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return open;
}

} // namespace

std::string dn_escape(const std::string& value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        const bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
                             c == '=' || (i == 0 && (c == ' ' || c == '#')) ||
                             (i + 1 == value.size() && c == ' ');
        if (special)
            out += '\\';
        out += c;
    }
    return out;
}

std::vector<std::string> samba_dc_t::ldap_tool_env(const std::string& ca)
{
    std::vector<std::string> env;
    for (const std::string& entry : environment_without({}))
        if (entry.compare(0, 4, "LDAP") != 0)
            env.push_back(entry);
    env.push_back("LDAPTLS_CACERT=" + ca);
    env.push_back("LDAPTLS_REQCERT=demand");
    return env;
}

samba_dc_t::samba_dc_t()
{
    target_ = dir_.file("dc");
    log_path_ = dir_.file("samba.log");
    hosts_path_ = dir_.file("hosts");
    try {
        const auto begin = clock_type::now();
        make_namespaces();
        make_certificates();
        provision();
        const double provisioned = seconds_since(begin);
        write_smb_conf(false);
        start();
        std::cout << "samba_dc: namespaces, certificates and domain in " << provisioned << " s, Samba ready after "
                  << seconds_since(begin) << " s" << std::endl;
    } catch (...) {
        release();
        throw;
    }
}

samba_dc_t::~samba_dc_t()
{
    release();
}

void samba_dc_t::release()
{
    stop();
    if (hosts_mounted_ && ::umount2("/etc/hosts", MNT_DETACH) == 0)
        hosts_mounted_ = false;
    if (!netns_.empty()) {
        // The name lives in the machine's mount namespace: delete it from there.
        const int outer = outer_mnt_fd_;
        const std::string ip = find_program("ip");
        const std::string name = netns_;
        const child_result_t result = run_in_child([&] {
            // A sanitizer may have started a thread in the child that shares
            // its filesystem context; setns refuses a shared one.
            if (outer >= 0 && (::unshare(CLONE_FS) != 0 || ::setns(outer, CLONE_NEWNS) != 0))
                fail_errno("setns to the outer mount namespace");
            ::execl(ip.c_str(), ip.c_str(), "netns", "del", name.c_str(), static_cast<char*>(nullptr));
            fail_errno("exec " + ip);
        });
        if (!result.exited || result.status != 0)
            std::cerr << "samba_dc: cannot delete network namespace " << name << ": " << describe(result) << std::endl;
        netns_.clear();
    }
    if (outer_mnt_fd_ >= 0) {
        ::close(outer_mnt_fd_);
        outer_mnt_fd_ = -1;
    }
}

// Deletes the network namespaces that programs killed before their
// teardown left behind (velbo-ad-<pid>-<n> of a process that is gone).
static void delete_stale_namespaces(const std::string& ip)
{
    DIR* dir = ::opendir("/run/netns");
    if (!dir)
        return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string prefix = "velbo-ad-";
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : stale)
        run_program(ip, {ip, "netns", "del", name}, environment_without({}), 30);
}

void samba_dc_t::make_namespaces()
{
    static unsigned counter = 0;
    const std::string ip = find_program("ip");
    delete_stale_namespaces(ip);
    const std::string name = "velbo-ad-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    run_checked({ip, "netns", "add", name});
    netns_ = name;

    outer_mnt_fd_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (outer_mnt_fd_ < 0)
        fail_errno("open /proc/self/ns/mnt");
    if (::unshare(CLONE_NEWNS) != 0)
        fail_errno("unshare(CLONE_NEWNS) (the process must still have a single thread)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail_errno("make every mount private");
    rewrite(hosts_path_, hosts_text(realm_address_));
    if (::mount(hosts_path_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        fail_errno("bind " + hosts_path_ + " on /etc/hosts");
    hosts_mounted_ = true;

    const std::string ns_path = "/run/netns/" + netns_;
    const int fd = ::open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail_errno("open " + ns_path);
    const int rc = ::setns(fd, CLONE_NEWNET);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (rc != 0)
        fail_errno("setns to " + ns_path);
    run_checked({ip, "link", "set", "lo", "up"});
}

void samba_dc_t::make_certificates()
{
    const std::string& dir = dir_.path();
    make_ca(dir, "ca", "/CN=velbo AD test CA");
    make_ca(dir, "wrong-ca", "/CN=velbo AD wrong CA");
    ca_cert_ = dir + "/ca.crt";
    ca_key_ = dir + "/ca.key";
    wrong_ca_cert_ = dir + "/wrong-ca.crt";
    server_ = issue_cert("dc1", {dns_name, "dc1." + dns_name}, {"127.0.0.1"});
}

samba_dc_cert_t samba_dc_t::issue_cert(const std::string& name, const std::vector<std::string>& dns_names,
                                       const std::vector<std::string>& addresses) const
{
    const std::string openssl = find_program("openssl");
    const std::string base = dir_.file(name);
    std::string names;
    for (const std::string& n : dns_names)
        names += (names.empty() ? "DNS:" : ",DNS:") + n;
    for (const std::string& a : addresses)
        names += (names.empty() ? "IP:" : ",IP:") + a;
    dir_.write(name + ".ext", "subjectAltName=" + names + "\nbasicConstraints=CA:FALSE\n");
    const std::string subject = "/CN=" + (dns_names.empty() ? name : dns_names.front());
    run_checked({openssl, "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-subj", subject, "-keyout", base + ".key", "-out", base + ".csr"});
    run_checked({openssl, "x509", "-req", "-in", base + ".csr", "-CA", ca_cert_, "-CAkey", ca_key_,
                 "-CAcreateserial", "-CAserial", dir_.file("ca.srl"), "-days", "2", "-extfile", base + ".ext",
                 "-out", base + ".crt"});
    ::chmod((base + ".key").c_str(), 0600);
    return {base + ".crt", base + ".key"};
}

void samba_dc_t::provision()
{
    run_checked({find_program("samba-tool"), "domain", "provision", "--targetdir=" + target_, "--realm=" + realm,
                 "--domain=" + netbios_domain, "--server-role=dc", "--dns-backend=NONE",
                 "--adminpass=" + admin_password, "--host-name=dc1", "--host-ip=127.0.0.1", "--use-rfc2307",
                 "--option=interfaces = lo", "--option=bind interfaces only = yes"},
                {}, 300);
    const std::string conf = target_ + "/etc/smb.conf";
    if (::rename(conf.c_str(), (conf + ".provisioned").c_str()) != 0)
        fail_errno("rename " + conf);
    for (const char* sub : {"/run", "/ncalrpc", "/winbindd", "/ntp_signd"})
        if (::mkdir((target_ + sub).c_str(), 0755) != 0 && errno != EEXIST)
            fail_errno("mkdir " + target_ + sub);
}

// smb.conf from the provisioned one: the generated "server services" line
// edited in place (a second line would be overridden), the run-time
// directories and the log in the fixture's directory, no NetBIOS, the test
// certificate, and optionally simple binds without TLS.
void samba_dc_t::write_smb_conf(bool strong_auth) const
{
    const std::string conf = target_ + "/etc/smb.conf";
    std::istringstream in(read_file(conf + ".provisioned"));
    std::ostringstream out;
    bool services = false;
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(" \t");
        const std::string setting = start == std::string::npos ? "" : line.substr(start);
        if (setting.compare(0, 15, "server services") == 0) {
            out << "\tserver services = ldap, cldap, kdc\n";
            services = true;
            continue;
        }
        if (setting.compare(0, 8, "log file") == 0 || setting.compare(0, 12, "panic action") == 0)
            continue;
        out << line << "\n";
        if (setting == "[global]") {
            out << "\tlog file = " << target_ << "/log.%m\n"
                << "\tpid directory = " << target_ << "/run\n"
                << "\tncalrpc dir = " << target_ << "/ncalrpc\n"
                << "\twinbindd socket directory = " << target_ << "/winbindd\n"
                << "\tntp signd socket directory = " << target_ << "/ntp_signd\n"
                << "\tdisable netbios = yes\n"
                << "\ttls enabled = yes\n"
                << "\ttls certfile = " << server_.cert << "\n"
                << "\ttls keyfile = " << server_.key << "\n"
                << "\ttls cafile = " << ca_cert_ << "\n";
            if (!strong_auth)
                out << "\tldap server require strong auth = no\n";
        }
    }
    if (!services)
        throw std::runtime_error("no \"server services\" line in the provisioned smb.conf");
    rewrite(conf, out.str());
}

void samba_dc_t::start()
{
    pid_ = spawn_server({find_program("samba"), "-i", "-s", target_ + "/etc/smb.conf", "--debug-stdout", "-d", "1"},
                        log_path_);
    const std::string ldapsearch = find_program("ldapsearch");
    const std::vector<std::string> env = ldap_tool_env(ca_cert_);
    const auto deadline = clock_type::now() + std::chrono::seconds(60);
    for (const std::string& url : {ldap_url(), ldaps_url()}) {
        for (;;) {
            const child_result_t probe =
                run_program(ldapsearch, {"ldapsearch", "-x", "-H", url, "-s", "base", "-b", "", "-LLL", "dnsHostName"},
                            env, 10);
            if (probe.exited && probe.status == 0)
                break;
            if (!server_running(pid_)) {
                pid_ = -1;
                throw std::runtime_error("samba ended while starting:\n" + log());
            }
            if (clock_type::now() > deadline)
                throw std::runtime_error("samba does not answer on " + url + ":\n" + describe(probe) + "\n" + log());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

void samba_dc_t::stop()
{
    resume();
    if (pid_ <= 0)
        return;
    stop_server(pid_, SIGTERM);
    pid_ = -1;
    // Its task processes end on their own, shortly after it.
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while ((tcp_open(389) || tcp_open(636)) && clock_type::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void samba_dc_t::pause()
{
    if (pid_ <= 0 || !paused_.empty())
        return;
    // Each process stopped before its children are listed: none is missed.
    paused_.push_back(pid_);
    stop_and_wait(pid_);
    for (size_t i = 0; i < paused_.size(); ++i) {
        for (const pid_t child : child_pids(paused_[i])) {
            paused_.push_back(child);
            stop_and_wait(child);
        }
    }
}

void samba_dc_t::resume()
{
    for (auto it = paused_.rbegin(); it != paused_.rend(); ++it)
        ::kill(*it, SIGCONT);
    paused_.clear();
}

std::string samba_dc_t::log() const
{
    return read_file(log_path_);
}

void samba_dc_t::point_realm_at(const std::string& address)
{
    realm_address_ = address;
    rewrite(hosts_path_, hosts_text(address));
}

void samba_dc_t::set_require_strong_auth(bool required)
{
    stop();
    write_smb_conf(required);
    start();
}

void samba_dc_t::samba_tool(std::vector<std::string> args) const
{
    args.insert(args.begin(), find_program("samba-tool"));
    args.push_back("-H");
    args.push_back(target_ + "/private/sam.ldb");
    args.push_back("-s");
    args.push_back(target_ + "/etc/smb.conf");
    run_checked(args);
}

void samba_dc_t::add_user(const std::string& name, const std::string& cn)
{
    samba_tool({"user", "add", name, user_password, "--use-username-as-cn"});
    if (!cn.empty() && cn != name)
        samba_tool({"user", "rename", name, "--force-new-cn=" + dn_escape(cn)});
    cns_[name] = cn.empty() ? name : cn;
}

void samba_dc_t::add_group(const std::string& name, const std::string& cn)
{
    samba_tool({"group", "add", name});
    if (!cn.empty() && cn != name)
        samba_tool({"group", "rename", name, "--force-new-cn=" + dn_escape(cn)});
    cns_[name] = cn.empty() ? name : cn;
}

void samba_dc_t::add_members(const std::string& group, const std::vector<std::string>& members)
{
    std::string list;
    for (const std::string& m : members)
        list += (list.empty() ? "" : ",") + m;
    samba_tool({"group", "addmembers", group, list});
}

void samba_dc_t::set_primary_group(const std::string& user, const std::string& group)
{
    add_members(group, {user});
    samba_tool({"user", "setprimarygroup", user, group});
}

std::string samba_dc_t::dn_of(const std::string& name) const
{
    const auto found = cns_.find(name);
    return "CN=" + dn_escape(found == cns_.end() ? name : found->second) + "," + users_dn;
}

void samba_dc_environment_t::SetUp()
{
    try {
        const auto start = clock_type::now();
        dc_ = std::make_unique<samba_dc_t>();
        populate(*dc_);
        populated_ = true;
        std::cout << "samba_dc: domain controller and directory ready in " << seconds_since(start) << " s"
                  << std::endl;
    } catch (const std::exception& e) {
        GTEST_FAIL() << "cannot set up the domain controller: " << e.what();
    }
}

void samba_dc_environment_t::TearDown()
{
    if (dc_)
        release();
    dc_.reset();
}

const std::vector<std::pair<std::string, std::string>> nested_groups = {
    {"Ops (East)", ""},
    {"StarGroup", "Star*Group"},
    {"BackSlash", "Back\\Slash"},
    {"Level1", ""},
};

void add_nested_groups(samba_dc_t& dc)
{
    for (const auto& group : nested_groups)
        dc.add_group(group.first, group.second);
    for (size_t i = 0; i + 1 < nested_groups.size(); ++i)
        dc.add_members(nested_groups[i + 1].first, {nested_groups[i].first});
    dc.add_user("alice");
    dc.add_user("carol", "Carol (R&D) *\\");
    dc.add_members(nested_groups.front().first, {"alice", "carol"});
    dc.add_group("Staff");
    dc.add_user("bob");
    dc.set_primary_group("bob", "Staff");
}

} // namespace velbo_test
