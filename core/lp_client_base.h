// The interface of every lookup back-end, its callbacks, and the daemon's
// own error category.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/system/error_code.hpp>

class lp_inventory_t;

using lp_lookup_handler_t =
    std::function<void(const boost::system::error_code&, const std::vector<std::string>&)>;
using lp_check_handler_t = std::function<void(const boost::system::error_code&, bool)>;

// A lookup answer kept ready: the values, and the same values serialised as
// the `data` fields of a response.
struct lp_encoded_entries_t {
    std::vector<std::string> values;
    std::string encoded;
};
using lp_encoded_entries_ptr_t = std::shared_ptr<const lp_encoded_entries_t>;
// Receives null with an error.
using lp_encoded_lookup_handler_t =
    std::function<void(const boost::system::error_code&, const lp_encoded_entries_ptr_t&)>;

class lp_client_base_t {
public:
    virtual ~lp_client_base_t() = default;

    // Asynchronous: the handler always runs later on the main loop, never
    // inside the call. tag is normalised and accepted by has_tag.
    virtual void lookup(const std::string& tag, const std::string& user,
                        const std::string& domain, const lp_lookup_handler_t& handler) = 0;
    // As lookup, for a back-end that keeps its answers encoded; the others
    // answer false and do nothing.
    virtual bool lookup_encoded(const std::string& /*tag*/, const std::string& /*user*/,
                                const std::string& /*domain*/, const lp_encoded_lookup_handler_t& /*handler*/)
    {
        return false;
    }
    virtual void check(const std::string& tag, const std::string& user,
                       const std::string& domain, const std::string& value,
                       const lp_check_handler_t& handler) = 0;
    virtual void reconfigure() = 0;
    virtual bool has_tag(const std::string& tag) = 0;
    virtual int lookup_type() const = 0;

    // "Datasource [<tag>.<type>]: "
    std::string log_prefix(const std::string& tag) const;
};

// The client connection a request came from, for back-ends that answer
// later: they hold back work for a connection whose unsent answers already
// fill its bound, so that a client that does not read costs little.
class lp_requester_t {
public:
    virtual bool saturated() const = 0;
    virtual std::weak_ptr<const lp_requester_t> weak_requester() const = 0;

protected:
    ~lp_requester_t() = default;
};

// The connection of the request being dispatched; empty outside a dispatch
// from a client socket.
std::weak_ptr<const lp_requester_t> lp_request_requester();

// When the read that delivered the request being dispatched completed
// (steady clock); for a request that came from no client socket, the time
// of the call.
std::chrono::steady_clock::time_point lp_request_read_time();

// A back-end that posts a large answer while it takes the request says how
// many bytes the answer holds, so that the connection counts them as unsent
// until the answer is queued. Nothing happens outside a request's dispatch.
void lp_promise_answer_bytes(std::size_t bytes);

// For its lifetime, requests dispatched on this thread were delivered by a
// read that completed at read_time, from requester (null: from no client
// socket), and the answer bytes they promise add up in promised_bytes.
class lp_request_scope_t {
public:
    explicit lp_request_scope_t(std::chrono::steady_clock::time_point read_time,
                                const lp_requester_t* requester = nullptr);
    ~lp_request_scope_t();
    lp_request_scope_t(const lp_request_scope_t&) = delete;
    lp_request_scope_t& operator=(const lp_request_scope_t&) = delete;

    std::size_t promised_bytes() const noexcept { return promised; }

private:
    friend std::chrono::steady_clock::time_point lp_request_read_time();
    friend void lp_promise_answer_bytes(std::size_t bytes);
    friend std::weak_ptr<const lp_requester_t> lp_request_requester();
    lp_request_scope_t* const outer;
    const std::chrono::steady_clock::time_point read_time;
    const lp_requester_t* const requester;
    std::size_t promised = 0;
};

enum lp_error_t {
    LPE_NO_ERROR = 0,
    LPE_LDAP_OPTION_FAILED = 1,
    LPE_UNEXPECTED_AD_RESULT = 2,
    LPE_MULTIPLE_USERS_FOUND = 3,
    LPE_OBJECT_NOT_FOUND = 4,
    LPE_UNSUPPORTED_EXTENSION = 5,
};

class lp_error_impl_t : public boost::system::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int ev) const override;
};

const boost::system::error_category& lp_error_category() noexcept;
boost::system::error_code make_error_code(lp_error_t e) noexcept;
boost::system::error_condition make_error_condition(lp_error_t e) noexcept;

namespace boost {
namespace system {
template <> struct is_error_code_enum<lp_error_t> : std::true_type {};
} // namespace system
} // namespace boost
