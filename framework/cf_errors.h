// Suite error numbers as boost::system error codes, exception texts and
// display names of enumeration values.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/generated_enum_reflection.h>

#include "error.pb.h"

namespace qv {

// The category of qv::ErrorCode values: name "qv.Error", messages are the
// display texts of the enumeration.
class cf_proto_error_impl_t : public boost::system::error_category {
public:
    constexpr cf_proto_error_impl_t() noexcept = default;
    const char* name() const noexcept override;
    std::string message(int ev) const override;
};

const boost::system::error_category& cf_proto_error_category() noexcept;
boost::system::error_code make_error_code(ErrorCode e) noexcept;
boost::system::error_condition make_error_condition(ErrorCode e) noexcept;

} // namespace qv

namespace boost {
namespace system {
template <> struct is_error_code_enum<qv::ErrorCode> : std::true_type {};
} // namespace system
} // namespace boost

// An exception carrying a boost::system error code.
class cf_exception_t : public std::runtime_error {
public:
    cf_exception_t(const boost::system::error_code& code, const std::string& what);
    boost::system::error_code code;
};

// An exception carrying a suite error number.
class cf_proto_exception_t : public std::runtime_error {
public:
    cf_proto_exception_t(qv::ErrorCode code, const std::string& what);
    explicit cf_proto_exception_t(const qv::Error& error);
    qv::ErrorCode code;
};

// Display text of one enumeration value: its lex option, else its name.
std::string lex_name(const google::protobuf::EnumValueDescriptor& value);

// Display text of a number of an enumeration; the decimal number when the
// enumeration has no such value.
std::string enum_name(const google::protobuf::EnumDescriptor* descriptor, int value);

template <class E>
std::string enum_name(E value)
{
    return enum_name(google::protobuf::GetEnumDescriptor<E>(), static_cast<int>(value));
}

qv::ErrorCode to_proto_error_code(const boost::system::error_code& ec);

boost::system::error_code error_code_of(const std::exception& e);
boost::system::error_code error_code_of(const std::exception_ptr& e);
qv::ErrorCode proto_error_code_of(const std::exception& e);
qv::ErrorCode proto_error_code_of(const std::exception_ptr& e);

// One-line text of an exception for logs. A boost::system::system_error is
// rendered as "context: message [category:value]" (with the path part of a
// filesystem_error after it); a leading "boost::ns::" qualification is
// dropped. Never throws. The pointer stays valid while the exception lives;
// a rendered system_error text lives on until 16 further system_error texts
// were made on the same thread.
const char* exception_text(const std::exception& e) noexcept;
std::string exception_text(const std::exception_ptr& e);

void fill_error(qv::Error& error, const boost::system::error_code& ec);
void fill_error(qv::Error& error, const std::exception& e);
void fill_error(qv::Error& error, const std::exception_ptr& e);

std::string error_text(const qv::Error& error);

std::exception_ptr exception_ptr_of(const boost::system::error_code& ec);
std::exception_ptr exception_ptr_of(const boost::system::error_code& ec, const char* prefix);
std::exception_ptr exception_ptr_of(const qv::Error& error);

// First value whose lex text (or name when the text is empty) equals the
// text without regard to case; null when none does.
const google::protobuf::EnumValueDescriptor* find_by_lex_name(
    const google::protobuf::EnumDescriptor* descriptor, const std::string& text);

// Lower-cased lex text (or name) of every value to its number.
std::unordered_map<std::string, int> make_lex_name_map(
    const google::protobuf::EnumDescriptor* descriptor);
