// Reference figures for the LDAP benchmark: the same search made directly
// with libldap on one bound connection, and a bare round trip over a UNIX
// stream socket, both in the calling process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ldap_direct_search_t {
    std::string url;       // ldap://, ldaps:// or ldapi://
    std::string bind_dn;   // empty: anonymous
    std::string password;
    std::string ca_cert;   // CA file for ldaps:// and StartTLS; empty: none set
    bool start_tls = false;
    std::string base;
    std::string filter;
    std::vector<std::string> attributes;  // empty: all
};

// Microseconds per operation over the measured samples.
struct latency_t {
    double median_us = 0;
    double p99_us = 0;
    double min_us = 0;
    size_t samples = 0;
};

struct ldap_direct_result_t {
    latency_t latency;
    size_t entries = 0;  // entries found by the last search
    size_t values = 0;   // values read from them
};

// Binds once, then makes the search `warmup` times unmeasured and
// `searches` times measured, each time reading every value of every entry
// into strings as a client would. Throws std::runtime_error on any failure.
// The caller decides whether libldap reads /etc/ldap/ldap.conf (LDAPNOINIT).
ldap_direct_result_t measure_ldap_direct(const ldap_direct_search_t& search, size_t searches, size_t warmup = 200);

// `size` bytes written to one end of a UNIX stream socket pair and echoed
// back whole by a thread at the other end, `warmup` times unmeasured, then
// `round_trips` times measured.
latency_t measure_socket_round_trip(size_t round_trips, size_t size = 64, size_t warmup = 200);

// Median, 99th percentile and minimum of samples in nanoseconds (sorts them).
latency_t latency_of(std::vector<long long>& samples_ns);
