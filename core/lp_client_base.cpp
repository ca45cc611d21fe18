#include "lp_client_base.h"

#include "cf_errors.h"
#include "trawld_client_ipc.pb.h"

std::string lp_client_base_t::log_prefix(const std::string& tag) const
{
    return "Datasource [" + tag + "." + enum_name(static_cast<lp::LookupType>(lookup_type())) +
           "]: ";
}

namespace {
const lp_error_impl_t lp_error_category_instance;
thread_local lp_request_scope_t* current_scope = nullptr;
}

std::chrono::steady_clock::time_point lp_request_read_time()
{
    return current_scope ? current_scope->read_time : std::chrono::steady_clock::now();
}

void lp_promise_answer_bytes(std::size_t bytes)
{
    if (current_scope)
        current_scope->promised += bytes;
}

std::weak_ptr<const lp_requester_t> lp_request_requester()
{
    if (!current_scope || !current_scope->requester)
        return {};
    return current_scope->requester->weak_requester();
}

lp_request_scope_t::lp_request_scope_t(std::chrono::steady_clock::time_point read_time_,
                                       const lp_requester_t* requester_)
    : outer(current_scope), read_time(read_time_), requester(requester_)
{
    current_scope = this;
}

lp_request_scope_t::~lp_request_scope_t()
{
    current_scope = outer;
}

const char* lp_error_impl_t::name() const noexcept
{
    return "lp";
}

std::string lp_error_impl_t::message(int ev) const
{
    switch (ev) {
    case LPE_NO_ERROR:
        return "No error";
    case LPE_LDAP_OPTION_FAILED:
        return "Failed to set libldap option";
    case LPE_UNEXPECTED_AD_RESULT:
        return "Unexpected AD search result";
    case LPE_MULTIPLE_USERS_FOUND:
        return "More than one matching user found";
    case LPE_OBJECT_NOT_FOUND:
        return "Object not found";
    case LPE_UNSUPPORTED_EXTENSION:
        return "Non-supported extension";
    default:
        return "TrawlD error " + std::to_string(ev);
    }
}

const boost::system::error_category& lp_error_category() noexcept
{
    return lp_error_category_instance;
}

boost::system::error_code make_error_code(lp_error_t e) noexcept
{
    return boost::system::error_code(static_cast<int>(e), lp_error_category_instance);
}

boost::system::error_condition make_error_condition(lp_error_t e) noexcept
{
    return boost::system::error_condition(static_cast<int>(e), lp_error_category_instance);
}
