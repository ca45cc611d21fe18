// Database connection strings: any text parses or fails with EC_BAD_CONFIG
// (or the refusal of a bad escape or a NUL byte), and a parsed record keeps
// its promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <boost/algorithm/hex.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "db/lp_db_connection.h"
#include "fuzz_null_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool installed = fuzz_install_null_log(CF_LOG_DEBUG);
    (void)installed;
    if (size == 0)
        return 0;
    lp_db_conn_context_t context;
    context.log_prefix = "Datasource [f.pq]: ";
    context.type_text = "pq";
    context.default_port = (data[0] & 1) ? 5432 : 0;
    context.user_in_description = (data[0] & 2) != 0;
    const std::string conn(reinterpret_cast<const char*>(data) + 1, size - 1);
    lp_db_connection_t entry;
    try {
        entry.parse(context, conn);
    } catch (const boost::system::system_error& e) {
        if (e.code() != qv::make_error_code(qv::EC_BAD_CONFIG) || entry.parsed())
            std::abort();
        return 0;
    } catch (const boost::algorithm::hex_decode_error&) {
        // A bad digit or a truncated escape.
        if (entry.parsed())
            std::abort();
        return 0;
    } catch (const std::invalid_argument&) {
        // A NUL byte in a part.
        if (entry.parsed())
            std::abort();
        return 0;
    } catch (const std::runtime_error&) {
        // Boost.Regex gives up on a match too complex for its bounds; the
        // daemon answers that as an unexpected error.
        if (entry.parsed())
            std::abort();
        return 0;
    }
    if (!entry.parsed() || entry.port > 65535 || entry.host.find('@') != std::string::npos)
        std::abort();
    // A raw "@" (not percent-encoded) never ends up in the user, nor for a
    // UNIX socket in its path or database: it would be a password's part.
    const auto holds_at = [](const std::string& text) { return text.find('@') != std::string::npos; };
    if (conn.find('%') == std::string::npos &&
        (holds_at(entry.user) ||
         (entry.kind == lp_db_connection_t::KIND_UNIX && (holds_at(entry.path) || holds_at(entry.db)))))
        std::abort();
    // No part holds a NUL byte, where a driver would cut it.
    const auto holds_nul = [](const std::string& text) { return text.find('\0') != std::string::npos; };
    if (holds_nul(entry.user) || holds_nul(entry.password) || holds_nul(entry.host) || holds_nul(entry.db) ||
        holds_nul(entry.path))
        std::abort();
    for (const auto& param : entry.params) {
        if (holds_nul(param.first) || holds_nul(param.second))
            std::abort();
    }
    if (entry.kind == lp_db_connection_t::KIND_TCP && context.default_port != 0 && entry.port == 0)
        std::abort();
    if (entry.kind != lp_db_connection_t::KIND_TCP && entry.port != 0)
        std::abort();
    return 0;
}
