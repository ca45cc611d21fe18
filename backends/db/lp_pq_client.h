// PostgreSQL back-end (lookup type 20): requests through libpq with the
// user and domain bound as parameters $1, $2, ...
#pragma once

#include <chrono>
#include <cstdint>

#include "db/lp_db_client.h"

class lp_pq_client_t : public lp_db_client_t {
public:
    explicit lp_pq_client_t(lp_inventory_t& inventory);
    ~lp_pq_client_t() override;

    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;
    uint32_t default_port() const override { return 5432; }

    // Connecting waits this long unless the connection string sets
    // connect_timeout; a query waits this long for its answer.
    static constexpr unsigned connect_timeout_seconds = 5;
    static constexpr std::chrono::seconds query_timeout{10};

protected:
    const std::string& conn_for_tag(const std::string& tag) override;
    const std::string& default_conn() override;
    bool is_conn_configured(const std::string& conn) override;
    const std::string& request_for_tag(const std::string& tag) override;
    // Numbers the placeholder: "$1", "$2", ...
    void emit_placeholder(lp_db_call_t& call, std::string& text) const override;
    void query(lp_db_connection_t& entry, lp_db_call_t& call) const override;
    void disconnect(void* handle) const override;
    void* connect(lp_db_connection_t& entry, const lp_db_call_t& call) const override;
};
