#include "db/lp_pq_client.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <memory>
#include <optional>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <libpq-fe.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include "cf_log.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

using pq_result_ptr = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Server notices would otherwise go to standard error unescaped.
void ignore_notice(void*, const char*) {}

std::string trimmed(const char* text)
{
    std::string s = text ? text : "";
    boost::algorithm::trim_if(s, boost::algorithm::is_space(std::locale()));
    return s;
}

// A lost connection, a timed-out one (already closed) or one whose server
// went away counts as closed, whatever the result says.
qv::ErrorCode pq_error_code(PGconn* conn, const PGresult* result)
{
    if (!result || PQstatus(conn) == CONNECTION_BAD)
        return qv::EC_DB_CONN_CLOSED;
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (state && (std::strncmp(state, "08", 2) == 0 || std::strncmp(state, "57", 2) == 0 ||
                  std::strncmp(state, "58", 2) == 0))
        return qv::EC_DB_CONN_CLOSED;
    return qv::EC_DB_COMMON_ERROR;
}

// Waits until the socket is ready for the events or the deadline passes.
bool wait_socket(PGconn* conn, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fd{PQsocket(conn), events, 0};
        const int ready = ::poll(&fd, 1, int(std::min<long long>(left.count(), INT_MAX)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return true;  // let libpq report the socket's error
    }
}

// Seconds that connecting may take: connect_timeout as libpq reads it (at
// least 2; 0 or less for no limit), the default when it is not set. Empty
// for a value that is no integer.
std::optional<long> connect_limit(const lp_db_connection_t::params_t& params, long default_seconds)
{
    const auto found = params.find("connect_timeout");
    if (found == params.end())
        return default_seconds;
    const char* text = found->second.c_str();
    char* end = nullptr;
    errno = 0;
    const long seconds = std::strtol(text, &end, 10);
    if (end == text || errno != 0 || seconds != long(int(seconds)))
        return std::nullopt;
    while (std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (*end != '\0')
        return std::nullopt;
    return seconds <= 0 ? 0 : std::max(seconds, 2L);
}

} // namespace

lp_pq_client_t::lp_pq_client_t(lp_inventory_t& inventory_) : lp_db_client_t(inventory_) {}

lp_pq_client_t::~lp_pq_client_t()
{
    close_all();
}

bool lp_pq_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->pq_has_tag(tag);
}

int lp_pq_client_t::lookup_type() const
{
    return lp::LOOKUP_PQ;
}

const std::string& lp_pq_client_t::conn_for_tag(const std::string& tag)
{
    return inventory.settings->pq_conn(tag);
}

const std::string& lp_pq_client_t::default_conn()
{
    return inventory.settings->pq_default_conn();
}

bool lp_pq_client_t::is_conn_configured(const std::string& conn)
{
    return inventory.settings->pq_conn_configured(conn);
}

const std::string& lp_pq_client_t::request_for_tag(const std::string& tag)
{
    return inventory.settings->pq_request(tag);
}

void lp_pq_client_t::emit_placeholder(lp_db_call_t& call, std::string& text) const
{
    // The value joins params right after.
    text += std::to_string(call.params.size() + 1);
}

void lp_pq_client_t::disconnect(void* handle) const
{
    PQfinish(static_cast<PGconn*>(handle));
}

void* lp_pq_client_t::connect(lp_db_connection_t& entry, const lp_db_call_t& call) const
{
    if (entry.kind != lp_db_connection_t::KIND_TCP && entry.kind != lp_db_connection_t::KIND_UNIX)
        fail(call, "Only \"tcp://\" and \"unix://\" schema prefixes are allowed", qv::EC_BAD_CONFIG);
    if (entry.user.empty()) {
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, call.prefix + "No database user name found, name of current user is used");
        // Reentrant: other threads may look users up meanwhile.
        const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
        passwd pwd{};
        passwd* pw = nullptr;
        const int rc = ::getpwuid_r(::getuid(), &pwd, buffer.data(), buffer.size(), &pw);
        if (!pw)
            fail(call, std::string("Cannot get name of current user: ") + std::strerror(rc ? rc : ENOENT),
                 qv::EC_DB_OPEN_ERROR);
        entry.user = pw->pw_name;
    }
    if (entry.db.empty()) {
        if (cf_log_threshold <= CF_LOG_WARNING)
            cf_log_message(CF_LOG_WARNING, call.prefix + "No database name found, database \"" +
                                               cf_log_escape(entry.user) + "\" is used");
        entry.db = entry.user;
    }

    // Keywords and values: no text of the connection string is ever read
    // as a URI or as further parameters.
    std::string host, port;
    if (entry.kind == lp_db_connection_t::KIND_TCP) {
        host = entry.host;
        if (host.size() > 1 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        port = std::to_string(entry.port);
    } else {
        // A directory holding the socket, on the default port.
        host = entry.path;
    }
    std::vector<const char*> keys{"host", "user", "password", "dbname"};
    std::vector<const char*> values{host.c_str(), entry.user.c_str(), entry.password.c_str(), entry.db.c_str()};
    if (!port.empty()) {
        keys.push_back("port");
        values.push_back(port.c_str());
    }
    for (const auto& param : entry.params) {
        keys.push_back(param.first.c_str());
        values.push_back(param.second.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);

    const std::optional<long> limit = connect_limit(entry.params, connect_timeout_seconds);
    if (!limit)
        fail(call, "Cannot connect to database: invalid integer value \"" + entry.params.at("connect_timeout") +
                      "\" for connection option \"connect_timeout\"",
             qv::EC_DB_OPEN_ERROR);
    // Connects step by step, so that running out of time is told apart.
    PGconn* conn = PQconnectStartParams(keys.data(), values.data(), 0);
    if (!conn)
        fail(call, "Cannot connect to database: out of memory", qv::EC_DB_OPEN_ERROR);
    const auto deadline = *limit == 0 ? std::chrono::steady_clock::time_point::max()
                                      : std::chrono::steady_clock::now() + std::chrono::seconds(*limit);
    PostgresPollingStatusType polling = PQstatus(conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (polling == PGRES_POLLING_READING || polling == PGRES_POLLING_WRITING) {
        if (!wait_socket(conn, polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline)) {
            PQfinish(conn);
            fail_timed_out(call, "Cannot connect to database: no answer within " + std::to_string(*limit) + " seconds",
                           qv::EC_DB_OPEN_ERROR);
        }
        polling = PQconnectPoll(conn);
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string message = trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        fail(call, "Cannot connect to database: " + message, qv::EC_DB_OPEN_ERROR);
    }
    PQsetNoticeProcessor(conn, ignore_notice, nullptr);
    // Sending never blocks: a full socket is waited for with the deadline.
    PQsetnonblocking(conn, 1);
    return conn;
}

void lp_pq_client_t::query(lp_db_connection_t& entry, lp_db_call_t& call) const
{
    auto* conn = static_cast<PGconn*>(get_connection(entry, call));
    const std::string& text = expand_request(call);
    const std::vector<std::string>& params = call.params;
    const auto deadline = std::chrono::steady_clock::now() + query_timeout;

    int sent;
    if (params.empty()) {
        sent = PQsendQuery(conn, text.c_str());
    } else {
        std::vector<const char*> param_values;
        param_values.reserve(params.size());
        for (const std::string& value : params) {
            // Text parameters end at their first NUL byte: never send a cut value.
            if (value.find('\0') != std::string::npos)
                fail(call,
                     "Cannot execute the request: the value of $" + std::to_string(param_values.size() + 1) +
                         " holds a NUL byte, which cannot be sent as text",
                     qv::EC_DB_COMMON_ERROR);
            param_values.push_back(value.c_str());
        }
        sent = PQsendQueryParams(conn, text.c_str(), int(param_values.size()), nullptr, param_values.data(), nullptr,
                                 nullptr, 0);
    }
    if (!sent)
        fail(call, "Cannot execute the request: " + trimmed(PQerrorMessage(conn)), pq_error_code(conn, nullptr));

    // Sends what is left and waits for the whole answer, within the deadline.
    bool timed_out = false;
    int flushed;
    while ((flushed = PQflush(conn)) == 1) {
        if (!wait_socket(conn, POLLIN | POLLOUT, deadline)) {
            timed_out = true;
            break;
        }
        if (!PQconsumeInput(conn))
            break;
    }
    while (!timed_out && flushed == 0 && PQisBusy(conn)) {
        if (!wait_socket(conn, POLLIN, deadline))
            timed_out = true;
        else if (!PQconsumeInput(conn))
            break;
    }
    if (timed_out)
        fail_timed_out(call,
                       "Cannot execute the request: no answer within " + std::to_string(query_timeout.count()) +
                           " seconds",
                       qv::EC_DB_CONN_CLOSED);

    // As PQexec does: the last result, or the first error.
    pq_result_ptr result(nullptr, &PQclear);
    while (PGresult* next = PQgetResult(conn)) {
        pq_result_ptr current(next, &PQclear);
        const ExecStatusType status = PQresultStatus(next);
        if (result && (PQresultStatus(result.get()) == PGRES_FATAL_ERROR))
            continue;
        result = std::move(current);
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH)
            break;
    }
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK) {
        // A copy left in progress leaves the connection unusable.
        const bool stuck = status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH;
        fail(call, "Cannot execute the request: " + trimmed(PQerrorMessage(conn)), pq_error_code(conn, result.get()),
             stuck);
    }

    const int n = PQntuples(result.get());
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, call.prefix + "Got " + std::to_string(n) + " tuple(s)");
    if (n > 0 && PQnfields(result.get()) < 1)
        throw lp_db_error_t(pq_error_code(conn, result.get()), false);
    const std::locale locale;
    const auto is_space = boost::algorithm::is_space(locale);
    std::vector<std::string>& rows = call.rows;
    rows.reserve(rows.size() + size_t(n));
    for (int i = 0; i < n; ++i) {
        const char* value = PQgetvalue(result.get(), i, 0);
        const char* end = value + PQgetlength(result.get(), i, 0);
        while (value != end && is_space(*value))
            ++value;
        while (end != value && is_space(end[-1]))
            --end;
        rows.emplace_back(value, end);
    }
}
