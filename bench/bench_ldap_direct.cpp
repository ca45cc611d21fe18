// Reference figures for the LDAP benchmark, on a slapd of its own: the
// median of one search made directly with libldap on one bound connection,
// and of a bare round trip over a UNIX stream socket.
// Usage: bench_ldap_direct [SEARCHES]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bench_people.h"
#include "ldap_direct.h"
#include "support/slapd_server.h"

int main(int argc, char** argv)
{
    const size_t searches = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    if (searches == 0) {
        std::fprintf(stderr, "usage: bench_ldap_direct [SEARCHES]\n");
        return 2;
    }
    // Options come from the code only, not from /etc/ldap/ldap.conf.
    ::setenv("LDAPNOINIT", "1", 1);
    try {
        velbo_test::slapd_options_t options;
        const std::string people = fill_bench_people(options);
        velbo_test::slapd_server_t server(options);
        server.start();

        ldap_direct_search_t search;
        search.url = server.ldap_url();
        search.bind_dn = server.root_dn();
        search.password = server.root_password();
        search.base = people;
        search.filter = "(uid=user500)";
        search.attributes = {"mail", "cn"};
        const ldap_direct_result_t direct = measure_ldap_direct(search, searches);
        const latency_t bare = measure_socket_round_trip(searches);
        std::printf("direct libldap search, %s, one bound connection, %zu entry, %zu values: "
                    "median %.1f us, p99 %.1f us, min %.1f us (%zu searches)\n",
                    search.url.c_str(), direct.entries, direct.values, direct.latency.median_us,
                    direct.latency.p99_us, direct.latency.min_us, direct.latency.samples);
        std::printf("bare UNIX stream socket round trip, 64 bytes: median %.1f us, p99 %.1f us, min %.1f us "
                    "(%zu round trips)\n",
                    bare.median_us, bare.p99_us, bare.min_us, bare.samples);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_ldap_direct: %s\n", e.what());
        return 1;
    }
    return 0;
}
