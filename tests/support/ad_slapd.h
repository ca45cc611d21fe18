// A small OpenLDAP server for the Active Directory cases that Samba cannot
// hold: two users of one sAMAccountName, a malformed primaryGroupID or
// objectSid. It serves DC=lookup,DC=test from an mdb database loaded with
// slapadd, under a schema of its own (ad_slapd.schema: sAMAccountName,
// objectSid, primaryGroupID, objectCategory and the classes user, group and
// container), and listens on ldap://ADDRESS:389 and ldaps://ADDRESS:636
// inside the domain controller's network namespace, with a certificate of
// the test CA naming the realm's DNS name and ADDRESS.
//
// It is reached as a referral target: Samba's subtree searches from the
// domain root return a reference to
// ldap://lookup.test/CN=Configuration,DC=lookup,DC=test (ldaps:// over
// ldaps), and once samba_dc_t::point_realm_at(address()) maps the realm's
// name to this server, a chased reference searches the entries under
// configuration_dn here. Anyone reads every entry but userPassword, which
// serves simple binds only: a copy of a Samba account at the same DN with a
// userPassword lets a client that rebinds with its credentials search (a
// bind by user principal name, alice@lookup.test, works on Samba only).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/samba_dc.h"
#include "support/test_files.h"

namespace velbo_test {

class ad_slapd_t {
public:
    // CN=Configuration,DC=lookup,DC=test: the base of Samba's referral. The
    // server holds it and CN=Users,DC=lookup,DC=test as empty containers.
    static const std::string configuration_dn;

    // Loads ldif (entries below the two containers) and starts the server;
    // throws std::runtime_error (with its log) on failure.
    ad_slapd_t(const samba_dc_t& dc, const std::string& ldif, const std::string& address = "127.0.0.2");
    // Stops the server with SIGTERM.
    ~ad_slapd_t();
    ad_slapd_t(const ad_slapd_t&) = delete;
    ad_slapd_t& operator=(const ad_slapd_t&) = delete;

    const std::string& address() const { return address_; }
    std::string ldap_url() const { return "ldap://" + address_; }
    std::string ldaps_url() const { return "ldaps://" + address_; }
    const std::string& directory() const { return dir_.path(); }
    // The stats log: one line per connection and operation.
    std::string log() const;

private:
    temp_dir_t dir_;
    std::string address_;
    std::string log_path_;
    pid_t pid_ = -1;
};

// The bytes of a SID written as text ("S-1-5-21-1-2-3-1105": revision,
// identifier authority, then up to 15 sub-authorities, little-endian).
std::string sid_bytes(const std::string& text);

// One LDIF line holding any bytes ("name:: BASE64").
std::string ad_ldif_binary(const std::string& attribute, const std::string& bytes);

// LDIF of a user entry: objectClass user, objectCategory person, the cn of
// the DN's first RDN, distinguishedName, then sAMAccountName, objectSid
// (bytes) and primaryGroupID as given, each left out when empty, and the
// further lines of more ("userPassword: x\n").
std::string ad_ldif_user(const std::string& dn, const std::string& sam, const std::string& sid,
                         const std::string& primary_group_id, const std::string& more = "");

// LDIF of a group entry (objectCategory group) with its members' DNs.
std::string ad_ldif_group(const std::string& dn, const std::string& sam, const std::string& sid,
                          const std::vector<std::string>& members = {});

} // namespace velbo_test
