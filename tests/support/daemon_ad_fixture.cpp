#include "support/daemon_ad_fixture.h"

std::string ad_section_text(const std::vector<ad_tag_t>& tags)
{
    if (tags.empty())
        return "";
    std::string text = "ad {\n";
    for (const ad_tag_t& t : tags) {
        text += "  item { tag: " + config_literal(t.tag) + " host: " + config_literal(t.host);
        if (t.port != 0)
            text += " port: " + std::to_string(t.port);
        text += " dn: " + config_literal(t.dn) + " user: " + config_literal(t.user) +
                " password: " + config_literal(t.password);
        text += std::string(" use_ssl: ") + (t.use_ssl ? "true" : "false");
        text += std::string(" chase_referrals: ") + (t.chase_referrals ? "true" : "false") + " }\n";
    }
    return text + "}\n";
}
