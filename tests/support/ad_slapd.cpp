#include "support/ad_slapd.h"

#include <signal.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "support/server_process.h"

namespace velbo_test {

// Spelled out: the constants of samba_dc.cpp may not be initialised yet.
const std::string ad_slapd_t::configuration_dn = "CN=Configuration,DC=lookup,DC=test";

namespace {

std::string base64(const std::string& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t n = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                           uint8_t(bytes[i + 2]);
        out += alphabet[n >> 18];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const uint32_t n = uint32_t(uint8_t(bytes[i])) << 16 | (two ? uint32_t(uint8_t(bytes[i + 1])) << 8 : 0);
        out += alphabet[n >> 18];
        out += alphabet[(n >> 12) & 63];
        out += two ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The value of a DN's first RDN, with its escapes undone ("CN=a\,b,..." -> "a,b").
std::string first_rdn_value(const std::string& dn)
{
    const size_t eq = dn.find('=');
    if (eq == std::string::npos)
        throw std::invalid_argument("not a DN: " + dn);
    std::string value;
    for (size_t i = eq + 1; i < dn.size() && dn[i] != ','; ++i) {
        if (dn[i] != '\\' || i + 1 == dn.size()) {
            value += dn[i];
            continue;
        }
        const std::string hex = dn.substr(i + 1, 2);
        if (hex.size() == 2 && std::isxdigit(uint8_t(hex[0])) && std::isxdigit(uint8_t(hex[1]))) {
            value += char(std::stoi(hex, nullptr, 16));
            i += 2;
        } else {
            value += dn[++i];
        }
    }
    return value;
}

std::string line(const std::string& attribute, const std::string& value)
{
    return value.empty() ? "" : attribute + ": " + value + "\n";
}

std::string entry_head(const std::string& dn, const std::string& object_class, const std::string& category)
{
    return "dn: " + dn + "\nobjectClass: " + object_class + "\nobjectCategory: " + category + "\n" +
           ad_ldif_binary("cn", first_rdn_value(dn)) + "distinguishedName: " + dn + "\n";
}

} // namespace

std::string sid_bytes(const std::string& text)
{
    std::istringstream in(text);
    std::string part;
    std::vector<uint64_t> numbers;
    if (!std::getline(in, part, '-') || part != "S")
        throw std::invalid_argument("not a SID: " + text);
    while (std::getline(in, part, '-'))
        numbers.push_back(std::stoull(part));
    if (numbers.size() < 2 || numbers.size() > 17)
        throw std::invalid_argument("not a SID: " + text);
    std::string bytes;
    bytes += char(numbers[0]);
    bytes += char(numbers.size() - 2);
    for (int shift = 40; shift >= 0; shift -= 8)
        bytes += char((numbers[1] >> shift) & 0xff);
    for (size_t i = 2; i < numbers.size(); ++i)
        for (int shift = 0; shift < 32; shift += 8)
            bytes += char((numbers[i] >> shift) & 0xff);
    return bytes;
}

std::string ad_ldif_binary(const std::string& attribute, const std::string& bytes)
{
    return attribute + ":: " + base64(bytes) + "\n";
}

std::string ad_ldif_user(const std::string& dn, const std::string& sam, const std::string& sid,
                         const std::string& primary_group_id, const std::string& more)
{
    return entry_head(dn, "user", "person") + line("sAMAccountName", sam) +
           (sid.empty() ? "" : ad_ldif_binary("objectSid", sid)) + line("primaryGroupID", primary_group_id) + more +
           "\n";
}

std::string ad_ldif_group(const std::string& dn, const std::string& sam, const std::string& sid,
                          const std::vector<std::string>& members)
{
    std::string text = entry_head(dn, "group", "group") + line("sAMAccountName", sam) +
                       (sid.empty() ? "" : ad_ldif_binary("objectSid", sid));
    for (const std::string& m : members)
        text += "member: " + m + "\n";
    return text + "\n";
}

ad_slapd_t::ad_slapd_t(const samba_dc_t& dc, const std::string& ldif, const std::string& address)
    : address_(address), log_path_(dir_.file("slapd.log"))
{
    const samba_dc_cert_t cert = dc.issue_cert("slapd-" + address, {samba_dc_t::dns_name}, {address});
    const std::string conf = dir_.write("slapd.conf",
        "include /etc/ldap/schema/core.schema\n"
        "include /etc/ldap/schema/cosine.schema\n"
        "include " VELBO_SOURCE_DIR "/tests/support/ad_slapd.schema\n"
        "pidfile " + dir_.file("slapd.pid") + "\n"
        "argsfile " + dir_.file("slapd.args") + "\n"
        "modulepath /usr/lib/ldap\n"
        "moduleload back_mdb\n"
        "TLSCACertificateFile " + dc.ca_cert() + "\n"
        "TLSCertificateFile " + cert.cert + "\n"
        "TLSCertificateKeyFile " + cert.key + "\n"
        "database mdb\n"
        "suffix \"" + samba_dc_t::base_dn + "\"\n"
        "directory " + dir_.file("db") + "\n"
        "maxsize 16777216\n"
        "access to attrs=userPassword by anonymous auth by * none\n"
        "access to * by * read\n");
    const std::string data = dir_.write("data.ldif",
        "dn: " + samba_dc_t::base_dn + "\nobjectClass: domain\ndc: lookup\n\n"
        "dn: " + configuration_dn + "\nobjectClass: container\ncn: Configuration\n\n"
        "dn: " + samba_dc_t::users_dn + "\nobjectClass: container\ncn: Users\n\n" + ldif);
    if (::mkdir(dir_.file("db").c_str(), 0700) != 0)
        throw std::system_error(errno, std::generic_category(), "mkdir " + dir_.file("db"));
    run_checked({find_program("slapadd"), "-q", "-f", conf, "-l", data});

    pid_ = spawn_server({find_program("slapd"), "-d", "stats", "-f", conf, "-h",
                         ldap_url() + ":389/ " + ldaps_url() + ":636/"},
                        log_path_);
    const std::string ldapsearch = find_program("ldapsearch");
    const std::vector<std::string> env = samba_dc_t::ldap_tool_env(dc.ca_cert());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const std::string& url : {ldap_url(), ldaps_url()}) {
        for (;;) {
            const child_result_t probe =
                run_program(ldapsearch, {"ldapsearch", "-x", "-H", url, "-s", "base", "-b", "", "-LLL"}, env, 10);
            if (probe.exited && probe.status == 0)
                break;
            const bool running = server_running(pid_);
            if (!running || std::chrono::steady_clock::now() > deadline) {
                if (running)
                    stop_server(pid_, SIGTERM);
                pid_ = -1;
                throw std::runtime_error("slapd does not answer on " + url + ":\n" + describe(probe) + "\n" + log());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

ad_slapd_t::~ad_slapd_t()
{
    if (pid_ > 0)
        stop_server(pid_, SIGTERM);
}

std::string ad_slapd_t::log() const
{
    return read_file(log_path_);
}

} // namespace velbo_test
