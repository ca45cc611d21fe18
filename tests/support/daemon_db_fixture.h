// A daemon serving database tags (any of the four types), with one connected
// client. The configuration is built from tag records and free global lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_exchange.h"
#include "support/daemon_fixture.h"

struct db_tag_t {
    lp::LookupType type;  // LOOKUP_PQ, LOOKUP_SQLITE, LOOKUP_MYSQL or LOOKUP_REDIS
    std::string tag;
    std::optional<std::string> conn;     // nullopt: no conn field
    std::optional<std::string> request;  // nullopt: no request field
    std::optional<bool> use_ssl;         // Redis only
};

// The pq, sqlite, mysql and redis sections of a configuration text.
std::string db_sections_text(const std::vector<db_tag_t>& tags);

class db_fixture_t : public daemon_session_t {
protected:
    // Starts the daemon with the tags and the global lines (for example
    // "db_idle_timeout: 500\n") and connects `client`.
    void start(const std::vector<db_tag_t>& tags, const std::string& globals = "");
    // Applies a new configuration with the next revision.
    void reconfigure(const std::vector<db_tag_t>& tags, const std::string& globals = "");
    std::string config_text(const std::vector<db_tag_t>& tags, const std::string& globals) const;

    // A tag per case, all of `type` on `conn`, started with `globals`; then
    // each is looked up for the case's user in domain "example.org": its
    // error, its rows and a text its lookup logs.
    struct request_case_t {
        std::string tag;
        std::string request;
        std::string user;
        int error;                       // 0: answers `rows`
        std::vector<std::string> rows;
        std::string log;
    };
    void run_request_cases(lp::LookupType type, const std::string& conn, const std::vector<request_case_t>& cases,
                           const std::string& globals);

    // A tag on the clean string of each pattern (spoiled_conns), which must
    // answer `rows`, and one on each of its spoiled strings, which must fail
    // with EC_UNEXPECTED_ERROR and no Error or Warning line but "Cannot
    // retrieve data from database: Unexpected error".
    void expect_spoiled_conns_refused(lp::LookupType type, const std::vector<std::string>& patterns,
                                      const std::string& request, const std::vector<std::string>& rows,
                                      const std::string& globals = "");

    // Descriptors the daemon holds open on a file (connections to it).
    size_t open_descriptors_on(const std::string& path) const;

    uint32_t run_as_uid = 0;  // the configuration's run_as_user
};

// Connection strings spoiled one part at a time. Each part of `pattern` to
// spoil is written between "{" and "}"; the clean string is the pattern
// without the braces. A part is spoiled by a truncated escape at its end
// ("%", "%4") or by an escaped NUL byte before a tail ("%00x"), which a cut
// at the NUL would drop.
struct spoiled_conn_t {
    std::string what;  // the spoiled part
    std::string conn;
    bool truncated;    // a truncated escape, else a NUL byte
};
std::string clean_conn(const std::string& pattern);
std::vector<spoiled_conn_t> spoiled_conns(const std::string& pattern);

// The error number of an answer, 0 without an error.
int error_of(const lp::ServerMessage& response);
