#include "ldap_direct.h"

#include <ldap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

struct ldap_deleter_t {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct message_deleter_t {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using ldap_ptr = std::unique_ptr<LDAP, ldap_deleter_t>;
using message_ptr = std::unique_ptr<LDAPMessage, message_deleter_t>;

void check(int rc, const char* what)
{
    if (rc != LDAP_SUCCESS)
        throw std::runtime_error(std::string(what) + ": " + ldap_err2string(rc));
}

ldap_ptr connect_and_bind(const ldap_direct_search_t& search)
{
    LDAP* raw = nullptr;
    check(ldap_initialize(&raw, search.url.c_str()), "ldap_initialize");
    ldap_ptr ld(raw);
    const int version = LDAP_VERSION3;
    check(ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version), "LDAP_OPT_PROTOCOL_VERSION");
    check(ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF), "LDAP_OPT_REFERRALS");
    if (!search.ca_cert.empty()) {
        const int demand = LDAP_OPT_X_TLS_DEMAND;
        const int is_server = 0;
        check(ldap_set_option(ld.get(), LDAP_OPT_X_TLS_CACERTFILE, search.ca_cert.c_str()), "LDAP_OPT_X_TLS_CACERTFILE");
        check(ldap_set_option(ld.get(), LDAP_OPT_X_TLS_REQUIRE_CERT, &demand), "LDAP_OPT_X_TLS_REQUIRE_CERT");
        check(ldap_set_option(ld.get(), LDAP_OPT_X_TLS_NEWCTX, &is_server), "LDAP_OPT_X_TLS_NEWCTX");
    }
    if (search.start_tls)
        check(ldap_start_tls_s(ld.get(), nullptr, nullptr), "ldap_start_tls_s");
    berval password{static_cast<ber_len_t>(search.password.size()), const_cast<char*>(search.password.data())};
    check(ldap_sasl_bind_s(ld.get(), search.bind_dn.empty() ? nullptr : search.bind_dn.c_str(), LDAP_SASL_SIMPLE,
                           &password, nullptr, nullptr, nullptr),
          "ldap_sasl_bind_s");
    return ld;
}

// One search, every value of every entry read into strings.
void search_once(LDAP* ld, const ldap_direct_search_t& search, char** attributes, std::vector<std::string>& values,
                 size_t& entries)
{
    LDAPMessage* raw = nullptr;
    const int rc = ldap_search_ext_s(ld, search.base.c_str(), LDAP_SCOPE_SUBTREE, search.filter.c_str(), attributes,
                                     0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &raw);
    message_ptr result(raw);
    check(rc, "ldap_search_ext_s");
    values.clear();
    entries = 0;
    for (LDAPMessage* entry = ldap_first_entry(ld, result.get()); entry; entry = ldap_next_entry(ld, entry)) {
        ++entries;
        BerElement* ber = nullptr;
        for (char* name = ldap_first_attribute(ld, entry, &ber); name; name = ldap_next_attribute(ld, entry, ber)) {
            berval** vals = ldap_get_values_len(ld, entry, name);
            for (int i = 0; vals && vals[i]; ++i)
                values.emplace_back(vals[i]->bv_val, vals[i]->bv_len);
            ldap_value_free_len(vals);
            ldap_memfree(name);
        }
        ber_free(ber, 0);
    }
}

} // namespace

latency_t latency_of(std::vector<long long>& samples_ns)
{
    latency_t latency;
    latency.samples = samples_ns.size();
    if (samples_ns.empty())
        return latency;
    std::sort(samples_ns.begin(), samples_ns.end());
    const size_t n = samples_ns.size();
    latency.median_us = samples_ns[n / 2] / 1000.0;
    latency.p99_us = samples_ns[std::min(n - 1, n * 99 / 100)] / 1000.0;
    latency.min_us = samples_ns.front() / 1000.0;
    return latency;
}

ldap_direct_result_t measure_ldap_direct(const ldap_direct_search_t& search, size_t searches, size_t warmup)
{
    const ldap_ptr ld = connect_and_bind(search);
    std::vector<char*> attributes;
    for (const std::string& a : search.attributes)
        attributes.push_back(const_cast<char*>(a.c_str()));
    attributes.push_back(nullptr);
    char** attrs = search.attributes.empty() ? nullptr : attributes.data();

    ldap_direct_result_t result;
    std::vector<std::string> values;
    for (size_t i = 0; i < warmup; ++i)
        search_once(ld.get(), search, attrs, values, result.entries);
    std::vector<long long> samples;
    samples.reserve(searches);
    for (size_t i = 0; i < searches; ++i) {
        const auto start = clock_type::now();
        search_once(ld.get(), search, attrs, values, result.entries);
        samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - start).count());
    }
    result.values = values.size();
    result.latency = latency_of(samples);
    return result;
}

namespace {

void write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::system_error(errno, std::generic_category(), "write");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// False at the end of the stream.
bool read_all(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::system_error(errno, std::generic_category(), "read");
        if (n == 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

latency_t measure_socket_round_trip(size_t round_trips, size_t size, size_t warmup)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    std::thread echo([fd = fds[1], size] {
        std::string buffer(size, '\0');
        try {
            while (read_all(fd, &buffer[0], size))
                write_all(fd, buffer.data(), size);
        } catch (const std::exception&) {
            // The measuring side sees the broken stream.
        }
    });
    std::string message(size, 'x');
    std::string answer(size, '\0');
    std::vector<long long> samples;
    samples.reserve(round_trips);
    try {
        for (size_t i = 0; i < warmup + round_trips; ++i) {
            const auto start = clock_type::now();
            write_all(fds[0], message.data(), size);
            if (!read_all(fds[0], &answer[0], size))
                throw std::runtime_error("echo thread ended");
            if (i >= warmup)
                samples.push_back(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - start).count());
        }
    } catch (...) {
        ::shutdown(fds[0], SHUT_RDWR);
        echo.join();
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::shutdown(fds[0], SHUT_WR);
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return latency_of(samples);
}
