// The configuration store: the last configuration from PilotD with its data
// sources indexed by normalised tag, one map per lookup type.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "trawld_config.pb.h"

class lp_settings_t {
public:
    lp_settings_t() = default;
    lp_settings_t(const lp_settings_t&) = delete;
    lp_settings_t& operator=(const lp_settings_t&) = delete;

    void set_config(const qv::TrawlDConfig& new_config);

    // Global settings. The path accessors throw the bare qv::EC_BAD_CONFIG
    // for a path that is not absolute.
    uint32_t db_idle_timeout() const { return config.db_idle_timeout(); }
    int log_level() const { return config.log_level(); }
    const qv::LocalUser& run_as_user() const { return config.run_as_user(); }
    bool debug_libldap() const { return config.debug_libldap(); }
    qv::CertCheckMode ldap_check_certificate() const { return config.ldap_check_certificate(); }
    std::string ldap_ca_path() const;
    std::string ldap_certificate_path() const;
    std::string ldap_key_path() const;
    const std::string& pq_default_conn() const { return config.pq_default_conn(); }
    const std::string& sqlite_default_conn() const { return config.sqlite_default_conn(); }
    const std::string& mysql_default_conn() const { return config.mysql_default_conn(); }
    const std::string& redis_default_conn() const { return config.redis_default_conn(); }
    std::string redis_ca_path() const;
    std::string redis_certificate_path() const;
    std::string redis_key_path() const;
    const qv::Log& actual_log() const { return config.actual_log(); }
    std::string socket_path() const;

    // Per-type tests and item fields; the item accessors take a tag that the
    // type's test accepts.
    bool ldap_has_tag(const std::string& tag) const { return ldap_tags.count(tag) != 0; }
    bool ldap_has_tags() const { return !ldap_tags.empty(); }
    const std::string& ldap_url(const std::string& tag) const { return ldap_tags.at(tag)->url(); }
    const std::string& ldap_bind_dn(const std::string& tag) const { return ldap_tags.at(tag)->bind_dn(); }
    const std::string& ldap_bind_password(const std::string& tag) const { return ldap_tags.at(tag)->bind_password(); }
    bool ldap_chase_referrals(const std::string& tag) const { return ldap_tags.at(tag)->chase_referrals(); }

    bool ad_has_tag(const std::string& tag) const { return ad_tags.count(tag) != 0; }
    bool ad_has_tags() const { return !ad_tags.empty(); }
    const std::string& ad_host(const std::string& tag) const { return ad_tags.at(tag)->host(); }
    uint32_t ad_port(const std::string& tag) const { return ad_tags.at(tag)->port(); }
    const std::string& ad_dn(const std::string& tag) const { return ad_tags.at(tag)->dn(); }
    const std::string& ad_user(const std::string& tag) const { return ad_tags.at(tag)->user(); }
    const std::string& ad_password(const std::string& tag) const { return ad_tags.at(tag)->password(); }
    bool ad_use_ssl(const std::string& tag) const { return ad_tags.at(tag)->use_ssl(); }
    bool ad_chase_referrals(const std::string& tag) const { return ad_tags.at(tag)->chase_referrals(); }

    bool pq_has_tag(const std::string& tag) const { return pq_tags.count(tag) != 0; }
    const std::string& pq_conn(const std::string& tag) const { return pq_tags.at(tag)->conn(); }
    const std::string& pq_request(const std::string& tag) const { return pq_tags.at(tag)->request(); }

    bool sqlite_has_tag(const std::string& tag) const { return sqlite_tags.count(tag) != 0; }
    const std::string& sqlite_conn(const std::string& tag) const { return sqlite_tags.at(tag)->conn(); }
    const std::string& sqlite_request(const std::string& tag) const { return sqlite_tags.at(tag)->request(); }

    bool mysql_has_tag(const std::string& tag) const { return mysql_tags.count(tag) != 0; }
    const std::string& mysql_conn(const std::string& tag) const { return mysql_tags.at(tag)->conn(); }
    const std::string& mysql_request(const std::string& tag) const { return mysql_tags.at(tag)->request(); }

    bool redis_has_tag(const std::string& tag) const { return redis_tags.count(tag) != 0; }
    const std::string& redis_conn(const std::string& tag) const { return redis_tags.at(tag)->conn(); }
    const std::string& redis_request(const std::string& tag) const { return redis_tags.at(tag)->request(); }
    bool redis_use_ssl(const std::string& tag) const { return redis_tags.at(tag)->use_ssl(); }

    bool allmatch_has_tag(const std::string& tag) const { return allmatch_tags.count(tag) != 0; }
    const std::string& allmatch_file(const std::string& tag) const { return allmatch_tags.at(tag)->file(); }
    bool regex_has_tag(const std::string& tag) const { return regex_tags.count(tag) != 0; }
    const std::string& regex_file(const std::string& tag) const { return regex_tags.at(tag)->file(); }
    bool cidr_has_tag(const std::string& tag) const { return cidr_tags.count(tag) != 0; }
    const std::string& cidr_file(const std::string& tag) const { return cidr_tags.at(tag)->file(); }
    bool mask_has_tag(const std::string& tag) const { return mask_tags.count(tag) != 0; }
    const std::string& mask_file(const std::string& tag) const { return mask_tags.at(tag)->file(); }

    // Whether a connection string is some tag's conn or the type's default.
    bool pq_conn_configured(const std::string& conn) const;
    bool sqlite_conn_configured(const std::string& conn) const;
    bool mysql_conn_configured(const std::string& conn) const;
    bool redis_conn_configured(const std::string& conn) const;

private:
    qv::TrawlDConfig config;
    std::map<std::string, const qv::LDAPLookupConfig*> ldap_tags;
    std::map<std::string, const qv::ADLookupConfig*> ad_tags;
    std::map<std::string, const qv::PQLookupConfig*> pq_tags;
    std::map<std::string, const qv::SqliteLookupConfig*> sqlite_tags;
    std::map<std::string, const qv::MysqlLookupConfig*> mysql_tags;
    std::map<std::string, const qv::RedisLookupConfig*> redis_tags;
    std::map<std::string, const qv::AllMatchLookupConfig*> allmatch_tags;
    std::map<std::string, const qv::RegexLookupConfig*> regex_tags;
    std::map<std::string, const qv::CidrLookupConfig*> cidr_tags;
    std::map<std::string, const qv::MaskLookupConfig*> mask_tags;
};
