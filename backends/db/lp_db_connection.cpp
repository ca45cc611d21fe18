#include "db/lp_db_connection.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include <boost/algorithm/hex.hpp>
#include <boost/regex.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "cf_strings.h"

namespace {

constexpr auto regex_flags = boost::regex::perl | boost::regex::icase | boost::regex::collate;

const boost::regex tcp_uri_regex(
    "((([^:]+)?(:([^@]+))?@)?([^\\/\\?:]+)(:(\\d+))?)?(\\/([^\\?]+)?)?(\\?(.*))?$", regex_flags);
const boost::regex tcp6_uri_regex(
    "((([^:]+)?(:([^@]+))?@)?(\\[[:\\da-f]+\\])(:(\\d+))?)?(\\/([^\\?]+)?)?(\\?(.*))?$", regex_flags);
const boost::regex unix_uri_regex("((([^:]+)?(:([^@]+))?@)?([^:?:]+)(:([^\\?]+))?)?(\\?(.*))?",
                                  regex_flags);
const boost::regex uri_param_regex("([-\\w+%]+)=([^&;]*)", regex_flags);
const boost::regex ipv6_literal_regex("\\[[\\:\\da-f]+\\]", regex_flags);

// Names the URI itself supplies.
const std::unordered_set<std::string> reserved_conn_params = {"user", "password", "host", "hostaddr",
                                                              "port"};

[[noreturn]] void bad_config(const std::string& log_prefix, const std::string& message)
{
    if (cf_log_threshold <= CF_LOG_ERROR)
        cf_log_message(CF_LOG_ERROR, log_prefix + message);
    throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_CONFIG));
}

void debug(const std::string& log_prefix, const std::string& message)
{
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix + message);
}

// A part percent-decoded. The decoder gives a truncated escape as the empty
// text; that and a NUL byte, which would cut the part where a driver takes
// it as a C string, are refused as a bad digit is.
std::string decode_part(const char* data, size_t length)
{
    std::string text = url_decode(data, length);
    if (text.empty() && length != 0)
        throw boost::algorithm::not_enough_input();
    if (text.find('\0') != std::string::npos)
        throw std::invalid_argument("NUL byte in a connection string");
    return text;
}

std::string decoded(const boost::ssub_match& group)
{
    if (!group.matched)
        return std::string();
    return decode_part(&*group.first, static_cast<size_t>(group.length()));
}

// The port group (digits only): 0 for none, else 1 to 65535.
uint32_t parse_port(const std::string& log_prefix, const boost::ssub_match& group)
{
    uint32_t port = 0;
    for (auto it = group.first; group.matched && it != group.second; ++it) {
        port = port * 10 + static_cast<uint32_t>(*it - '0');
        if (port > 65535)
            bad_config(log_prefix, "Port number is invalid");
    }
    return port;
}

} // namespace

lp_db_connection_t::params_t parse_conn_params(const std::string& log_prefix, const std::string& query)
{
    lp_db_connection_t::params_t params;
    for (boost::sregex_iterator it(query.begin(), query.end(), uri_param_regex), end; it != end; ++it) {
        std::string key = decoded((*it)[1]);
        std::string value = decoded((*it)[2]);
        const auto found = params.find(key);
        if (found != params.end() && found->second != value)
            bad_config(log_prefix, "Multiple parameter \"" + cf_log_escape(key) + "\" found in connection URI");
        if (reserved_conn_params.count(key) != 0)
            bad_config(log_prefix, "Cannot use parameter \"" + key + "\" in connection URI");
        params.emplace(std::move(key), std::move(value));
    }
    return params;
}

std::string resolve_absolute_path(const std::string& log_prefix, const std::string& path, const std::string& what)
{
    if (path.empty() || path[0] != '/')
        bad_config(log_prefix, "Path to " + what + " \"" + cf_log_escape(path) + "\" must be absolute");
    // Not decoded, but cut at a NUL byte all the same.
    if (path.find('\0') != std::string::npos)
        throw std::invalid_argument("NUL byte in a connection string");
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) {
        const int error = errno;
        bad_config(log_prefix, "Cannot read file \"" + cf_log_escape(path) + "\": " + std::strerror(error));
    }
    std::string result(resolved);
    debug(log_prefix, "\"" + cf_log_escape(path) + "\" resolved to \"" + cf_log_escape(result) + "\"");
    return result;
}

void lp_db_connection_t::parse(const lp_db_conn_context_t& context, const std::string& conn)
{
    const std::string& prefix = context.log_prefix;
    if (conn.empty())
        bad_config(prefix, "Mandatory \"Conn\" parameter is not specified");

    // Parsed into a fresh record, so that a failure leaves this one unparsed.
    lp_db_connection_t out;
    std::string where;
    if (conn.compare(0, 6, "tcp://") == 0) {
        const std::string rest = conn.substr(6);
        const boost::regex& pattern =
            boost::regex_search(rest, ipv6_literal_regex) ? tcp6_uri_regex : tcp_uri_regex;
        boost::smatch m;
        boost::regex_search(rest, m, pattern);
        // A raw "@" in a password leaves a part of it in the user or the
        // host, or before the match: refused before any line shows it.
        const auto start = static_cast<size_t>(m.position(static_cast<boost::smatch::size_type>(0)));
        const std::string host = m[6].str();
        if (rest.find('@') < start || host.find('@') != std::string::npos ||
            (m[3].matched && m[3].str().find('@') != std::string::npos))
            bad_config(prefix, "Host name is invalid");
        out.port = parse_port(prefix, m[8]);
        if (out.port == 0)
            out.port = context.default_port;
        out.host = host.empty() || host == "localhost" ? std::string("127.0.0.1") : host;
        debug(prefix, "Use TCP " + cf_log_escape(out.host) + ":" + std::to_string(out.port));
        out.kind = KIND_TCP;
        out.params = parse_conn_params(prefix, m[12].str());
        out.user = decoded(m[3]);
        out.password = decoded(m[5]);
        out.host = decode_part(out.host.data(), out.host.size());
        if (out.host.find('@') != std::string::npos)
            bad_config(prefix, "Host name is invalid");
        out.db = decoded(m[10]);
        where = "tcp://";
        if (context.user_in_description && !out.user.empty())
            where += out.user + "@";
        where += out.host + ":" + std::to_string(out.port);
        if (!out.db.empty())
            where += "/" + out.db;
    } else if (conn.compare(0, 7, "unix://") == 0) {
        const std::string rest = conn.substr(7);
        boost::smatch m;
        boost::regex_search(rest, m, unix_uri_regex);
        const std::string socket = m[6].str();
        // As for a host: a raw "@" in a password would leave a part of it in
        // the user, the path or the database.
        for (const int group : {3, 6, 8}) {
            if (m[group].matched && m[group].str().find('@') != std::string::npos)
                bad_config(prefix, "Path to UNIX socket is invalid");
        }
        out.path = resolve_absolute_path(prefix, socket, "UNIX socket");
        debug(prefix, "Use UNIX " + cf_log_escape(out.path));
        out.kind = KIND_UNIX;
        out.params = parse_conn_params(prefix, m[10].str());
        out.user = decoded(m[3]);
        out.password = decoded(m[5]);
        out.db = decoded(m[8]);
        where = "unix://";
        if (context.user_in_description && !out.user.empty())
            where += out.user + "@";
        where += out.path;
        if (!out.db.empty())
            where += ":" + out.db;
    } else if (conn.compare(0, 7, "file://") == 0) {
        out.path = resolve_absolute_path(prefix, conn.substr(7), "database file");
        debug(prefix, "Use FILE " + cf_log_escape(out.path));
        out.kind = KIND_FILE;
        where = "file://" + out.path;
    } else {
        bad_config(prefix, "Only \"file://\", \"tcp://\" and \"unix://\" schema prefixes are allowed");
    }
    out.description = "Datasource [" + context.type_text + "] (" + cf_log_escape(where) + "): ";
    out.handle = handle;
    out.last_use = last_use;
    *this = std::move(out);
}
