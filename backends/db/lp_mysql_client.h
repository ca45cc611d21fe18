// MySQL and MariaDB back-end (lookup type 22): prepared statements through
// libmariadb with the user and domain bound as parameters, and driver
// options from the connection string's query parameters.
#pragma once

#include <cstdint>
#include <string>

#include "db/lp_db_client.h"

class lp_mysql_client_t : public lp_db_client_t {
public:
    explicit lp_mysql_client_t(lp_inventory_t& inventory);
    ~lp_mysql_client_t() override;

    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;
    uint32_t default_port() const override { return 3306; }

    // Used unless the connection string sets "connect-timeout",
    // "read-timeout" or "write-timeout".
    static constexpr unsigned connect_timeout_seconds = 5;
    static constexpr unsigned read_write_timeout_seconds = 10;

protected:
    const std::string& conn_for_tag(const std::string& tag) override;
    const std::string& default_conn() override;
    bool is_conn_configured(const std::string& conn) override;
    const std::string& request_for_tag(const std::string& tag) override;
    void query(lp_db_connection_t& entry, lp_db_call_t& call) const override;
    void disconnect(void* handle) const override;
    void* connect(lp_db_connection_t& entry, const lp_db_call_t& call) const override;

private:
    // Fails a statement step with the code of its error number, as a
    // time-out when mysql_timed_out says so (system_error: errno as the
    // library left it).
    [[noreturn]] void fail_statement(const lp_db_call_t& call, const std::string& message,
                                     unsigned int error_number, int system_error) const;
};

// The error code of a client or server error number.
qv::ErrorCode mysql_error_code(unsigned int error_number);
// Whether a failure ran out of time: the library reports a lost connection
// and leaves errno (system_error) at ETIMEDOUT after its last wait.
bool mysql_timed_out(unsigned int error_number, int system_error);

// Option values of connection strings; both log an Error with the prefix
// and throw system_error EC_BAD_CONFIG for a bad value.
char parse_mysql_bool_option(const std::string& log_prefix, const std::string& key, const std::string& value);
uint32_t parse_mysql_uint_option(const std::string& log_prefix, const std::string& key, const std::string& value);
