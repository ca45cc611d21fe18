// SQLite back-end (lookup type 21): requests against a local database file.
#pragma once

#include "db/lp_db_client.h"

class lp_sqlite_client_t : public lp_db_client_t {
public:
    explicit lp_sqlite_client_t(lp_inventory_t& inventory);
    ~lp_sqlite_client_t() override;

    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;

    // How long one request waits for locks held by others, retry included.
    static constexpr std::chrono::milliseconds busy_limit{5000};

protected:
    const std::string& conn_for_tag(const std::string& tag) override;
    const std::string& default_conn() override;
    bool is_conn_configured(const std::string& conn) override;
    const std::string& request_for_tag(const std::string& tag) override;
    void query(lp_db_connection_t& entry, lp_db_call_t& call) const override;
    void disconnect(void* handle) const override;
    void* connect(lp_db_connection_t& entry, const lp_db_call_t& call) const override;
};

// The error code of a SQLite result code.
qv::ErrorCode sqlite_error_code(int result);
