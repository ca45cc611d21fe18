#include "support/daemon_db_fixture.h"
#include "support/daemon_exchange.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <sstream>
#include <utility>

namespace {

const char* section_name(lp::LookupType type)
{
    switch (type) {
    case lp::LOOKUP_PQ:
        return "pq";
    case lp::LOOKUP_SQLITE:
        return "sqlite";
    case lp::LOOKUP_MYSQL:
        return "mysql";
    case lp::LOOKUP_REDIS:
        return "redis";
    default:
        throw std::invalid_argument("not a database type");
    }
}

} // namespace


std::string db_sections_text(const std::vector<db_tag_t>& tags)
{
    std::ostringstream text;
    for (const lp::LookupType type : {lp::LOOKUP_PQ, lp::LOOKUP_SQLITE, lp::LOOKUP_MYSQL, lp::LOOKUP_REDIS}) {
        std::string items;
        for (const db_tag_t& tag : tags) {
            if (tag.type != type)
                continue;
            items += "  item { tag: " + config_literal(tag.tag);
            if (tag.conn)
                items += " conn: " + config_literal(*tag.conn);
            if (tag.request)
                items += " request: " + config_literal(*tag.request);
            if (tag.use_ssl)
                items += std::string(" use_ssl: ") + (*tag.use_ssl ? "true" : "false");
            items += " }\n";
        }
        if (!items.empty())
            text << section_name(type) << " {\n" << items << "}\n";
    }
    return text.str();
}

std::string db_fixture_t::config_text(const std::vector<db_tag_t>& tags, const std::string& globals) const
{
    return "run_as_user { uid: " + std::to_string(run_as_uid) + " }\n"
           "socket_path: " + config_literal(daemon->socket_path) + "\n"
           "log_level: LOG_LEVEL_DEBUG\n"
           "actual_log { type: STDERR }\n" + globals + db_sections_text(tags);
}

void db_fixture_t::start(const std::vector<db_tag_t>& tags, const std::string& globals)
{
    start_text(config_text(tags, globals));
}

void db_fixture_t::reconfigure(const std::vector<db_tag_t>& tags, const std::string& globals)
{
    reconfigure_text(config_text(tags, globals));
}

void db_fixture_t::run_request_cases(lp::LookupType type, const std::string& conn,
                                     const std::vector<request_case_t>& cases, const std::string& globals)
{
    std::vector<db_tag_t> tags;
    for (const request_case_t& c : cases)
        tags.push_back({type, c.tag, conn, c.request, {}});
    start(tags, globals);
    for (const request_case_t& c : cases) {
        SCOPED_TRACE(c.tag);
        const size_t mark = log_mark();
        const lp::ServerMessage response = ask_lookup(type, c.tag, c.user, "example.org");
        EXPECT_EQ(error_of(response), c.error) << response.ShortDebugString();
        EXPECT_EQ(data_of(response), c.rows);
        EXPECT_NE(log_since(mark).find(c.log), std::string::npos) << log_since(mark);
    }
}

void db_fixture_t::expect_spoiled_conns_refused(lp::LookupType type, const std::vector<std::string>& patterns,
                                                const std::string& request, const std::vector<std::string>& rows,
                                                const std::string& globals)
{
    std::vector<db_tag_t> tags;
    std::vector<spoiled_conn_t> spoiled;
    for (size_t p = 0; p < patterns.size(); ++p) {
        tags.push_back({type, "clean" + std::to_string(p), clean_conn(patterns[p]), request, {}});
        for (spoiled_conn_t& conn : spoiled_conns(patterns[p]))
            spoiled.push_back(std::move(conn));
    }
    for (size_t i = 0; i < spoiled.size(); ++i)
        tags.push_back({type, "spoiled" + std::to_string(i), spoiled[i].conn, request, {}});
    start(tags, globals);
    for (size_t p = 0; p < patterns.size(); ++p)
        EXPECT_EQ(lookup(type, "clean" + std::to_string(p)), rows) << clean_conn(patterns[p]);
    for (size_t i = 0; i < spoiled.size(); ++i) {
        SCOPED_TRACE(spoiled[i].conn);
        const std::string tag = "spoiled" + std::to_string(i);
        const size_t mark = log_mark();
        const lp::ServerMessage response = ask_lookup(type, tag);
        EXPECT_EQ(error_of(response), qv::EC_UNEXPECTED_ERROR) << response.ShortDebugString();
        EXPECT_EQ(response.data_size(), 0);
        const std::string logged = log_since(mark);
        const std::string line = "Error: Datasource [" + tag + "." + section_name(type) +
                                 "]: Cannot retrieve data from database: Unexpected error\n";
        EXPECT_NE(logged.find(line), std::string::npos) << logged;
        EXPECT_EQ(count_of(logged, "Error: "), 1u) << logged;
        EXPECT_EQ(logged.find("Warning: "), std::string::npos) << logged;
    }
}

size_t db_fixture_t::open_descriptors_on(const std::string& path) const
{
    const std::string fd_dir = "/proc/" + std::to_string(daemon->pilotd.pid()) + "/fd";
    DIR* dir = opendir(fd_dir.c_str());
    if (!dir)
        return 0;
    size_t count = 0;
    while (const dirent* item = readdir(dir)) {
        char target[PATH_MAX];
        const std::string link = fd_dir + "/" + item->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
            ++count;
    }
    closedir(dir);
    return count;
}

int error_of(const lp::ServerMessage& response)
{
    return response.has_error() ? static_cast<int>(response.error().code()) : 0;
}

std::string clean_conn(const std::string& pattern)
{
    std::string conn;
    for (const char c : pattern) {
        if (c != '{' && c != '}')
            conn += c;
    }
    return conn;
}

std::vector<spoiled_conn_t> spoiled_conns(const std::string& pattern)
{
    std::vector<spoiled_conn_t> spoiled;
    for (size_t close = pattern.find('}'); close != std::string::npos; close = pattern.find('}', close + 1)) {
        const size_t open = pattern.rfind('{', close);
        const std::string part = pattern.substr(open + 1, close - open - 1);
        for (const std::string spoil : {"%", "%4", "%00x"}) {
            spoiled.push_back({part + spoil, clean_conn(pattern.substr(0, close) + spoil + pattern.substr(close)),
                               spoil != "%00x"});
        }
    }
    return spoiled;
}
