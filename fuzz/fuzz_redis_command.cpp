// Redis commands formed from any template, user and domain (separated by
// NUL bytes in the input): every value lands whole in the arguments, in
// order, and every other byte of the expansion but the separating spaces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cf_log.h"
#include "db/lp_db_client.h"
#include "db/lp_redis_client.h"
#include "fuzz_null_log.h"

namespace {

struct marks_t {
    std::vector<size_t> places;
    size_t leading = 0;
};

void emit(void* context, std::string& text, const std::string&)
{
    auto* marks = static_cast<marks_t*>(context);
    lp_redis_mark_placeholder(text, marks->places, marks->leading);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool installed = fuzz_install_null_log();
    (void)installed;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t first = input.find('\0');
    const size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
    const std::string request = input.substr(0, first);
    const std::string user = first == std::string::npos ? "" : input.substr(first + 1, second - first - 1);
    const std::string domain = second == std::string::npos ? "" : input.substr(second + 1);

    marks_t marks;
    std::vector<std::string> params;
    std::string text;
    lp_expand_template(request, user, domain, &emit, &marks, params, text, "Datasource [f.redis]: ");
    if (text.empty())
        return 0;  // refused as an empty request
    std::string bytes;
    std::vector<size_t> ends;
    lp_redis_split_command(text, marks.places, marks.leading, params, bytes, ends);

    // Each value whole, in order, inside one argument.
    size_t at = 0, arg = 0;
    size_t value_bytes = 0;
    for (size_t i = 0; i < params.size(); ++i) {
        const size_t place = marks.places[i] - marks.leading;
        size_t spaces_before = 0, values_before = 0;
        for (size_t k = 0; k < place; ++k)
            spaces_before += text[k] == ' ';
        for (size_t k = 0; k < i; ++k)
            values_before += params[k].size();
        // Bytes before the value: the text before its place without spaces
        // and marks, plus the earlier values.
        const size_t offset = place - spaces_before - i + values_before;
        if (offset < at || bytes.compare(offset, params[i].size(), params[i]) != 0)
            std::abort();
        while (arg < ends.size() && ends[arg] < offset + params[i].size())
            ++arg;
        if (arg == ends.size() || (arg > 0 && ends[arg - 1] > offset))
            std::abort();
        at = offset + params[i].size();
        value_bytes += params[i].size();
    }
    size_t spaces = 0;
    for (const char c : text)
        spaces += c == ' ';
    if (bytes.size() != text.size() - spaces - params.size() + value_bytes)
        std::abort();
    if (!ends.empty() && ends.back() != bytes.size())
        std::abort();
    return 0;
}
