#include "lp_settings.h"

#include "cf_lexmap.h"
#include "cf_log.h"

namespace {

template <class Map, class Container>
void index_items(Map& map, const Container& container, const char* type)
{
    for (const auto& item : container.item()) {
        std::string tag = normalize_lex_key(item.tag());
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, std::string(type) + " tag found: \"" + tag + "\"");
        map[tag] = &item;
    }
}

template <class Map>
bool conn_configured(const Map& map, const std::string& default_conn, const std::string& conn)
{
    for (const auto& entry : map) {
        if (entry.second->has_conn() && entry.second->conn() == conn)
            return true;
    }
    return default_conn == conn;
}

// Empty, or beginning at the root directory.
std::string checked_path(const std::string& path)
{
    if (!path.empty() && path[0] != '/')
        throw qv::EC_BAD_CONFIG;
    return path;
}

} // namespace

void lp_settings_t::set_config(const qv::TrawlDConfig& new_config)
{
    ldap_tags.clear();
    ad_tags.clear();
    pq_tags.clear();
    sqlite_tags.clear();
    mysql_tags.clear();
    redis_tags.clear();
    allmatch_tags.clear();
    regex_tags.clear();
    cidr_tags.clear();
    mask_tags.clear();

    config.CopyFrom(new_config);

    index_items(ldap_tags, config.ldap(), "LDAP");
    index_items(ad_tags, config.ad(), "AD");
    index_items(pq_tags, config.pq(), "Pq");
    index_items(sqlite_tags, config.sqlite(), "SQLite");
    index_items(mysql_tags, config.mysql(), "MySQL");
    index_items(redis_tags, config.redis(), "Redis");
    index_items(allmatch_tags, config.allmatch(), "AllMatch");
    index_items(regex_tags, config.regex(), "Regex");
    index_items(cidr_tags, config.cidr(), "Cidr");
    index_items(mask_tags, config.mask(), "Mask");
}

std::string lp_settings_t::ldap_ca_path() const { return checked_path(config.ldap_ca_path()); }
std::string lp_settings_t::ldap_certificate_path() const { return checked_path(config.ldap_certificate_path()); }
std::string lp_settings_t::ldap_key_path() const { return checked_path(config.ldap_key_path()); }
std::string lp_settings_t::redis_ca_path() const { return checked_path(config.redis_ca_path()); }
std::string lp_settings_t::redis_certificate_path() const { return checked_path(config.redis_certificate_path()); }
std::string lp_settings_t::redis_key_path() const { return checked_path(config.redis_key_path()); }

std::string lp_settings_t::socket_path() const
{
    const std::string& path = config.socket_path();
    if (path.empty() || path[0] != '/')
        throw qv::EC_BAD_CONFIG;
    return path;
}

bool lp_settings_t::pq_conn_configured(const std::string& conn) const
{
    return conn_configured(pq_tags, pq_default_conn(), conn);
}

bool lp_settings_t::sqlite_conn_configured(const std::string& conn) const
{
    return conn_configured(sqlite_tags, sqlite_default_conn(), conn);
}

bool lp_settings_t::mysql_conn_configured(const std::string& conn) const
{
    return conn_configured(mysql_tags, mysql_default_conn(), conn);
}

bool lp_settings_t::redis_conn_configured(const std::string& conn) const
{
    return conn_configured(redis_tags, redis_default_conn(), conn);
}
