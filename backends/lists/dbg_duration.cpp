#include "lists/dbg_duration.h"

#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>

dbg_duration::dbg_duration(std::string label_)
    : label(std::move(label_)),
      start(boost::posix_time::microsec_clock::local_time()),
      lap(start)
{
}

dbg_duration::~dbg_duration() = default;

std::string dbg_duration::elapsed_text(const char* label_, const boost::posix_time::ptime& since) const
{
    const boost::posix_time::time_duration elapsed =
        boost::posix_time::microsec_clock::local_time() - since;
    return dbg_elapsed_text(label_ ? std::string(label_) : label, elapsed.total_microseconds());
}
