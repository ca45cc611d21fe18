// MySQL connection-string option values: a boolean is one of the eight words
// in any case, an unsigned is decimal digits (an optional "+", never a "-")
// within 32 bits; anything else fails with EC_BAD_CONFIG.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "db/lp_mysql_client.h"
#include "fuzz_null_log.h"

namespace {

void expect_bad_config(const boost::system::system_error& e)
{
    if (e.code() != qv::make_error_code(qv::EC_BAD_CONFIG))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool installed = fuzz_install_null_log(CF_LOG_DEBUG);
    (void)installed;
    const std::string value(reinterpret_cast<const char*>(data), size);

    std::string upper = value;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    const bool is_true = upper == "ON" || upper == "YES" || upper == "TRUE" || upper == "1";
    const bool is_false = upper == "OFF" || upper == "NO" || upper == "FALSE" || upper == "0";
    try {
        const char flag = parse_mysql_bool_option("fuzz: ", "reconnect", value);
        if (!(flag == 1 && is_true) && !(flag == 0 && is_false))
            std::abort();
    } catch (const boost::system::system_error& e) {
        expect_bad_config(e);
        if (is_true || is_false)
            std::abort();
    }

    // Digits after an optional "+", and a value that fits.
    size_t digits = !value.empty() && value[0] == '+' ? 1 : 0;
    bool decimal = digits < value.size();
    unsigned long long expected = 0;
    for (size_t i = digits; decimal && i < value.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(value[i])))
            decimal = false;
        else if ((expected = expected * 10 + unsigned(value[i] - '0')) > 0xffffffffULL)
            decimal = false;
    }
    try {
        const uint32_t number = parse_mysql_uint_option("fuzz: ", "connect-timeout", value);
        if (!decimal || number != expected)
            std::abort();
    } catch (const boost::system::system_error& e) {
        expect_bad_config(e);
        if (decimal)
            std::abort();
    }
    return 0;
}
