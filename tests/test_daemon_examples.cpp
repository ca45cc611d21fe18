// The example configurations of examples/ (all but Active Directory's, in
// test_ad_example): each loaded by the real daemon with its hosts, ports and
// paths rewritten to this test's own servers and files, and asked as the
// example's comments promise.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/daemon_examples.h"
#include "support/mariadb_server.h"
#include "support/pg_server.h"
#include "support/redis_server.h"
#include "support/slapd_server.h"
#include "support/test_files.h"

using namespace velbo_test;

namespace {

const std::string lists_dir = std::string(VELBO_SOURCE_DIR) + "/examples/lists/";

class Examples : public example_session_t {};

TEST_F(Examples, ListTypesAnswerFromTheDemoLists)
{
    struct list_case_t {
        const char* example;
        lp::LookupType type;
        const char* tag;
        std::vector<std::string> entries;  // what a lookup lists
        std::vector<std::string> hits;
        const char* miss;
    };
    const std::vector<list_case_t> cases = {
        {"allmatch.conf", lp::LOOKUP_ALLMATCH, "colors", {"Green", "blue", "red"}, {"GREEN"}, "purple"},
        {"regex.conf", lp::LOOKUP_REGEX, "senders", {"(spam|junk)[0-9]+", "@example\\.org$", "^postmaster@"},
         {"Postmaster@corp.test"}, "alice@example.net"},
        {"cidr.conf", lp::LOOKUP_CIDR, "networks", {"10.1.0.0/16", "2001:db8:42::/48"},
         // The plain address of the file is matched, not listed.
         {"10.1.200.3", "2001:db8:42::1", "192.168.7.23"}, "10.2.0.1"},
        {"mask.conf", lp::LOOKUP_MASK, "files", {"*.TXT", "report-????.pdf"}, {"notes.txt"}, "report-26.pdf"},
    };
    // One daemon: each example is a whole configuration of its own.
    for (const list_case_t& c : cases) {
        SCOPED_TRACE(c.example);
        example_config_t example(c.example);
        example.rewrite("/etc/velbo-trawld/lists/", lists_dir);
        if (!started)
            start_example(example);
        else
            reconfigure_example(example);
        EXPECT_EQ(sorted(lookup(c.type, c.tag)), c.entries);
        for (const std::string& hit : c.hits)
            EXPECT_TRUE(check(c.type, c.tag, hit)) << hit;
        EXPECT_FALSE(check(c.type, c.tag, c.miss));
    }
}

TEST_F(Examples, SqliteAnswersFromTheDemoDatabase)
{
    const std::string db = path_of("aliases.db");
    const auto made = run_program("/bin/sh",
                                  {"sh", "-c", "sqlite3 '" + db + "' < '" + VELBO_SOURCE_DIR + "/examples/demo.sql'"},
                                  environment_without({}));
    ASSERT_TRUE(made.exited && made.status == 0) << describe(made);

    example_config_t example("sqlite.conf");
    example.rewrite("/var/lib/velbo-trawld/aliases.db", db);
    start_example(example);
    EXPECT_EQ(lookup(lp::LOOKUP_SQLITE, "aliases", "alice", "example.org"),
              (std::vector<std::string>{"a.liddell@example.org", "alice@example.org"}));
    EXPECT_TRUE(check(lp::LOOKUP_SQLITE, "aliases", "alice@example.net", "alice", "example.net"));
    EXPECT_FALSE(check(lp::LOOKUP_SQLITE, "aliases", "alice@example.net", "alice", "example.org"));
}

TEST_F(Examples, PostgresqlAnswersThroughBothConnectionStrings)
{
    pg_server_t pg;
    pg.add_user("trawld", "trawld-secret");
    pg.add_database("mail", "trawld");
    pg.add_database("directory", "trawld");
    pg.exec("CREATE TABLE aliases (login text, domain text, alias text);"
            "INSERT INTO aliases VALUES ('alice', 'example.org', 'alice@example.org'),"
            " ('alice', 'example.org', 'a.liddell@example.org'), ('alice', 'example.net', 'alice@example.net');"
            "GRANT SELECT ON aliases TO trawld",
            "mail");
    pg.exec("CREATE TABLE memberships (login text, group_name text);"
            "INSERT INTO memberships VALUES ('alice', 'staff'), ('alice', 'admins'), ('bob', 'staff');"
            "GRANT SELECT ON memberships TO trawld",
            "directory");

    example_config_t example("postgresql.conf");
    example.rewrite("db.example.org:5432", "127.0.0.1:" + std::to_string(pg.port()));
    start_example(example);
    EXPECT_EQ(lookup(lp::LOOKUP_PQ, "aliases", "alice", "example.org"),
              (std::vector<std::string>{"a.liddell@example.org", "alice@example.org"}));
    EXPECT_EQ(lookup(lp::LOOKUP_PQ, "groups", "alice"), (std::vector<std::string>{"admins", "staff"}));
    EXPECT_FALSE(check(lp::LOOKUP_PQ, "groups", "admins", "bob"));
}

TEST_F(Examples, MysqlAnswersOverTcpAndTheSocket)
{
    mariadb_server_t my;
    my.exec("CREATE DATABASE mail;"
            "CREATE TABLE mail.aliases (login VARCHAR(64), domain VARCHAR(64), alias VARCHAR(128));"
            "INSERT INTO mail.aliases VALUES ('alice', 'example.org', 'alice@example.org'),"
            " ('alice', 'example.org', 'a.liddell@example.org'), ('bob', 'example.org', 'bob@example.org')");
    my.add_user("trawld", "trawld-secret", "mail");

    example_config_t example("mysql.conf");
    example.rewrite("db.example.org:3306", "127.0.0.1:" + std::to_string(my.port()));
    example.rewrite("/run/mysqld/mysqld.sock", my.socket_path());
    start_example(example);
    const std::vector<std::string> alices{"a.liddell@example.org", "alice@example.org"};
    EXPECT_EQ(lookup(lp::LOOKUP_MYSQL, "aliases", "alice", "example.org"), alices);
    EXPECT_EQ(lookup(lp::LOOKUP_MYSQL, "local_aliases", "alice", "example.org"), alices);
    EXPECT_TRUE(check(lp::LOOKUP_MYSQL, "aliases", "bob@example.org", "bob", "example.org"));
}

TEST_F(Examples, RedisAnswersOverTcpTlsAndTheSocket)
{
    redis_options_t options;
    options.password = "cache-secret";
    redis_server_t redis(options);
    redis.command({"SELECT", "2"});
    redis.command({"SADD", "aliases:alice@example.org", "alice@example.org", "a.liddell@example.org"});
    redis.command({"HSET", "quota", "alice@example.org", "250"});

    example_config_t example("redis.conf");
    example.rewrite("cache.example.org:6379", "127.0.0.1:" + std::to_string(redis.port));
    example.rewrite("cache.example.org:6380", "127.0.0.1:" + std::to_string(redis.tls_port));
    example.rewrite("/run/redis/redis-server.sock", redis.socket_path);
    example.rewrite("/etc/velbo-trawld/redis-ca.pem", redis.tls().ca_cert);
    example.rewrite("/etc/velbo-trawld/redis-client.pem", redis.tls().client_cert);
    example.rewrite("/etc/velbo-trawld/redis-client.key", redis.tls().client_key);
    start_example(example);
    const std::vector<std::string> alices{"a.liddell@example.org", "alice@example.org"};
    EXPECT_EQ(sorted(lookup(lp::LOOKUP_REDIS, "aliases", "alice", "example.org")), alices);
    EXPECT_EQ(sorted(lookup(lp::LOOKUP_REDIS, "aliases_tls", "alice", "example.org")), alices);
    EXPECT_EQ(lookup(lp::LOOKUP_REDIS, "quota", "alice", "example.org"), (std::vector<std::string>{"250"}));
}

TEST_F(Examples, LdapAnswersOverStartTlsAndLdaps)
{
    const std::string base = "dc=example,dc=org";
    slapd_options_t options;
    options.suffix = base;
    options.ldif = ldif_ou("ou=people," + base) + ldif_ou("ou=services," + base) + ldif_ou("ou=groups," + base) +
                   ldif_user("uid=trawld,ou=services," + base, "trawld", "trawld-secret") +
                   ldif_user("uid=alice,ou=people," + base, "alice", "alice-pw",
                             "mail: alice@example.org\nmail: a.liddell@example.org\n") +
                   "dn: cn=staff,ou=groups," + base + "\nobjectClass: posixGroup\ncn: staff\ngidNumber: 1000\n"
                   "memberUid: alice\nmemberUid: bob\n\n"
                   "dn: cn=admins,ou=groups," + base + "\nobjectClass: posixGroup\ncn: admins\ngidNumber: 1001\n"
                   "memberUid: bob\n\n";
    slapd_server_t slapd(options);
    slapd.start();

    example_config_t example("ldap.conf");
    example.rewrite("ldap.example.org:389", "127.0.0.1:" + std::to_string(slapd.ldap_port()));
    example.rewrite("ldap.example.org:636", "127.0.0.1:" + std::to_string(slapd.ldaps_port()));
    example.rewrite("/etc/velbo-trawld/ldap-ca.pem", test_pki().ca_cert);
    start_example(example);
    EXPECT_EQ(lookup(lp::LOOKUP_LDAP, "mail", "alice", "example.org"),
              (std::vector<std::string>{"alice@example.org,a.liddell@example.org"}));
    EXPECT_EQ(lookup(lp::LOOKUP_LDAP, "groups", "alice"), (std::vector<std::string>{"staff"}));
    EXPECT_FALSE(check(lp::LOOKUP_LDAP, "groups", "admins", "alice"));
    // The mail tag went over StartTLS, bound as the example's account.
    EXPECT_GE(slapd.stats_count("STARTTLS"), 1u) << slapd.log();
    EXPECT_NE(slapd.log().find("BIND dn=\"uid=trawld,ou=services," + base + "\""), std::string::npos) << slapd.log();
}

} // namespace
