// The directory both LDAP benchmarks search: 1000 people under ou=people.
#pragma once

#include <string>

#include "support/slapd_server.h"

// Sets the server's entries to ou=people under its suffix with user0 to
// user999 (password "userN-pw", two mail values each); returns the people DN.
inline std::string fill_bench_people(velbo_test::slapd_options_t& options)
{
    const std::string people = "ou=people," + options.suffix;
    options.ldif = velbo_test::ldif_ou(people);
    for (int i = 0; i < 1000; ++i) {
        const std::string uid = "user" + std::to_string(i);
        options.ldif += velbo_test::ldif_user("uid=" + uid + "," + people, uid, uid + "-pw",
                                              "mail: " + uid + "@example.test\nmail: " + uid + "@other.test\n");
    }
    return people;
}
