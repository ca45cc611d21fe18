#include "lp_accumulator.h"

#include <sstream>

#include "cf_log.h"

template <typename T>
lp_accumulator_t<T>::lp_accumulator_t(std::size_t count, const handler_t& handler)
    : remaining(count), handler(handler)
{
    log("created");
}

template <typename T>
lp_accumulator_t<T>::~lp_accumulator_t()
{
    log("destroyed");
}

template <typename T>
void lp_accumulator_t<T>::log(const char* text) const
{
    if (cf_log_threshold <= CF_LOG_DEBUG) {
        std::ostringstream out;
        out << "lp_accumulator_t " << static_cast<const void*>(this) << ": " << text;
        cf_log_message(CF_LOG_DEBUG, out.str());
    }
}

template <typename T>
void lp_accumulator_t<T>::add(const boost::system::error_code& error, const T& part)
{
    if (done)
        return;
    if (error) {
        done = true;
        T().swap(data);
    } else {
        data.insert(data.end(), part.begin(), part.end());
        if (--remaining > 0)
            return;
    }
    log("call callback");
    handler(error, data);
}

template class lp_accumulator_t<std::vector<std::string>>;
template class lp_accumulator_t<lp_ldap_search_result_t>;
