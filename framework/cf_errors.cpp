#include "cf_errors.h"

#include <mutex>
#include <typeinfo>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/xpressive/xpressive.hpp>

#include "annotation.pb.h"

namespace qv {

namespace {
const cf_proto_error_impl_t proto_error_category_instance;
}

const char* cf_proto_error_impl_t::name() const noexcept
{
    return "qv.Error";
}

std::string cf_proto_error_impl_t::message(int ev) const
{
    const google::protobuf::EnumValueDescriptor* value =
        ErrorCode_descriptor()->FindValueByNumber(ev);
    if (value)
        return lex_name(*value);
    return "qv.Error " + std::to_string(ev);
}

const boost::system::error_category& cf_proto_error_category() noexcept
{
    return proto_error_category_instance;
}

boost::system::error_code make_error_code(ErrorCode e) noexcept
{
    return boost::system::error_code(static_cast<int>(e), proto_error_category_instance);
}

boost::system::error_condition make_error_condition(ErrorCode e) noexcept
{
    return boost::system::error_condition(static_cast<int>(e), proto_error_category_instance);
}

} // namespace qv

cf_exception_t::cf_exception_t(const boost::system::error_code& code, const std::string& what)
    : std::runtime_error(what), code(code)
{
}

cf_proto_exception_t::cf_proto_exception_t(qv::ErrorCode code, const std::string& what)
    : std::runtime_error(what), code(code)
{
}

cf_proto_exception_t::cf_proto_exception_t(const qv::Error& error)
    : std::runtime_error(error_text(error)), code(error.code())
{
}

std::string lex_name(const google::protobuf::EnumValueDescriptor& value)
{
    if (value.options().HasExtension(qv::lex))
        return value.options().GetExtension(qv::lex);
    return value.name();
}

std::string enum_name(const google::protobuf::EnumDescriptor* descriptor, int value)
{
    if (descriptor) {
        if (const google::protobuf::EnumValueDescriptor* v = descriptor->FindValueByNumber(value))
            return lex_name(*v);
    }
    return std::to_string(value);
}

qv::ErrorCode to_proto_error_code(const boost::system::error_code& ec)
{
    if (ec.category() == qv::cf_proto_error_category() && qv::ErrorCode_IsValid(ec.value()))
        return static_cast<qv::ErrorCode>(ec.value());

    namespace errc = boost::system::errc;
    static const struct {
        errc::errc_t condition;
        qv::ErrorCode code;
    } table[] = {
        {errc::success, qv::EC_OK},
        {errc::permission_denied, qv::EC_PERMISSION_DENIED},
        {errc::operation_not_permitted, qv::EC_PERMISSION_DENIED},
        {errc::no_such_file_or_directory, qv::EC_NO_SUCH_ENTRY},
        {errc::not_a_directory, qv::EC_NOT_A_DIRECTORY},
        {errc::read_only_file_system, qv::EC_READ_ONLY_FS},
        {errc::invalid_argument, qv::EC_INVALID_ARGUMENT},
        {errc::file_exists, qv::EC_FILE_EXISTS},
        {errc::address_in_use, qv::EC_NAME_ALREADY_IN_USE},
        {errc::cross_device_link, qv::EC_CROSS_DEVICE_LINK},
        {errc::not_enough_memory, qv::EC_NO_MEMORY},
    };
    for (const auto& row : table) {
        if (ec == errc::make_error_condition(row.condition))
            return row.code;
    }
    return qv::EC_UNEXPECTED_ERROR;
}

boost::system::error_code error_code_of(const std::exception& e)
{
    if (const auto* se = dynamic_cast<const boost::system::system_error*>(&e))
        return se->code();
    if (const auto* pe = dynamic_cast<const cf_proto_exception_t*>(&e))
        return qv::make_error_code(pe->code);
    if (const auto* ce = dynamic_cast<const cf_exception_t*>(&e))
        return ce->code;
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return qv::make_error_code(qv::EC_NO_MEMORY);
    return qv::make_error_code(qv::EC_UNEXPECTED_ERROR);
}

boost::system::error_code error_code_of(const std::exception_ptr& e)
{
    if (!e)
        return qv::make_error_code(qv::EC_OK);
    try {
        std::rethrow_exception(e);
    } catch (const std::bad_alloc&) {
        return qv::make_error_code(qv::EC_NO_MEMORY);
    } catch (const boost::system::system_error& se) {
        return se.code();
    } catch (const cf_exception_t& ce) {
        return ce.code;
    } catch (const cf_proto_exception_t& pe) {
        return qv::make_error_code(pe.code);
    } catch (...) {
        return qv::make_error_code(qv::EC_UNEXPECTED_ERROR);
    }
}

qv::ErrorCode proto_error_code_of(const std::exception& e)
{
    return to_proto_error_code(error_code_of(e));
}

qv::ErrorCode proto_error_code_of(const std::exception_ptr& e)
{
    return to_proto_error_code(error_code_of(e));
}

namespace {

// The last renderings on this thread, so that a few texts can be held at
// once (two in one expression, a nested call).
constexpr size_t rendered_slots = 16;
thread_local std::string rendered_texts[rendered_slots];
thread_local size_t rendered_next = 0;
thread_local std::string rewritten_text;

// Boost 1.74 renders a system_error as "context: message" only; the system's
// logs carry the bracketed category and value of newer releases as well.
const char* render_system_error(const boost::system::system_error& e)
{
    const char* context = e.std::runtime_error::what();
    const boost::system::error_code& ec = e.code();
    std::string text;
    if (context && *context) {
        text += context;
        text += ": ";
    }
    text += ec.message();
    text += " [";
    text += ec.category().name();
    text += ':';
    text += std::to_string(ec.value());
    text += ']';
    if (const auto* fe = dynamic_cast<const boost::filesystem::filesystem_error*>(&e)) {
        if (!fe->path1().empty()) {
            text += ": \"";
            text += fe->path1().string();
            text += '"';
        }
        if (!fe->path2().empty()) {
            text += ", \"";
            text += fe->path2().string();
            text += '"';
        }
    }
    std::string& slot = rendered_texts[rendered_next];
    rendered_next = (rendered_next + 1) % rendered_slots;
    slot.swap(text);
    return slot.c_str();
}

const boost::xpressive::cregex* qualification_regex()
{
    // Compiled once; a failure is retried on the next call.
    static const boost::xpressive::cregex* compiled = nullptr;
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            compiled = new boost::xpressive::cregex(
                boost::xpressive::cregex::compile("^boost::(?:\\w+::)*"));
        });
    } catch (...) {
        return nullptr;
    }
    return compiled;
}

} // namespace

const char* exception_text(const std::exception& e) noexcept
{
    try {
        const char* text;
        if (const auto* se = dynamic_cast<const boost::system::system_error*>(&e))
            text = render_system_error(*se);
        else
            text = e.what();

        if (const boost::xpressive::cregex* re = qualification_regex()) {
            boost::xpressive::cmatch match;
            if (boost::xpressive::regex_search(text, match, *re)) {
                const char* rest = text + match.length(0);
                if (match.str(0) == "boost::filesystem::directory_iterator::" &&
                    std::char_traits<char>::length(rest) >= 10 &&
                    std::char_traits<char>::compare(rest, "construct:", 10) == 0) {
                    rewritten_text = std::string("opendir:") + (rest + 10);
                    return rewritten_text.c_str();
                }
                return rest;
            }
        }
        if (typeid(e) == typeid(std::bad_alloc))
            return "Not enough memory";
        return text;
    } catch (...) {
        if (typeid(e) == typeid(std::bad_alloc))
            return "Not enough memory";
        return e.what();
    }
}

std::string exception_text(const std::exception_ptr& e)
{
    if (!e)
        return enum_name(qv::EC_OK);
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return exception_text(ex);
    } catch (qv::ErrorCode code) {
        return "ErrorCode: " + enum_name(code);
    } catch (...) {
        return "Unexpected exception";
    }
}

void fill_error(qv::Error& error, const boost::system::error_code& ec)
{
    error.set_code(to_proto_error_code(ec));
    error.set_what(ec.message());
}

void fill_error(qv::Error& error, const std::exception& e)
{
    error.set_code(proto_error_code_of(e));
    error.set_what(exception_text(e));
}

void fill_error(qv::Error& error, const std::exception_ptr& e)
{
    error.set_code(proto_error_code_of(e));
    error.set_what(exception_text(e));
}

std::string error_text(const qv::Error& error)
{
    if (error.has_what())
        return error.what();
    return enum_name(error.code());
}

std::exception_ptr exception_ptr_of(const boost::system::error_code& ec)
{
    if (!ec)
        return nullptr;
    return std::make_exception_ptr(boost::system::system_error(ec));
}

std::exception_ptr exception_ptr_of(const boost::system::error_code& ec, const char* prefix)
{
    if (!ec)
        return nullptr;
    return std::make_exception_ptr(boost::system::system_error(ec, prefix));
}

std::exception_ptr exception_ptr_of(const qv::Error& error)
{
    if (!error.has_code() || error.code() == qv::EC_OK)
        return nullptr;
    return std::make_exception_ptr(cf_proto_exception_t(error));
}

namespace {
std::string lex_key_of(const google::protobuf::EnumValueDescriptor& value)
{
    std::string text = lex_name(value);
    return text.empty() ? value.name() : text;
}
} // namespace

const google::protobuf::EnumValueDescriptor* find_by_lex_name(
    const google::protobuf::EnumDescriptor* descriptor, const std::string& text)
{
    if (!descriptor)
        return nullptr;
    const std::locale locale;
    const std::string wanted = boost::algorithm::to_upper_copy(text, locale);
    for (int i = 0; i < descriptor->value_count(); ++i) {
        const google::protobuf::EnumValueDescriptor* value = descriptor->value(i);
        if (boost::algorithm::to_upper_copy(lex_key_of(*value), locale) == wanted)
            return value;
    }
    return nullptr;
}

std::unordered_map<std::string, int> make_lex_name_map(
    const google::protobuf::EnumDescriptor* descriptor)
{
    std::unordered_map<std::string, int> map;
    if (!descriptor)
        return map;
    const std::locale locale;
    for (int i = 0; i < descriptor->value_count(); ++i) {
        const google::protobuf::EnumValueDescriptor* value = descriptor->value(i);
        map[boost::algorithm::to_lower_copy(lex_key_of(*value), locale)] = value->number();
    }
    return map;
}
