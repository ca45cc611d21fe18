#include "db/lp_redis_tls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <hiredis/hiredis.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

constexpr std::chrono::seconds lp_redis_conn_t::connect_timeout;
constexpr std::chrono::seconds lp_redis_conn_t::command_timeout;

bool lp_redis_init_openssl()
{
    static const bool done = OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                                              nullptr) == 1;
    return done;
}

const char* lp_redis_ssl_error_text(lp_redis_ssl_error_t error)
{
    switch (error) {
    case LP_REDIS_SSL_OK:
        return "No Error";
    case LP_REDIS_SSL_CREATE_FAILED:
        return "Failed to create OpenSSL SSL_CTX";
    case LP_REDIS_SSL_CERT_KEY_REQUIRED:
        return "Client cert and key must both be specified or skipped";
    case LP_REDIS_SSL_CA_LOAD_FAILED:
        return "Failed to load CA Certificate or CA Path";
    case LP_REDIS_SSL_CERT_LOAD_FAILED:
        return "Failed to load client certificate";
    case LP_REDIS_SSL_KEY_LOAD_FAILED:
        return "Failed to load private key";
    }
    return "Unknown error";
}

lp_redis_ssl_context_t::lp_redis_ssl_context_t(ssl_ctx_st* ctx_, std::string server_name_)
    : ctx(ctx_), server_name(std::move(server_name_))
{
}

lp_redis_ssl_context_t::~lp_redis_ssl_context_t()
{
    SSL_CTX_free(ctx);
}

std::unique_ptr<lp_redis_ssl_context_t> lp_redis_create_ssl_context(const char* ca_file, const char* ca_dir,
    const char* cert, const char* key, const char* server_name, lp_redis_ssl_error_t* error)
{
    *error = LP_REDIS_SSL_OK;
    if ((cert == nullptr) != (key == nullptr)) {
        *error = LP_REDIS_SSL_CERT_KEY_REQUIRED;
        return nullptr;
    }
    ERR_clear_error();
    SSL_CTX* raw = SSL_CTX_new(TLS_client_method());
    if (raw == nullptr) {
        ERR_clear_error();
        *error = LP_REDIS_SSL_CREATE_FAILED;
        return nullptr;
    }
    auto context = std::make_unique<lp_redis_ssl_context_t>(raw, server_name ? server_name : "");
    // The chain is checked against these anchors only: no default store.
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
    if (ca_file != nullptr || ca_dir != nullptr) {
        // OpenSSL would take an empty file name as "no file"; it names none.
        if ((ca_file != nullptr && *ca_file == '\0') || (ca_dir != nullptr && *ca_dir == '\0')
            || SSL_CTX_load_verify_locations(raw, ca_file, ca_dir) != 1) {
            ERR_clear_error();
            *error = LP_REDIS_SSL_CA_LOAD_FAILED;
            return nullptr;
        }
    }
    if (cert != nullptr) {
        if (SSL_CTX_use_certificate_chain_file(raw, cert) != 1) {
            ERR_clear_error();
            *error = LP_REDIS_SSL_CERT_LOAD_FAILED;
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(raw, key, SSL_FILETYPE_PEM) != 1) {
            ERR_clear_error();
            *error = LP_REDIS_SSL_KEY_LOAD_FAILED;
            return nullptr;
        }
    }
    ERR_clear_error();
    return context;
}

namespace {

timeval to_timeval(std::chrono::seconds s)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(s.count());
    return tv;
}

} // namespace

std::unique_ptr<lp_redis_conn_t> lp_redis_conn_t::connect_tcp(const std::string& host, int port)
{
    const auto started = clock_t::now();
    redisContext* c = redisConnectWithTimeout(host.c_str(), port, to_timeval(connect_timeout));
    if (c == nullptr)
        return nullptr;
    return std::unique_ptr<lp_redis_conn_t>(new lp_redis_conn_t(c, started));
}

std::unique_ptr<lp_redis_conn_t> lp_redis_conn_t::connect_unix(const std::string& path)
{
    const auto started = clock_t::now();
    redisContext* c = redisConnectUnixWithTimeout(path.c_str(), to_timeval(connect_timeout));
    if (c == nullptr)
        return nullptr;
    return std::unique_ptr<lp_redis_conn_t>(new lp_redis_conn_t(c, started));
}

lp_redis_conn_t::lp_redis_conn_t(redisContext* c, clock_t::time_point started_) : context(c), started(started_)
{
    // A connect that failed only after its whole limit ran out of time.
    if (context->err == REDIS_ERR_IO && clock_t::now() - started >= connect_timeout)
        timed_out_ = true;
    if (context->err == 0) {
        const int flags = fcntl(context->fd, F_GETFL);
        if (flags < 0 || fcntl(context->fd, F_SETFL, flags | O_NONBLOCK) < 0)
            set_error(REDIS_ERR_IO, std::strerror(errno));
    }
}

lp_redis_conn_t::~lp_redis_conn_t()
{
    if (ssl != nullptr) {
        if (context->err == 0)
            SSL_shutdown(ssl);  // one try at close_notify; never waits
        SSL_free(ssl);
        ERR_clear_error();
    }
    redisFree(context);
}

int lp_redis_conn_t::err() const
{
    return context->err;
}

const char* lp_redis_conn_t::errstr() const
{
    return context->errstr;
}

void lp_redis_conn_t::set_error(int kind, const std::string& text)
{
    context->err = kind;
    std::snprintf(context->errstr, sizeof context->errstr, "%s", text.c_str());
}

void lp_redis_conn_t::set_ssl_error(int kind, const char* what, unsigned long code)
{
    std::string text = what;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        text += ": ";
        text += reason != nullptr ? reason : "TLS error";
    }
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        text += " (";
        text += X509_verify_cert_error_string(verify);
        text += ")";
    }
    set_error(kind, text);
    ERR_clear_error();
}

bool lp_redis_conn_t::wait_ready(short events, clock_t::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_t::now());
        if (left.count() <= 0) {
            set_error(REDIS_ERR_IO, "Timed out waiting for the server");
            timed_out_ = true;
            return false;
        }
        pollfd p{context->fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR) {
            set_error(REDIS_ERR_IO, std::strerror(errno));
            return false;
        }
    }
}

bool lp_redis_conn_t::initiate_ssl(const lp_redis_ssl_context_t& tls)
{
    if (context->err != 0)
        return false;
    ERR_clear_error();
    ssl = SSL_new(tls.ctx);
    if (ssl == nullptr) {
        set_error(REDIS_ERR_OTHER, "Couldn't create new SSL instance");
        return false;
    }
    if (SSL_set_fd(ssl, context->fd) != 1
        || (!tls.server_name.empty() && SSL_set_tlsext_host_name(ssl, tls.server_name.c_str()) != 1)) {
        set_ssl_error(REDIS_ERR_OTHER, "SSL set-up failed", ERR_peek_last_error());
        return false;
    }
    const auto deadline = started + connect_timeout;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_connect(ssl);
        if (r == 1)
            return true;
        if (!ssl_wait_or_fail(r, "TLS handshake failed", deadline))
            return false;
    }
}

bool lp_redis_conn_t::ssl_wait_or_fail(int r, const char* failure, clock_t::time_point deadline)
{
    const int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return wait_ready(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
    const unsigned long code = ERR_peek_last_error();
    if (e == SSL_ERROR_SYSCALL && code == 0)
        set_error(REDIS_ERR_IO, r < 0 && errno != 0 ? std::strerror(errno) : "Server closed the connection");
    else
        set_ssl_error(REDIS_ERR_IO, failure, code);
    return false;
}

bool lp_redis_conn_t::write_all(const char* data, size_t size, clock_t::time_point deadline)
{
    while (size > 0) {
        if (ssl != nullptr) {
            ERR_clear_error();
            // Retried with the same arguments until the whole record is out.
            const int n = SSL_write(ssl, data, static_cast<int>(size));
            if (n > 0) {
                data += n;
                size -= static_cast<size_t>(n);
                continue;
            }
            if (!ssl_wait_or_fail(n, "TLS write failed", deadline))
                return false;
            continue;
        }
        const ssize_t n = send(context->fd, data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_ready(POLLOUT, deadline))
                return false;
        } else if (errno != EINTR) {
            set_error(REDIS_ERR_IO, std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool lp_redis_conn_t::read_some(clock_t::time_point deadline)
{
    char buf[16 * 1024];
    for (;;) {
        ssize_t n;
        if (ssl != nullptr) {
            ERR_clear_error();
            const int r = SSL_read(ssl, buf, sizeof buf);
            if (r <= 0) {
                const int e = SSL_get_error(ssl, r);
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                    if (!wait_ready(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                        return false;
                    continue;
                }
                const unsigned long code = ERR_peek_last_error();
                if (e == SSL_ERROR_SYSCALL && code == 0 && r < 0 && errno != 0) {
                    set_error(REDIS_ERR_IO, std::strerror(errno));
                    return false;
                }
                // close_notify, an alert or the end of the stream: the
                // server has gone away.
                if (e == SSL_ERROR_SSL)
                    set_ssl_error(REDIS_ERR_EOF, "Server closed the connection", code);
                else
                    set_error(REDIS_ERR_EOF, "Server closed the connection");
                return false;
            }
            n = r;
        } else {
            n = recv(context->fd, buf, sizeof buf, 0);
            if (n == 0) {
                set_error(REDIS_ERR_EOF, "Server closed the connection");
                return false;
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    if (!wait_ready(POLLIN, deadline))
                        return false;
                } else if (errno != EINTR) {
                    set_error(REDIS_ERR_IO, std::strerror(errno));
                    return false;
                }
                continue;
            }
        }
        if (redisReaderFeed(context->reader, buf, static_cast<size_t>(n)) != REDIS_OK) {
            set_error(context->reader->err, context->reader->errstr);
            return false;
        }
        return true;
    }
}

redisReply* lp_redis_conn_t::command_argv(int argc, const char* const* argv, const size_t* argvlen)
{
    if (context->err != 0)
        return nullptr;
    char* cmd = nullptr;
    // hiredis neither changes the arguments nor keeps them.
    const int len = redisFormatCommandArgv(&cmd, argc, const_cast<const char**>(argv), argvlen);
    if (len < 0) {
        set_error(REDIS_ERR_OOM, "Out of memory");
        return nullptr;
    }
    const std::unique_ptr<char, decltype(&redisFreeCommand)> owned(cmd, &redisFreeCommand);
    const auto deadline = clock_t::now() + command_timeout;
    if (!write_all(cmd, static_cast<size_t>(len), deadline))
        return nullptr;
    // The reply cannot be there yet: wait before the first read.
    if ((ssl == nullptr || SSL_pending(ssl) == 0) && !wait_ready(POLLIN, deadline))
        return nullptr;
    for (;;) {
        void* reply = nullptr;
        if (redisReaderGetReply(context->reader, &reply) != REDIS_OK) {
            set_error(context->reader->err, context->reader->errstr);
            return nullptr;
        }
        if (reply != nullptr)
            return static_cast<redisReply*>(reply);
        if (!read_some(deadline))
            return nullptr;
    }
}
