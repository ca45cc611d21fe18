// A parsed database connection string, which is at the same time the entry
// of the database clients' connection pool.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

#include <boost/system/error_code.hpp>

// What parsing needs to know of the client that owns the entry.
struct lp_db_conn_context_t {
    std::string log_prefix;        // "Datasource [<tag>.<type>]: "
    std::string type_text;         // "pq", "sqlite", "mysql", "redis"
    uint32_t default_port = 0;     // used for a missing or zero port
    bool user_in_description = true;  // false where the user is a secret
};

class lp_db_connection_t {
public:
    static constexpr int KIND_NONE = 0;  // not parsed yet
    static constexpr int KIND_FILE = 1;
    static constexpr int KIND_TCP = 2;
    static constexpr int KIND_UNIX = 3;

    using params_t = std::unordered_map<std::string, std::string>;

    // Parses a connection string into this entry. Logs an Error and throws
    // boost::system::system_error EC_BAD_CONFIG for a bad string; a bad
    // percent escape throws boost::algorithm::non_hex_input, a truncated one
    // boost::algorithm::not_enough_input, and a part holding a NUL byte
    // std::invalid_argument. On failure the entry stays unparsed.
    void parse(const lp_db_conn_context_t& context, const std::string& conn);

    bool parsed() const { return kind != KIND_NONE; }

    void* handle = nullptr;  // the driver's connection, owned by the client
    std::chrono::steady_clock::time_point last_use = std::chrono::steady_clock::now();
    // When the last request that ended in a time-out ended, and its code;
    // the clock's epoch while no time-out is outstanding.
    std::chrono::steady_clock::time_point timed_out_at{};
    boost::system::error_code timeout_code;
    int kind = KIND_NONE;
    std::string path;
    std::string host;
    uint32_t port = 0;
    std::string user;
    std::string password;  // never logged
    std::string db;
    std::string description;  // "Datasource [<type>] (<where>): "
    params_t params;
};

// The "?key=value&..." part of a connection string, percent-decoded.
// Throws system_error EC_BAD_CONFIG for a repeated or reserved key, and
// for a bad escape or a NUL byte as parsing does.
lp_db_connection_t::params_t parse_conn_params(const std::string& log_prefix, const std::string& query);

// An absolute path resolved by realpath; what is "UNIX socket" or
// "database file". Throws system_error EC_BAD_CONFIG, or
// std::invalid_argument for a path holding a NUL byte.
std::string resolve_absolute_path(const std::string& log_prefix, const std::string& path,
                                  const std::string& what);
