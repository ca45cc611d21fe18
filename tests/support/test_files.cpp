#include "support/test_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <boost/filesystem/operations.hpp>

namespace velbo_test {

temp_dir_t::temp_dir_t()
{
    std::string pattern = "/tmp/velbo-test-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);
}

temp_dir_t::~temp_dir_t()
{
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path_, ignored);
}

std::string temp_dir_t::write(const std::string& name, const std::string& content, unsigned mode) const
{
    const std::string path = file(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    ::chmod(path.c_str(), mode);
    return path;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

bool write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> sorted(std::vector<std::string> texts)
{
    std::sort(texts.begin(), texts.end());
    return texts;
}

size_t entries_of(const std::string& path)
{
    size_t n = 0;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(dir))
            n += e->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

} // namespace velbo_test
