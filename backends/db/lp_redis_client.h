// Redis back-end (lookup type 23): one command per request, plain or over
// TLS; the reply, flattened, gives the values.
#pragma once

#include <string>
#include <vector>

#include "db/lp_db_client.h"

struct redisReply;
class lp_redis_conn_t;

class lp_redis_client_t : public lp_db_client_t {
public:
    explicit lp_redis_client_t(lp_inventory_t& inventory);
    ~lp_redis_client_t() override;

    bool has_tag(const std::string& tag) override;
    int lookup_type() const override;
    uint32_t default_port() const override { return 6379; }
    // The user part of a connection string is the AUTH secret.
    bool user_in_description() const override { return false; }

protected:
    const std::string& conn_for_tag(const std::string& tag) override;
    const std::string& default_conn() override;
    bool is_conn_configured(const std::string& conn) override;
    const std::string& request_for_tag(const std::string& tag) override;
    // TLS and plain connections to one server never share an entry.
    std::string pool_discriminator(const std::string& tag) override;
    // The TLS settings, for the connection.
    void read_settings(lp_db_call_t& call) override;
    void emit_placeholder(lp_db_call_t& call, std::string& text) const override;
    void query(lp_db_connection_t& entry, lp_db_call_t& call) const override;
    void disconnect(void* handle) const override;
    void* connect(lp_db_connection_t& entry, const lp_db_call_t& call) const override;

private:
    // Sends a connection step (AUTH, SELECT); a missing reply fails with
    // EC_DB_OPEN_ERROR. Returns the reply.
    redisReply* connect_step(lp_redis_conn_t& conn, const lp_db_call_t& call, const char* command,
                             const std::string& argument) const;
    // A connection that could not be made: EC_DB_OPEN_ERROR, as a time-out
    // when it ran out of time.
    [[noreturn]] void fail_connect(const lp_db_call_t& call, const lp_redis_conn_t& conn,
                                   const std::string& message) const;
    void collect_reply(const lp_db_call_t& call, const lp_redis_conn_t& conn, const redisReply* reply,
                       std::vector<std::string>& rows) const;
};

// Marks the placeholder whose "$" ends text: the "$" stays as the value's
// stand-in, so that trimming keeps its place. leading counts the blanks
// before the first mark, which trimming removes.
void lp_redis_mark_placeholder(const std::string& text, std::vector<size_t>& marks, size_t& leading);

// Splits the expanded (trimmed) text into arguments at spaces, each value of
// params at its marked place; the arguments go back to back into bytes and
// their ends into ends. Throws std::logic_error when a mark is not in place.
void lp_redis_split_command(const std::string& text, const std::vector<size_t>& marks, size_t leading,
                            const std::vector<std::string>& params, std::string& bytes, std::vector<size_t>& ends);

// EC_DB_CONN_CLOSED for a connection that is lost (I/O error, end of
// stream, time limit), else EC_DB_COMMON_ERROR.
qv::ErrorCode redis_error_code(const lp_redis_conn_t& conn);
