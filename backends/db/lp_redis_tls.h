// Redis connections, plain or over TLS: hiredis formats the commands and
// parses the replies, this layer moves the bytes over the socket (through
// OpenSSL when TLS is on) with time limits, so that both kinds behave alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

struct redisContext;
struct redisReply;
struct ssl_st;
struct ssl_ctx_st;

// Initialises OpenSSL once per process; false when that failed.
bool lp_redis_init_openssl();

enum lp_redis_ssl_error_t {
    LP_REDIS_SSL_OK = 0,
    LP_REDIS_SSL_CREATE_FAILED,
    LP_REDIS_SSL_CERT_KEY_REQUIRED,
    LP_REDIS_SSL_CA_LOAD_FAILED,
    LP_REDIS_SSL_CERT_LOAD_FAILED,
    LP_REDIS_SSL_KEY_LOAD_FAILED,
};

const char* lp_redis_ssl_error_text(lp_redis_ssl_error_t error);

// A client TLS context: trust anchors, the optional client certificate and
// the name sent for SNI. The peer's chain is verified, its host name is not.
class lp_redis_ssl_context_t {
public:
    lp_redis_ssl_context_t(ssl_ctx_st* ctx, std::string server_name);
    ~lp_redis_ssl_context_t();
    lp_redis_ssl_context_t(const lp_redis_ssl_context_t&) = delete;
    lp_redis_ssl_context_t& operator=(const lp_redis_ssl_context_t&) = delete;

    ssl_ctx_st* ctx;
    const std::string server_name;
};

// ca_file is used when not null, also when empty (which fails to load);
// ca_dir is a hashed certificate directory. cert and key are both null or
// both set; server_name may be null. Null on failure, with *error set.
std::unique_ptr<lp_redis_ssl_context_t> lp_redis_create_ssl_context(const char* ca_file, const char* ca_dir,
    const char* cert, const char* key, const char* server_name, lp_redis_ssl_error_t* error);

// One connection to a Redis server. A failure sets the hiredis context's
// error kind and text; after that the connection is unusable.
class lp_redis_conn_t {
public:
    static constexpr std::chrono::seconds connect_timeout{5};  // TLS handshake included
    static constexpr std::chrono::seconds command_timeout{10};

    // Null only when no context could be allocated; otherwise check err().
    static std::unique_ptr<lp_redis_conn_t> connect_tcp(const std::string& host, int port);
    static std::unique_ptr<lp_redis_conn_t> connect_unix(const std::string& path);

    ~lp_redis_conn_t();
    lp_redis_conn_t(const lp_redis_conn_t&) = delete;
    lp_redis_conn_t& operator=(const lp_redis_conn_t&) = delete;

    // Starts TLS on the connected socket within what is left of the connect
    // time limit; false with the error set on failure.
    bool initiate_ssl(const lp_redis_ssl_context_t& context);

    // Sends one command and waits for its reply; null with the error set on
    // failure. The caller frees the reply with freeReplyObject.
    redisReply* command_argv(int argc, const char* const* argv, const size_t* argvlen);

    int err() const;
    const char* errstr() const;
    // Whether the error is that the server did not answer within a limit.
    bool timed_out() const { return timed_out_; }
    bool uses_ssl() const { return ssl != nullptr; }

private:
    using clock_t = std::chrono::steady_clock;

    lp_redis_conn_t(redisContext* context, clock_t::time_point started);
    void set_error(int kind, const std::string& text);
    void set_ssl_error(int kind, const char* what, unsigned long code);
    // Waits until the socket is ready for the given poll events; false with
    // the error set when the deadline passed or poll failed.
    bool wait_ready(short events, clock_t::time_point deadline);
    // After an SSL call that returned r: waits for the socket the call
    // wants (true: call again), or records its error (false).
    bool ssl_wait_or_fail(int r, const char* failure, clock_t::time_point deadline);
    bool write_all(const char* data, size_t size, clock_t::time_point deadline);
    // Reads what is available into the reader; false with the error set.
    bool read_some(clock_t::time_point deadline);

    redisContext* context;
    ssl_st* ssl = nullptr;
    const clock_t::time_point started;
    bool timed_out_ = false;
};
