// A log that keeps every line handed to it, installed once per process.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cf_log.h"

namespace velbo_test {

class capture_log_t : public cf_log_t {
public:
    capture_log_t() : cf_log_t(nullptr, nullptr) {}
    void open() override {}
    // Worker threads log too.
    void log(int level, const std::string& text) override
    {
        const std::lock_guard<std::mutex> lock(mutex);
        lines.emplace_back(level, text);
    }
    void log_from(const std::string&, int, const std::string&) override {}
    void out_of_memory() override {}

    // Read or cleared with mutex held while other threads may log.
    std::vector<std::pair<int, std::string>> lines;
    std::mutex mutex;
};

// The process's log, a capture_log_t installed on first use.
inline capture_log_t& test_log()
{
    static std::shared_ptr<capture_log_t> log = [] {
        auto made = std::make_shared<capture_log_t>();
        cf_install_log(made);
        return made;
    }();
    return *log;
}

} // namespace velbo_test
