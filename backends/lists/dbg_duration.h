// Elapsed time since a moment, as a short text for Debug lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// "<label><n> <unit>" for an elapsed time in microseconds: milliseconds from
// 2000 on, microseconds from 2, nanoseconds below.
inline std::string dbg_elapsed_text(const std::string& label, int64_t microseconds)
{
    long number;
    const char* unit;
    if (microseconds >= 2000) {
        number = static_cast<long>(microseconds / 1000);
        unit = " milliseconds";
    } else if (microseconds >= 2) {
        number = static_cast<long>(microseconds);
        unit = " microseconds";
    } else {
        number = static_cast<long>(microseconds * 1000);
        unit = " nanoseconds";
    }
    char digits[32];
    std::snprintf(digits, sizeof digits, "%ld", number);
    return label + digits + unit;
}

class dbg_duration {
public:
    explicit dbg_duration(std::string label = std::string());
    virtual ~dbg_duration();

    // The time since `since`, after `label`, or after the object's own label
    // when `label` is null.
    std::string elapsed_text(const char* label, const boost::posix_time::ptime& since) const;

    std::string label;
    boost::posix_time::ptime start;
    boost::posix_time::ptime lap;
};
