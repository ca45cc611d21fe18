#include "db/lp_redis_client.h"

#include <locale>
#include <memory>
#include <stdexcept>

#include <boost/algorithm/string/classification.hpp>
#include <boost/filesystem/operations.hpp>
#include <hiredis/hiredis.h>

#include "cf_log.h"
#include "db/lp_redis_tls.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

struct reply_deleter_t {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using reply_ptr_t = std::unique_ptr<redisReply, reply_deleter_t>;

const std::string connect_failed = "Cannot connect to database: ";

} // namespace

qv::ErrorCode redis_error_code(const lp_redis_conn_t& conn)
{
    switch (conn.err()) {
    case REDIS_ERR_IO:
    case REDIS_ERR_EOF:
        return qv::EC_DB_CONN_CLOSED;
    default:
        return qv::EC_DB_COMMON_ERROR;
    }
}

lp_redis_client_t::lp_redis_client_t(lp_inventory_t& inventory_) : lp_db_client_t(inventory_) {}

lp_redis_client_t::~lp_redis_client_t()
{
    close_all();
}

bool lp_redis_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->redis_has_tag(tag);
}

int lp_redis_client_t::lookup_type() const
{
    return lp::LOOKUP_REDIS;
}

const std::string& lp_redis_client_t::conn_for_tag(const std::string& tag)
{
    return inventory.settings->redis_conn(tag);
}

const std::string& lp_redis_client_t::default_conn()
{
    return inventory.settings->redis_default_conn();
}

bool lp_redis_client_t::is_conn_configured(const std::string& conn)
{
    return inventory.settings->redis_conn_configured(conn);
}

const std::string& lp_redis_client_t::request_for_tag(const std::string& tag)
{
    return inventory.settings->redis_request(tag);
}

std::string lp_redis_client_t::pool_discriminator(const std::string& tag)
{
    return inventory.settings->redis_use_ssl(tag) ? "tls" : std::string();
}

void lp_redis_client_t::read_settings(lp_db_call_t& call)
{
    const lp_settings_t& settings = *inventory.settings;
    call.tls.use = settings.redis_use_ssl(call.tag);
    if (!call.tls.use)
        return;
    call.tls.ca_path = settings.redis_ca_path();
    call.tls.certificate_path = settings.redis_certificate_path();
    call.tls.key_path = settings.redis_key_path();
}

void lp_redis_mark_placeholder(const std::string& text, std::vector<size_t>& marks, size_t& leading)
{
    const size_t place = text.size() - 1;
    if (marks.empty()) {
        // The same test of white space as the trimming of the expansion.
        const auto blank = boost::algorithm::is_space(std::locale());
        leading = 0;
        while (leading < place && blank(text[leading]))
            ++leading;
    }
    marks.push_back(place);
}

void lp_redis_split_command(const std::string& text, const std::vector<size_t>& marks, size_t leading,
                            const std::vector<std::string>& params, std::string& bytes, std::vector<size_t>& ends)
{
    bytes.clear();
    ends.clear();
    if (marks.size() != params.size())
        throw std::logic_error("placeholders and values differ");
    size_t next = 0;
    bool in_arg = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (next < marks.size() && i + leading == marks[next]) {
            if (text[i] != '$')
                throw std::logic_error("placeholder out of place");
            bytes += params[next++];
            in_arg = true;
        } else if (text[i] == ' ') {
            if (in_arg)
                ends.push_back(bytes.size());
            in_arg = false;
        } else {
            bytes += text[i];
            in_arg = true;
        }
    }
    if (next != marks.size())
        throw std::logic_error("placeholder out of place");
    if (in_arg)
        ends.push_back(bytes.size());
}

void lp_redis_client_t::emit_placeholder(lp_db_call_t& call, std::string& text) const
{
    lp_redis_mark_placeholder(text, call.marks, call.leading_blanks);
}

void lp_redis_client_t::disconnect(void* handle) const
{
    delete static_cast<lp_redis_conn_t*>(handle);
}

redisReply* lp_redis_client_t::connect_step(lp_redis_conn_t& conn, const lp_db_call_t& call, const char* command,
                                            const std::string& argument) const
{
    const char* args[] = {command, argument.data()};
    const size_t lens[] = {std::char_traits<char>::length(command), argument.size()};
    redisReply* reply = conn.command_argv(2, args, lens);
    if (reply == nullptr)
        fail_connect(call, conn, connect_failed + conn.errstr());
    return reply;
}

void lp_redis_client_t::fail_connect(const lp_db_call_t& call, const lp_redis_conn_t& conn,
                                     const std::string& message) const
{
    if (conn.timed_out())
        fail_timed_out(call, message, qv::EC_DB_OPEN_ERROR);
    fail(call, message, qv::EC_DB_OPEN_ERROR);
}

void* lp_redis_client_t::connect(lp_db_connection_t& entry, const lp_db_call_t& call) const
{
    std::unique_ptr<lp_redis_ssl_context_t> tls;
    if (call.tls.use) {
        if (!lp_redis_init_openssl())
            fail(call, connect_failed + "Cannot init OpenSSL", qv::EC_DB_OPEN_ERROR);
        const std::string& ca = call.tls.ca_path;
        const std::string& cert = call.tls.certificate_path;
        const std::string& key = call.tls.key_path;
        boost::system::error_code ignored;
        const bool ca_is_dir = boost::filesystem::is_directory(ca, ignored);
        const bool with_cert = !cert.empty() && !key.empty();
        lp_redis_ssl_error_t error = LP_REDIS_SSL_OK;
        tls = lp_redis_create_ssl_context(ca_is_dir ? nullptr : ca.c_str(), ca_is_dir ? ca.c_str() : nullptr,
                                          with_cert ? cert.c_str() : nullptr, with_cert ? key.c_str() : nullptr,
                                          entry.host.empty() ? nullptr : entry.host.c_str(), &error);
        if (!tls)
            fail(call, connect_failed + "Cannot create SSL Redis context: " + lp_redis_ssl_error_text(error),
                 qv::EC_DB_OPEN_ERROR);
        if (!with_cert && (!cert.empty() || !key.empty()) && cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, call.prefix + "RedisCertificatePath and RedisKeyPath parameters "
                                                             "are not provided together. Both will be ignored");
    }

    std::unique_ptr<lp_redis_conn_t> conn;
    if (entry.kind == lp_db_connection_t::KIND_TCP) {
        std::string host = entry.host;
        if (!host.empty() && host.front() == '[')
            host.erase(0, 1);
        if (!host.empty() && host.back() == ']')
            host.pop_back();
        conn = lp_redis_conn_t::connect_tcp(host, static_cast<int>(entry.port));
    } else if (entry.kind == lp_db_connection_t::KIND_UNIX) {
        conn = lp_redis_conn_t::connect_unix(entry.path);
    } else {
        fail(call, "Only \"tcp://\" and \"unix://\" schema prefixes are allowed", qv::EC_BAD_CONFIG);
    }
    if (!conn)
        fail(call, connect_failed + "Cannot allocate redis context", qv::EC_DB_OPEN_ERROR);
    if (conn->err() != 0)
        fail_connect(call, *conn, connect_failed + conn->errstr());
    if (tls && !conn->initiate_ssl(*tls))
        fail_connect(call, *conn, connect_failed + "Cannot initiate Redis SSL with context: " + conn->errstr());

    // A refused AUTH shows in the next command's reply.
    if (!entry.user.empty())
        freeReplyObject(connect_step(*conn, call, "AUTH", entry.user));
    // A refused SELECT would leave the connection on another database.
    if (!entry.db.empty()) {
        const reply_ptr_t reply(connect_step(*conn, call, "SELECT", entry.db));
        if (reply->type == REDIS_REPLY_ERROR)
            fail(call, connect_failed + std::string(reply->str, reply->len), qv::EC_DB_OPEN_ERROR);
    }
    return conn.release();
}

void lp_redis_client_t::collect_reply(const lp_db_call_t& call, const lp_redis_conn_t& conn, const redisReply* reply,
                                      std::vector<std::string>& rows) const
{
    switch (reply->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
        rows.emplace_back(reply->str, reply->len);
        break;
    case REDIS_REPLY_ARRAY:
        for (size_t i = 0; i < reply->elements; ++i)
            collect_reply(call, conn, reply->element[i], rows);
        break;
    case REDIS_REPLY_INTEGER:
        rows.push_back(std::to_string(reply->integer));
        break;
    case REDIS_REPLY_NIL:
        rows.emplace_back();
        break;
    case REDIS_REPLY_ERROR:
        fail(call, std::string(reply->str, reply->len), redis_error_code(conn));
    default:
        fail(call, "Unexpected database error", redis_error_code(conn));
    }
}

void lp_redis_client_t::query(lp_db_connection_t& entry, lp_db_call_t& call) const
{
    auto* conn = static_cast<lp_redis_conn_t*>(get_connection(entry, call));
    // The command: its arguments back to back, split at spaces, each value
    // whole at its marked place.
    std::string bytes;
    std::vector<size_t> ends;
    const std::string& text = expand_request(call);
    lp_redis_split_command(text, call.marks, call.leading_blanks, call.params, bytes, ends);
    std::vector<const char*> argv;
    std::vector<size_t> argv_lens;
    argv.reserve(ends.size());
    argv_lens.reserve(ends.size());
    size_t begin = 0;
    for (const size_t end : ends) {
        argv.push_back(bytes.data() + begin);
        argv_lens.push_back(end - begin);
        begin = end;
    }
    const reply_ptr_t reply(conn->command_argv(static_cast<int>(argv.size()), argv.data(), argv_lens.data()));
    if (!reply && conn->timed_out())
        fail_timed_out(call, conn->errstr(), redis_error_code(*conn));
    if (!reply)
        fail(call, conn->errstr(), redis_error_code(*conn), conn->err() != 0);
    collect_reply(call, *conn, reply.get(), call.rows);
}
