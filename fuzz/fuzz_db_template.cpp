// Request templates: any template, user and domain (separated by NUL bytes
// in the input) expand without fault, with one value per placeholder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cf_log.h"
#include "db/lp_db_client.h"
#include "fuzz_null_log.h"

namespace {

// Marks each placeholder with a byte the template cannot hold here.
void emit(void* count, std::string& text, const std::string&)
{
    if (text.empty() || text.back() != '$')
        std::abort();
    text.back() = '\x01';
    ++*static_cast<size_t*>(count);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool installed = fuzz_install_null_log(CF_LOG_DEBUG);
    (void)installed;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t first = input.find('\0');
    const size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
    std::string request = input.substr(0, first);
    const std::string user = first == std::string::npos ? "" : input.substr(first + 1, second - first - 1);
    const std::string domain = second == std::string::npos ? "" : input.substr(second + 1);
    // The marker byte stays out of the template.
    for (char& c : request) {
        if (c == '\x01')
            c = ' ';
    }
    std::vector<std::string> params;
    std::string text;
    size_t count = 0;
    lp_expand_template(request, user, domain, &emit, &count, params, text, "Datasource [f.sqlite]: ");
    size_t marks = 0;
    for (const char c : text)
        marks += c == '\x01';
    if (params.size() != count || marks != count || text.size() > request.size())
        std::abort();
    for (const std::string& value : params) {
        if (value != user && value != domain)
            std::abort();
    }
    return 0;
}
