// Joins the results of several asynchronous parts into one result and one
// callback: the first failing part ends it at once, otherwise the handler
// gets every part in arrival order when the last one has reported.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>

#include "lp_ldap_tie.h"

template <typename T>
class lp_accumulator_t : private boost::noncopyable {
public:
    using handler_t = std::function<void(const boost::system::error_code&, const T&)>;

    // count: the exact number of parts that will report, at least 1.
    lp_accumulator_t(std::size_t count, const handler_t& handler);
    ~lp_accumulator_t();

    void add(const boost::system::error_code& error, const T& part);
    // A part that is never an error.
    void add_part(const T& part) { add(boost::system::error_code(), part); }

private:
    void log(const char* text) const;

    bool done = false;
    std::size_t remaining;
    handler_t handler;
    T data;
};

extern template class lp_accumulator_t<std::vector<std::string>>;
extern template class lp_accumulator_t<lp_ldap_search_result_t>;
