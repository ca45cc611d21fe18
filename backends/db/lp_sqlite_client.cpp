#include "db/lp_sqlite_client.h"

#include <memory>

#include <sqlite3.h>

#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

constexpr int busy_sleep_ms = 100;

} // namespace

qv::ErrorCode sqlite_error_code(int result)
{
    switch (result & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_IOERR:
    case SQLITE_SCHEMA:
        return qv::EC_DB_CONN_CLOSED;
    default:
        return qv::EC_DB_COMMON_ERROR;
    }
}

lp_sqlite_client_t::lp_sqlite_client_t(lp_inventory_t& inventory_) : lp_db_client_t(inventory_) {}

lp_sqlite_client_t::~lp_sqlite_client_t()
{
    close_all();
}

bool lp_sqlite_client_t::has_tag(const std::string& tag)
{
    return inventory.settings->sqlite_has_tag(tag);
}

int lp_sqlite_client_t::lookup_type() const
{
    return lp::LOOKUP_SQLITE;
}

const std::string& lp_sqlite_client_t::conn_for_tag(const std::string& tag)
{
    return inventory.settings->sqlite_conn(tag);
}

const std::string& lp_sqlite_client_t::default_conn()
{
    return inventory.settings->sqlite_default_conn();
}

bool lp_sqlite_client_t::is_conn_configured(const std::string& conn)
{
    return inventory.settings->sqlite_conn_configured(conn);
}

const std::string& lp_sqlite_client_t::request_for_tag(const std::string& tag)
{
    return inventory.settings->sqlite_request(tag);
}

void lp_sqlite_client_t::disconnect(void* handle) const
{
    sqlite3_close(static_cast<sqlite3*>(handle));
}

void* lp_sqlite_client_t::connect(lp_db_connection_t& entry, const lp_db_call_t& call) const
{
    if (entry.kind != lp_db_connection_t::KIND_FILE)
        fail(call, "Only \"file://\" schema prefix allowed", qv::EC_BAD_CONFIG);
    // Never creates a file that vanished since its path was resolved.
    sqlite3* handle = nullptr;
    const int result = sqlite3_open_v2(entry.path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
    if (result != SQLITE_OK) {
        sqlite3_close(handle);
        fail(call, std::string("Cannot connect to database: ") + sqlite3_errstr(result), qv::EC_DB_OPEN_ERROR);
    }
    return handle;
}

void lp_sqlite_client_t::query(lp_db_connection_t& entry, lp_db_call_t& call) const
{
    auto* handle = static_cast<sqlite3*>(get_connection(entry, call));
    const std::string& text = expand_request(call);
    const std::vector<std::string>& params = call.params;
    std::vector<std::string>& rows = call.rows;

    // Locks held by others are waited for in steps, up to the request's limit.
    const auto deadline = call.started + busy_limit;
    const auto wait_for_lock = [&]() {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        sqlite3_sleep(busy_sleep_ms);
        return true;
    };

    sqlite3_stmt* raw = nullptr;
    int result;
    while ((result = sqlite3_prepare_v2(handle, text.c_str(), static_cast<int>(text.size()), &raw, nullptr)) ==
               SQLITE_BUSY &&
           wait_for_lock()) {
    }
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);
    if (result != SQLITE_OK)
        fail(call, std::string("Cannot prepare the request: ") + sqlite3_errstr(result), sqlite_error_code(result));
    // Text without a statement (only a comment) prepares to nothing, which
    // SQLite refuses to bind or to step as a misuse.
    if (!statement) {
        fail(call,
             std::string(params.empty() ? "Cannot execute the request: " : "Cannot bind the variable: ") +
                 sqlite3_errstr(SQLITE_MISUSE),
             sqlite_error_code(SQLITE_MISUSE));
    }

    for (size_t i = 0; i < params.size(); ++i) {
        const std::string& value = params[i];
        result = sqlite3_bind_text(statement.get(), static_cast<int>(i + 1), value.data(),
                                   static_cast<int>(value.size()), SQLITE_TRANSIENT);
        if (result != SQLITE_OK)
            fail(call, std::string("Cannot bind the variable: ") + sqlite3_errstr(result), sqlite_error_code(result));
    }

    for (;;) {
        result = sqlite3_step(statement.get());
        if (result == SQLITE_ROW) {
            const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
            const int size = sqlite3_column_bytes(statement.get(), 0);
            if (data)
                rows.emplace_back(data, static_cast<size_t>(size));
            else
                rows.emplace_back();
        } else if (result == SQLITE_DONE) {
            break;
        } else if (result != SQLITE_BUSY || !wait_for_lock()) {
            fail(call, std::string("Cannot execute the request: ") + sqlite3_errstr(result), sqlite_error_code(result));
        }
    }
}
