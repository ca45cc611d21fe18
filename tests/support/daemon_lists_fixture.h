// A daemon serving list-file tags from files in its temporary directory,
// with one connected client.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_exchange.h"
#include "support/daemon_fixture.h"

struct list_tag_t {
    lp::LookupType type;
    std::string tag;
    std::optional<std::string> file;  // nullopt: the item has no file field
};

// The allmatch, regex, cidr and mask sections of a configuration text.
std::string list_sections_text(const std::vector<list_tag_t>& tags);

class lists_fixture_t : public daemon_session_t {
protected:
    // The daemon runs with LC_ALL set to the locale.
    explicit lists_fixture_t(const std::string& locale = "C.UTF-8");

    // Starts the daemon with the tags at the given log level and connects
    // `client`.
    void start(const std::vector<list_tag_t>& tags, const std::string& log_level = "LOG_LEVEL_DEBUG");
    // Applies a new configuration with the next revision.
    void reconfigure(const std::vector<list_tag_t>& tags, const std::string& log_level = "LOG_LEVEL_DEBUG");
    std::string config_text(const std::vector<list_tag_t>& tags, const std::string& log_level) const;

    // Files in the daemon's temporary directory.
    std::string write_file(const std::string& name, const std::string& content) const;
};
