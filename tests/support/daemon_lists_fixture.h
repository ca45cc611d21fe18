// A daemon serving list-file tags from files in its temporary directory,
// with one connected client.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_fixture.h"

struct list_tag_t {
    lp::LookupType type;
    std::string tag;
    std::optional<std::string> file;  // nullopt: the item has no file field
};

// The allmatch, regex, cidr and mask sections of a configuration text.
std::string list_sections_text(const std::vector<list_tag_t>& tags);

class lists_fixture_t : public ::testing::Test {
protected:
    lists_fixture_t();
    // Stops a started daemon with SIGTERM (status 107) and fails the test on
    // any sanitizer report in its standard error.
    void TearDown() override;

    // Starts the daemon (UTF-8 locale) with the tags at the given log level
    // and connects `client`.
    void start(const std::vector<list_tag_t>& tags, const std::string& log_level = "LOG_LEVEL_DEBUG");
    // Applies a new configuration with the next revision.
    void reconfigure(const std::vector<list_tag_t>& tags, const std::string& log_level = "LOG_LEVEL_DEBUG");
    std::string config_text(const std::vector<list_tag_t>& tags, const std::string& log_level) const;

    // One request on `client` (its serial replaced by a fresh one); a
    // missing answer fails the test and gives a default message.
    lp::ServerMessage ask(lp::ClientMessage request);
    lp::ServerMessage ask_lookup(lp::LookupType type, const std::string& tag);
    lp::ServerMessage ask_check(lp::LookupType type, const std::string& tag, const std::string& value);
    // Successful answers; an error in the answer fails the test.
    std::vector<std::string> lookup(lp::LookupType type, const std::string& tag);
    bool check(lp::LookupType type, const std::string& tag, const std::string& value);

    // Positions in the daemon's standard error, to look at what one step logged.
    size_t log_mark() const;
    std::string log_since(size_t mark) const;
    std::string log() const;

    // Files in the daemon's temporary directory.
    std::string write_file(const std::string& name, const std::string& content) const;
    std::string path_of(const std::string& name) const { return daemon->dir.file(name); }

    std::unique_ptr<daemon_fixture_t> daemon;
    std::unique_ptr<trawl_client_t> client;
    uint32_t serial = 0;
    uint32_t revision = 0;
    bool started = false;
};

