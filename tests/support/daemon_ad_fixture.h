// A daemon serving Active Directory tags, asked with lookup type ad.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/daemon_ldap_fixture.h"

struct ad_tag_t {
    std::string tag;
    std::string host = "127.0.0.1";
    uint32_t port = 389;  // 0: left out of the configuration
    std::string dn;
    std::string user;
    std::string password;
    bool use_ssl = false;
    bool chase_referrals = false;
};

// The ad section of a configuration text.
std::string ad_section_text(const std::vector<ad_tag_t>& tags);

class ad_fixture_t : public ldap_fixture_t {
protected:
    ad_fixture_t() { lookup_type = lp::LOOKUP_AD; }

    // Starts the daemon with the ad tags and further global fields.
    void start_ad(const std::vector<ad_tag_t>& tags, const std::string& globals = "")
    {
        start({}, globals + ad_section_text(tags));
    }
    void reconfigure_ad(const std::vector<ad_tag_t>& tags, const std::string& globals = "")
    {
        reconfigure({}, globals + ad_section_text(tags));
    }
};
