// Files for tests: a temporary directory and small text helpers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velbo_test {

// A fresh directory under /tmp (mode 0755, so that a daemon running as an
// unprivileged user reaches its files), removed with its contents by the
// destructor.
class temp_dir_t {
public:
    temp_dir_t();
    ~temp_dir_t();
    temp_dir_t(const temp_dir_t&) = delete;
    temp_dir_t& operator=(const temp_dir_t&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes a file with the given mode and returns its path.
    std::string write(const std::string& name, const std::string& content, unsigned mode = 0644) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);

std::vector<std::string> lines_of(const std::string& text);

// Counts the occurrences of a text.
size_t count_of(const std::string& text, const std::string& part);

// Writes every byte, resuming after signals; false when a write fails.
bool write_all(int fd, const char* data, size_t size);

// The texts in ascending order.
std::vector<std::string> sorted(std::vector<std::string> texts);

// The entries of a /proc directory: a process's threads or descriptors.
size_t entries_of(const std::string& path);

} // namespace velbo_test
