// A log for fuzz targets that formats every line it is given and drops it.
#pragma once

#include <memory>
#include <string>

#include "cf_log.h"

class fuzz_null_log_t : public cf_log_t {
public:
    fuzz_null_log_t() : cf_log_t(nullptr, nullptr) {}
    void open() override {}
    void log(int, const std::string&) override {}
    void log_from(const std::string&, int, const std::string&) override {}
    void out_of_memory() override {}
};

// Installs the log; returns true so a target can call it once through a
// function-local static.
inline bool fuzz_install_null_log()
{
    cf_install_log(std::make_shared<fuzz_null_log_t>());
    return true;
}

// Installs the log and lets lines of `threshold` and above through.
inline bool fuzz_install_null_log(cf_log_level_t threshold)
{
    fuzz_install_null_log();
    cf_log_threshold = threshold;
    return true;
}
