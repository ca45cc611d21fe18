// PostgreSQL back-end (lookup type 20): requests through libpq with the
// user and domain bound as parameters $1, $2, ...
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

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
    // Numbers the placeholder: "$1", "$2", ...
    void emit_placeholder(std::string& text, const std::string& value) override;
    void query(const std::string& tag, const std::string& user, const std::string& domain) override;
    void disconnect(void* handle) override;
    void* connect(lp_db_connection_t& entry, const std::string& tag) override;

private:
    uint64_t param_counter = 1;
    std::vector<const char*> param_values;
};
