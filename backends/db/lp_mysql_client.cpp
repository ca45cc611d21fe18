#include "db/lp_mysql_client.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <locale>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <mysql.h>

#include "cf_errors.h"
#include "cf_log.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

using mysql_ptr = std::unique_ptr<MYSQL, decltype(&mysql_close)>;
using mysql_stmt_ptr = std::unique_ptr<MYSQL_STMT, decltype(&mysql_stmt_close)>;
using mysql_result_ptr = std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)>;

// How a connection-string parameter's value is passed to the library.
enum class option_kind_t {
    uint32,   // unsigned int
    size,     // size_t, parsed like uint32
    boolean,  // my_bool
    string,
};

struct mysql_option_t {
    option_kind_t kind;
    mysql_option option;
};

const std::unordered_map<std::string, mysql_option_t> mysql_option_table{
    {"init", {option_kind_t::string, MYSQL_INIT_COMMAND}},
    {"compression", {option_kind_t::boolean, MYSQL_OPT_COMPRESS}},
    {"connect-timeout", {option_kind_t::uint32, MYSQL_OPT_CONNECT_TIMEOUT}},
    {"reconnect", {option_kind_t::boolean, MYSQL_OPT_RECONNECT}},
    {"read-timeout", {option_kind_t::uint32, MYSQL_OPT_READ_TIMEOUT}},
    {"write-timeout", {option_kind_t::uint32, MYSQL_OPT_WRITE_TIMEOUT}},
    {"charset", {option_kind_t::string, MYSQL_SET_CHARSET_NAME}},
    {"plugin-dir", {option_kind_t::string, MYSQL_PLUGIN_DIR}},
    {"nonblock", {option_kind_t::size, MYSQL_OPT_NONBLOCK}},
    {"ssl-key", {option_kind_t::string, MYSQL_OPT_SSL_KEY}},
    {"ssl-cert", {option_kind_t::string, MYSQL_OPT_SSL_CERT}},
    {"ssl-ca", {option_kind_t::string, MYSQL_OPT_SSL_CA}},
    {"ssl-capath", {option_kind_t::string, MYSQL_OPT_SSL_CAPATH}},
    {"ssl-cipher", {option_kind_t::string, MYSQL_OPT_SSL_CIPHER}},
    {"ssl-crl", {option_kind_t::string, MYSQL_OPT_SSL_CRL}},
    {"ssl-crlpath", {option_kind_t::string, MYSQL_OPT_SSL_CRLPATH}},
    {"ssl-fp", {option_kind_t::string, MARIADB_OPT_SSL_FP}},
    {"ssl-fp-list", {option_kind_t::string, MARIADB_OPT_SSL_FP_LIST}},
    {"tls-passphrase", {option_kind_t::string, MARIADB_OPT_TLS_PASSPHRASE}},
    {"tls-version", {option_kind_t::string, MARIADB_OPT_TLS_VERSION}},
    {"server-verify-cert", {option_kind_t::boolean, MYSQL_OPT_SSL_VERIFY_SERVER_CERT}},
    {"server-public-key-path", {option_kind_t::string, MYSQL_SERVER_PUBLIC_KEY}},
};

[[noreturn]] void bad_option(const std::string& log_prefix, const std::string& detail)
{
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, log_prefix + "Invalid option string (option " + cf_log_escape(detail) + ")");
    throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_CONFIG));
}

} // namespace

qv::ErrorCode mysql_error_code(unsigned int error_number)
{
    switch (error_number) {
    // Server-side network and connection errors.
    case 1154: case 1156: case 1157: case 1158: case 1159: case 1160:
    case 1184: case 1189: case 1190: case 1218:
    // Client-side connection errors.
    case 2001: case 2002: case 2003: case 2004: case 2005: case 2006:
    case 2009: case 2010: case 2011: case 2012: case 2013: case 2015:
    case 2016: case 2018: case 2020: case 2026: case 2027:
    // Lost connection, and the server's idle-session disconnection.
    case 2055: case 4031:
        return qv::EC_DB_CONN_CLOSED;
    default:
        return qv::EC_DB_COMMON_ERROR;
    }
}

bool mysql_timed_out(unsigned int error_number, int system_error)
{
    return mysql_error_code(error_number) == qv::EC_DB_CONN_CLOSED && system_error == ETIMEDOUT;
}

char parse_mysql_bool_option(const std::string& log_prefix, const std::string& key, const std::string& value)
{
    std::string upper = value;
    std::use_facet<std::ctype<char>>(std::locale()).toupper(&upper[0], &upper[0] + upper.size());
    if (upper == "ON" || upper == "YES" || upper == "TRUE" || upper == "1")
        return 1;
    if (upper == "OFF" || upper == "NO" || upper == "FALSE" || upper == "0")
        return 0;
    bad_option(log_prefix, "\"" + key + "\": \"" + value + "\" is not valid boolean value");
}

uint32_t parse_mysql_uint_option(const std::string& log_prefix, const std::string& key, const std::string& value)
{
    // A minus would wrap around: "-1" is no count of seconds.
    if (value.empty() || value[0] != '-') {
        try {
            return boost::lexical_cast<uint32_t>(value);
        } catch (const boost::bad_lexical_cast&) {
        }
    }
    bad_option(log_prefix, "\"" + key + "\": \"" + value + "\" is not valid integer value");
}

lp_mysql_client_t::lp_mysql_client_t(lp_inventory_t& inventory_) : lp_db_client_t(inventory_)
{
    // Once, before any worker's mysql_init, which is not safe to race.
    if (mysql_library_init(0, nullptr, nullptr) != 0)
        throw std::runtime_error("mysql_library_init failed");
}

lp_mysql_client_t::~lp_mysql_client_t()
{
    close_all();
}

bool lp_mysql_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->mysql_has_tag(tag);
}

int lp_mysql_client_t::lookup_type() const
{
    return lp::LOOKUP_MYSQL;
}

const std::string& lp_mysql_client_t::conn_for_tag(const std::string& tag)
{
    return inventory.settings->mysql_conn(tag);
}

const std::string& lp_mysql_client_t::default_conn()
{
    return inventory.settings->mysql_default_conn();
}

bool lp_mysql_client_t::is_conn_configured(const std::string& conn)
{
    return inventory.settings->mysql_conn_configured(conn);
}

const std::string& lp_mysql_client_t::request_for_tag(const std::string& tag)
{
    return inventory.settings->mysql_request(tag);
}

void lp_mysql_client_t::disconnect(void* handle) const
{
    mysql_close(static_cast<MYSQL*>(handle));
}

void* lp_mysql_client_t::connect(lp_db_connection_t& entry, const lp_db_call_t& call) const
{
    mysql_ptr conn(mysql_init(nullptr), &mysql_close);
    if (!conn)
        fail(call, "Cannot init the database", qv::EC_DB_OPEN_ERROR);
    mysql_optionsv(conn.get(), MYSQL_READ_DEFAULT_GROUP, "client");

    const std::string& prefix = call.prefix;
    for (const auto& param : entry.params) {
        const std::string& key = param.first;
        const std::string& value = param.second;
        const auto found = mysql_option_table.find(key);
        if (found == mysql_option_table.end())
            bad_option(prefix, "\"" + key + "\" is unknown");
        if (value.empty())
            bad_option(prefix, "\"" + key + "\" cannot be empty");
        int result = 0;
        switch (found->second.kind) {
        case option_kind_t::uint32: {
            const unsigned int number = parse_mysql_uint_option(prefix, key, value);
            result = mysql_optionsv(conn.get(), found->second.option, &number);
            break;
        }
        case option_kind_t::size: {
            const size_t number = parse_mysql_uint_option(prefix, key, value);
            result = mysql_optionsv(conn.get(), found->second.option, &number);
            break;
        }
        case option_kind_t::boolean: {
            const my_bool flag = parse_mysql_bool_option(prefix, key, value);
            result = mysql_optionsv(conn.get(), found->second.option, &flag);
            break;
        }
        case option_kind_t::string:
            result = mysql_optionsv(conn.get(), found->second.option, value.c_str());
            break;
        }
        if (result != 0)
            fail(call, "Invalid option string (option \"" + key + "\": cannot set the database option)",
                 qv::EC_DB_OPEN_ERROR);
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, prefix + "database option \"" + cf_log_escape(key) + "\" is set OK");
    }
    // Without limits a server that stops answering would hold the daemon.
    const unsigned int connect_timeout = connect_timeout_seconds;
    const unsigned int read_write_timeout = read_write_timeout_seconds;
    if (!entry.params.count("connect-timeout"))
        mysql_optionsv(conn.get(), MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    if (!entry.params.count("read-timeout"))
        mysql_optionsv(conn.get(), MYSQL_OPT_READ_TIMEOUT, &read_write_timeout);
    if (!entry.params.count("write-timeout"))
        mysql_optionsv(conn.get(), MYSQL_OPT_WRITE_TIMEOUT, &read_write_timeout);

    MYSQL* connected = nullptr;
    errno = 0;
    if (entry.kind == lp_db_connection_t::KIND_TCP) {
        std::string host = entry.host;
        if (!host.empty() && host.front() == '[')
            host.erase(0, 1);
        if (!host.empty() && host.back() == ']')
            host.pop_back();
        connected = mysql_real_connect(conn.get(), host.c_str(), entry.user.c_str(), entry.password.c_str(),
                                       entry.db.c_str(), entry.port, nullptr, 0);
    } else if (entry.kind == lp_db_connection_t::KIND_UNIX) {
        connected = mysql_real_connect(conn.get(), nullptr, entry.user.c_str(), entry.password.c_str(),
                                       entry.db.c_str(), 0, entry.path.c_str(), 0);
    } else {
        fail(call, "Only \"tcp://\" and \"unix://\" schema prefixes are allowed", qv::EC_BAD_CONFIG);
    }
    if (!connected) {
        const int system_error = errno;
        const std::string message = std::string("Cannot connect to database: ") + mysql_error(conn.get());
        if (mysql_timed_out(mysql_errno(conn.get()), system_error))
            fail_timed_out(call, message, qv::EC_DB_OPEN_ERROR);
        fail(call, message, qv::EC_DB_OPEN_ERROR);
    }
    return conn.release();
}

void lp_mysql_client_t::fail_statement(const lp_db_call_t& call, const std::string& message,
                                       unsigned int error_number, int system_error) const
{
    if (mysql_timed_out(error_number, system_error))
        fail_timed_out(call, message, qv::EC_DB_CONN_CLOSED);
    fail(call, message, mysql_error_code(error_number));
}

void lp_mysql_client_t::query(lp_db_connection_t& entry, lp_db_call_t& call) const
{
    auto* conn = static_cast<MYSQL*>(get_connection(entry, call));
    const std::string& text = expand_request(call);
    const std::vector<std::string>& params = call.params;
    std::vector<std::string>& rows = call.rows;
    std::vector<MYSQL_BIND> param_binds;
    std::vector<MYSQL_BIND> result_binds;
    std::vector<unsigned long> result_lengths;
    // Column 0 of each row is fetched into this buffer first.
    std::array<char, 256> fetch_buffer;

    mysql_stmt_ptr statement(mysql_stmt_init(conn), &mysql_stmt_close);
    if (!statement)
        fail(call, "Cannot init the statement", mysql_error_code(mysql_errno(conn)));
    MYSQL_STMT* stmt = statement.get();
    const auto stmt_error = [&](const char* what) {
        const int system_error = errno;
        fail_statement(call, std::string(what) + mysql_stmt_error(stmt), mysql_stmt_errno(stmt), system_error);
    };
    // Cleared, so that an ETIMEDOUT comes from this request's steps.
    errno = 0;
    if (mysql_stmt_prepare(stmt, text.data(), text.size()) != 0) {
        const int system_error = errno;
        const unsigned int number = mysql_errno(conn) ? mysql_errno(conn) : mysql_stmt_errno(stmt);
        fail_statement(call, std::string("Cannot prepare the statement: ") + mysql_stmt_error(stmt), number,
                       system_error);
    }

    if (!params.empty()) {
        // The library reads one bind per placeholder of the statement.
        const unsigned long placeholders = mysql_stmt_param_count(stmt);
        if (placeholders > params.size())
            fail(call, "Cannot bind input parameters: " + std::to_string(placeholders) + " placeholders for " +
                          std::to_string(params.size()) + " values",
                 qv::EC_DB_COMMON_ERROR);
        param_binds.assign(params.size(), MYSQL_BIND());
        for (size_t i = 0; i < params.size(); ++i) {
            MYSQL_BIND& bind = param_binds[i];
            bind.buffer_type = MYSQL_TYPE_STRING;
            // Read only; the value outlives the execution.
            bind.buffer = const_cast<char*>(params[i].data());
            bind.buffer_length = params[i].size();
        }
        if (mysql_stmt_bind_param(stmt, param_binds.data()))
            stmt_error("Cannot bind input parameters: ");
    }

    const mysql_result_ptr metadata(mysql_stmt_result_metadata(stmt), &mysql_free_result);
    if (!metadata)
        stmt_error("Cannot get statement metadata: ");
    const unsigned int columns = mysql_num_fields(metadata.get());
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, call.prefix + "Found " + std::to_string(columns) + " column(s) in result set");
    if (columns == 0)
        fail(call, "Invalid columns count in query (0)", mysql_error_code(mysql_errno(conn)));

    if (mysql_stmt_execute(stmt))
        stmt_error("Cannot execute the statement: ");
    result_binds.assign(columns, MYSQL_BIND());
    result_lengths.assign(columns, 0);
    for (unsigned int i = 0; i < columns; ++i) {
        result_binds[i].buffer_type = MYSQL_TYPE_STRING;
        result_binds[i].length = &result_lengths[i];
    }
    // The library formats numbers to the width of the buffer bound here
    // (without one a floating-point value comes back empty and zero-filling
    // is lost): column 0 gets a buffer wide enough for any number.
    result_binds[0].buffer = fetch_buffer.data();
    result_binds[0].buffer_length = fetch_buffer.size();
    if (mysql_stmt_bind_result(stmt, result_binds.data()))
        stmt_error("Cannot bind output parameters: ");
    if (mysql_stmt_store_result(stmt))
        stmt_error("Cannot store the statement result: ");

    for (;;) {
        result_lengths[0] = 0;
        const int fetched = mysql_stmt_fetch(stmt);
        if (fetched == MYSQL_NO_DATA)
            break;
        if (fetched != 0 && fetched != MYSQL_DATA_TRUNCATED)
            fail(call, "Cannot fetch the statement data: (" + std::to_string(fetched) + ") " + mysql_stmt_error(stmt),
                 mysql_error_code(mysql_stmt_errno(stmt)));
        const unsigned long length = result_lengths[0];
        if (length <= fetch_buffer.size()) {
            rows.emplace_back(fetch_buffer.data(), length);
            continue;
        }
        // A longer value (text, bytes, a decimal) is read again whole,
        // straight into its row.
        std::string& value = rows.emplace_back(length, '\0');
        MYSQL_BIND whole = result_binds[0];
        whole.buffer = &value[0];
        whole.buffer_length = length;
        const int column = mysql_stmt_fetch_column(stmt, &whole, 0, 0);
        if (column != 0) {
            rows.pop_back();
            fail(call, "Cannot fetch the statement data: (" + std::to_string(column) + ") " + mysql_stmt_error(stmt),
                 qv::EC_DB_COMMON_ERROR);
        }
    }
}
