// The qv error category, the conversions between error codes, exceptions
// and suite numbers, exception texts and display names.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include "annotation.pb.h"
#include "cf_errors.h"
#include "error.pb.h"
#include "log.pb.h"
#include "trawld_client_ipc.pb.h"
#include "support/test_files.h"
#include "trawld_config.pb.h"

namespace fs = boost::filesystem;
namespace pb = google::protobuf;
using boost::system::error_code;

namespace {

// Taken during static initialisation, before the library's own dynamic
// initialisers could have run: the category must be usable already.
const std::string message_at_static_init = qv::cf_proto_error_category().message(71);
const std::string name_at_static_init = qv::cf_proto_error_category().name();

error_code sys(int e)
{
    return error_code(e, boost::system::system_category());
}

error_code gen(int e)
{
    return error_code(e, boost::system::generic_category());
}

error_code qvc(int n)
{
    return error_code(n, qv::cf_proto_error_category());
}

// A category of the daemon's kind that maps to nothing of the errno table.
class lp_like_category_t : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "lp"; }
    std::string message(int ev) const override
    {
        return ev == 3 ? "More than one matching user found" : "TrawlD error " + std::to_string(ev);
    }
};
const lp_like_category_t lp_like_category;

// A category that declares its value 1 equivalent to EACCES.
class denying_category_t : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "denying"; }
    std::string message(int) const override { return "denied"; }
    bool equivalent(int code, const boost::system::error_condition& condition) const noexcept override
    {
        return code == 1 &&
               condition == boost::system::errc::make_error_condition(boost::system::errc::permission_denied);
    }
};
const denying_category_t denying_category;

struct allocator_exhausted_t : std::bad_alloc {
    const char* what() const noexcept override { return "allocator exhausted"; }
};

struct qualified_alloc_failure_t : std::bad_alloc {
    const char* what() const noexcept override { return "boost::container::pool: exhausted"; }
};

std::string text_of(const std::exception_ptr& p)
{
    return exception_text(p);
}

bool parses_as_error(const qv::Error& error)
{
    std::string bytes(error.ByteSizeLong(), '\0');
    error.SerializeWithCachedSizesToArray(reinterpret_cast<std::uint8_t*>(&bytes[0]));
    qv::Error back;
    pb::io::ArrayInputStream in(bytes.data(), static_cast<int>(bytes.size()));
    return back.ParseFromZeroCopyStream(&in) && back.code() == error.code() && back.what() == error.what();
}

} // namespace

static_assert(noexcept(exception_text(std::declval<const std::exception&>())),
              "exception_text must not throw");

// ---------------------------------------------------------------------------
// The category.

TEST(ErrorCategory, NameMessagesAndIdentity)
{
    const boost::system::error_category& cat = qv::cf_proto_error_category();
    EXPECT_STREQ(cat.name(), "qv.Error");
    EXPECT_EQ(&cat, &qv::cf_proto_error_category());
    EXPECT_EQ(name_at_static_init, "qv.Error");
    EXPECT_EQ(message_at_static_init, "Tag value is invalid");

    const std::vector<std::pair<int, const char*>> messages = {
        {0, "Success"},
        {8, "Invalid IPC message format"},
        {71, "Tag value is invalid"},
        {102, "Invalid configuration"},
        {107, "Process terminated by signal"},
        {125, "Unexpected error"},
        {14, "qv.Error 14"},
        {1000, "qv.Error 1000"},
        {-7, "qv.Error -7"},
    };
    for (const auto& row : messages) {
        EXPECT_EQ(cat.message(row.first), row.second) << row.first;
        EXPECT_EQ(qvc(row.first).message(), row.second) << row.first;
    }

    // The buffer form copies the same text, truncated to the buffer.
    char buffer[64];
    EXPECT_STREQ(cat.message(71, buffer, sizeof buffer), "Tag value is invalid");
    char small[4];
    EXPECT_STREQ(cat.message(71, small, sizeof small), "Tag");

    EXPECT_FALSE(cat.failed(0));
    EXPECT_TRUE(cat.failed(71));
    EXPECT_TRUE(cat.failed(-1));

    // Library defaults for conditions.
    const boost::system::error_condition condition = cat.default_error_condition(8);
    EXPECT_EQ(condition.value(), 8);
    EXPECT_EQ(&condition.category(), &cat);
    EXPECT_TRUE(cat.equivalent(8, condition));
    EXPECT_FALSE(cat.equivalent(8, gen(8).default_error_condition()));

    // Only this very object is the qv category.
    EXPECT_TRUE(cat == qv::cf_proto_error_category());
    EXPECT_FALSE(cat == boost::system::system_category());
    EXPECT_FALSE(cat == boost::system::generic_category());
    EXPECT_FALSE(qvc(13) == sys(13));
}

TEST(ErrorCategory, ErrorCodeEnumConversion)
{
    const error_code ec = qv::EC_INVALID_TAG; // implicit, through make_error_code
    EXPECT_EQ(ec.value(), 71);
    EXPECT_EQ(&ec.category(), &qv::cf_proto_error_category());
    EXPECT_TRUE(ec == qv::EC_INVALID_TAG);
    EXPECT_TRUE(static_cast<bool>(ec));
    EXPECT_EQ(ec.message(), "Tag value is invalid");

    const error_code ok = qv::make_error_code(qv::EC_OK);
    EXPECT_FALSE(static_cast<bool>(ok));
    EXPECT_EQ(&ok.category(), &qv::cf_proto_error_category());

    const boost::system::error_condition condition = qv::make_error_condition(qv::EC_BAD_CONFIG);
    EXPECT_EQ(condition.value(), 102);
    EXPECT_EQ(&condition.category(), &qv::cf_proto_error_category());
    EXPECT_TRUE(qvc(102) == condition);
}

// ---------------------------------------------------------------------------
// Display names.

TEST(DisplayNames, EnumNameAndLexName)
{
    EXPECT_EQ(enum_name(lp::LOOKUP_REDIS), "redis");
    EXPECT_EQ(enum_name(lp::LOOKUP_LDAP), "ldap");
    EXPECT_EQ(enum_name(lp::LOOKUP_ALLMATCH), "allmatch");
    EXPECT_EQ(enum_name(static_cast<lp::LookupType>(5)), "5");
    EXPECT_EQ(enum_name(static_cast<lp::LookupType>(44)), "44");
    EXPECT_EQ(enum_name(lp::ClientMessage::LOOKUP_REQUEST), "LOOKUP_REQUEST");
    EXPECT_EQ(enum_name(lp::ClientMessage::CHECK_REQUEST), "CHECK_REQUEST");
    EXPECT_EQ(enum_name(static_cast<lp::ClientMessage_ClientMessageTag>(3)), "3");
    EXPECT_EQ(enum_name(qv::EC_APP_TERMINATED), "Process terminated by signal");
    EXPECT_EQ(enum_name(static_cast<qv::ErrorCode>(14)), "14");
    EXPECT_EQ(enum_name(static_cast<qv::ErrorCode>(-1)), "-1");
    EXPECT_EQ(enum_name(static_cast<qv::ErrorCode>(1000)), "1000");
    EXPECT_EQ(enum_name(qv::CCM_ALLOW), "Allow");
    EXPECT_EQ(enum_name(qv::Log::FILE), "File");
    EXPECT_EQ(enum_name(nullptr, 7), "7");

    const pb::EnumValueDescriptor* v = lp::LookupType_descriptor()->FindValueByNumber(42);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(lex_name(*v), "cidr");
    v = lp::ClientMessage_ClientMessageTag_descriptor()->FindValueByNumber(2);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(lex_name(*v), "CHECK_REQUEST");
}

namespace {

// An enumeration outside the schemas with duplicate, empty and missing lex
// texts.
class LexEnum : public ::testing::Test {
protected:
    void SetUp() override
    {
        pb::FileDescriptorProto file;
        file.set_name("lex_fixture.proto");
        file.set_package("fixture");
        pb::EnumDescriptorProto* e = file.add_enum_type();
        e->set_name("Dup");
        auto add = [e](const char* name, int number, const char* lex) {
            pb::EnumValueDescriptorProto* value = e->add_value();
            value->set_name(name);
            value->set_number(number);
            if (lex)
                value->mutable_options()->SetExtension(qv::lex, lex);
        };
        add("FIRST", 1, "Same");
        add("SECOND", 2, "SAME");
        add("EMPTY_LEX", 3, "");
        add("NO_LEX", 4, nullptr);
        add("UPPER", 5, "Mixed Case Text");
        const pb::FileDescriptor* built = pool_.BuildFile(file);
        ASSERT_NE(built, nullptr);
        dup_ = built->FindEnumTypeByName("Dup");
        ASSERT_NE(dup_, nullptr);
        ASSERT_TRUE(dup_->FindValueByNumber(3)->options().HasExtension(qv::lex));
    }

    pb::DescriptorPool pool_;
    const pb::EnumDescriptor* dup_ = nullptr;
};

} // namespace

TEST_F(LexEnum, LexNameKeepsAnEmptyText)
{
    EXPECT_EQ(lex_name(*dup_->FindValueByNumber(1)), "Same");
    EXPECT_EQ(lex_name(*dup_->FindValueByNumber(3)), "");
    EXPECT_EQ(lex_name(*dup_->FindValueByNumber(4)), "NO_LEX");
    EXPECT_EQ(enum_name(dup_, 3), "");
    EXPECT_EQ(enum_name(dup_, 9), "9");
}

TEST_F(LexEnum, FindByLexName)
{
    struct row_t {
        const char* text;
        int number; // 0: none
    };
    const std::vector<row_t> rows = {
        {"same", 1},           // the first of two equal texts
        {"SAME", 1},
        {"empty_lex", 3},      // an empty text falls back to the name
        {"No_Lex", 4},
        {"mixed case text", 5},
        {"MIXED CASE TEXT", 5},
        {"UPPER", 0},          // a value with a text is not found by its name
        {"", 0},
        {"sam", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const pb::EnumValueDescriptor* found = find_by_lex_name(dup_, row.text);
        if (row.number == 0) {
            EXPECT_EQ(found, nullptr);
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found->number(), row.number);
        }
    }

    // The schemas' own enumerations.
    const pb::EnumValueDescriptor* redis = find_by_lex_name(lp::LookupType_descriptor(), "Redis");
    ASSERT_NE(redis, nullptr);
    EXPECT_EQ(redis->number(), 23);
    EXPECT_EQ(find_by_lex_name(lp::LookupType_descriptor(), "LOOKUP_REDIS"), nullptr);
    EXPECT_EQ(find_by_lex_name(lp::LookupType_descriptor(), "redis "), nullptr);
    const pb::EnumValueDescriptor* tag = find_by_lex_name(qv::ErrorCode_descriptor(), "tag value is INVALID");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->number(), 71);
    const pb::EnumValueDescriptor* check =
        find_by_lex_name(lp::ClientMessage_ClientMessageTag_descriptor(), "check_request");
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->number(), 2);
    EXPECT_EQ(find_by_lex_name(nullptr, "ldap"), nullptr);
}

TEST_F(LexEnum, MakeLexNameMap)
{
    const std::unordered_map<std::string, int> map = make_lex_name_map(dup_);
    const std::unordered_map<std::string, int> expected = {
        {"same", 2}, // the later value replaces the earlier
        {"empty_lex", 3},
        {"no_lex", 4},
        {"mixed case text", 5},
    };
    EXPECT_EQ(map, expected);

    const std::unordered_map<std::string, int> types = make_lex_name_map(lp::LookupType_descriptor());
    const std::unordered_map<std::string, int> expected_types = {
        {"ldap", 0},  {"ad", 1},        {"pq", 20},    {"sqlite", 21}, {"mysql", 22},
        {"redis", 23}, {"allmatch", 40}, {"regex", 41}, {"cidr", 42},   {"mask", 43}};
    EXPECT_EQ(types, expected_types);

    const std::unordered_map<std::string, int> tags =
        make_lex_name_map(lp::ClientMessage_ClientMessageTag_descriptor());
    const std::unordered_map<std::string, int> expected_tags = {{"lookup_request", 1},
                                                                {"check_request", 2}};
    EXPECT_EQ(tags, expected_tags);

    const std::unordered_map<std::string, int> codes = make_lex_name_map(qv::ErrorCode_descriptor());
    ASSERT_EQ(codes.count("process terminated by signal"), 1u);
    EXPECT_EQ(codes.at("process terminated by signal"), 107);
    EXPECT_EQ(codes.at("success"), 0);

    EXPECT_TRUE(make_lex_name_map(nullptr).empty());
}

// ---------------------------------------------------------------------------
// Error code to suite number.

TEST(ToProtoErrorCode, ErrnoTableSystemAndGenericCategories)
{
    const std::vector<std::pair<int, qv::ErrorCode>> table = {
        {0, qv::EC_OK},
        {EACCES, qv::EC_PERMISSION_DENIED},
        {EPERM, qv::EC_PERMISSION_DENIED},
        {ENOENT, qv::EC_NO_SUCH_ENTRY},
        {ENOTDIR, qv::EC_NOT_A_DIRECTORY},
        {EROFS, qv::EC_READ_ONLY_FS},
        {EINVAL, qv::EC_INVALID_ARGUMENT},
        {EEXIST, qv::EC_FILE_EXISTS},
        {EADDRINUSE, qv::EC_NAME_ALREADY_IN_USE},
        {EXDEV, qv::EC_CROSS_DEVICE_LINK},
        {ENOMEM, qv::EC_NO_MEMORY},
        {ENOSPC, qv::EC_UNEXPECTED_ERROR},
        {EAGAIN, qv::EC_UNEXPECTED_ERROR},
        {ECONNREFUSED, qv::EC_UNEXPECTED_ERROR},
        {EISDIR, qv::EC_UNEXPECTED_ERROR},
        {EIO, qv::EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(std::strerror(row.first));
        EXPECT_EQ(to_proto_error_code(sys(row.first)), row.second);
        EXPECT_EQ(to_proto_error_code(gen(row.first)), row.second);
    }
    EXPECT_EQ(to_proto_error_code(error_code()), qv::EC_OK);
}

TEST(ToProtoErrorCode, QvAndOtherCategories)
{
    EXPECT_EQ(to_proto_error_code(qvc(102)), qv::EC_BAD_CONFIG);
    EXPECT_EQ(to_proto_error_code(qvc(0)), qv::EC_OK);
    EXPECT_EQ(to_proto_error_code(qvc(13)), qv::EC_UNKNOWN_STATE);
    EXPECT_EQ(to_proto_error_code(qv::EC_INVALID_TAG), qv::EC_INVALID_TAG);
    // Not a declared value: 125, also where the number is an errno of the
    // table (17 EEXIST, 18 EXDEV).
    for (int n : {14, 17, 18, 126, 1000, -1})
        EXPECT_EQ(to_proto_error_code(qvc(n)), qv::EC_UNEXPECTED_ERROR) << n;

    EXPECT_EQ(to_proto_error_code(error_code(3, lp_like_category)), qv::EC_UNEXPECTED_ERROR);
    EXPECT_EQ(to_proto_error_code(error_code(EACCES, lp_like_category)), qv::EC_UNEXPECTED_ERROR);
    EXPECT_EQ(to_proto_error_code(error_code(0, lp_like_category)), qv::EC_UNEXPECTED_ERROR);
    // A category that declares itself equivalent to a condition of the table.
    EXPECT_EQ(to_proto_error_code(error_code(1, denying_category)), qv::EC_PERMISSION_DENIED);
    EXPECT_EQ(to_proto_error_code(error_code(2, denying_category)), qv::EC_UNEXPECTED_ERROR);
}

// ---------------------------------------------------------------------------
// Error code and suite number of an exception.

TEST(ErrorCodeOf, ByDynamicType)
{
    struct row_t {
        const char* name;
        std::function<error_code()> code;
        error_code expected;
        qv::ErrorCode number;
    };
    const std::vector<row_t> rows = {
        {"system_error with a qv code",
         [] { return error_code_of(boost::system::system_error(qv::EC_BAD_MESSAGE_FORMAT)); },
         qvc(8), qv::EC_BAD_MESSAGE_FORMAT},
        {"system_error with a system code",
         [] { return error_code_of(boost::system::system_error(sys(ENOENT), "open")); }, sys(ENOENT),
         qv::EC_NO_SUCH_ENTRY},
        {"filesystem_error",
         [] { return error_code_of(fs::filesystem_error("stat", fs::path("/x"), sys(EACCES))); },
         sys(EACCES), qv::EC_PERMISSION_DENIED},
        {"cf_proto_exception_t 33",
         [] { return error_code_of(cf_proto_exception_t(qv::EC_NOT_A_REGULAR_FILE, "not regular")); },
         qvc(33), qv::EC_NOT_A_REGULAR_FILE},
        {"cf_proto_exception_t with an undeclared number",
         [] { return error_code_of(cf_proto_exception_t(static_cast<qv::ErrorCode>(14), "odd")); },
         qvc(14), qv::EC_UNEXPECTED_ERROR},
        {"cf_exception_t",
         [] { return error_code_of(cf_exception_t(sys(EROFS), "write")); }, sys(EROFS),
         qv::EC_READ_ONLY_FS},
        {"cf_exception_t with an lp code",
         [] { return error_code_of(cf_exception_t(error_code(3, lp_like_category), "x")); },
         error_code(3, lp_like_category), qv::EC_UNEXPECTED_ERROR},
        {"std::bad_alloc", [] { return error_code_of(std::bad_alloc()); }, qvc(21), qv::EC_NO_MEMORY},
        {"std::bad_array_new_length",
         [] { return error_code_of(std::bad_array_new_length()); }, qvc(21), qv::EC_NO_MEMORY},
        {"class derived from std::bad_alloc",
         [] { return error_code_of(allocator_exhausted_t()); }, qvc(21), qv::EC_NO_MEMORY},
        {"std::runtime_error", [] { return error_code_of(std::runtime_error("x")); }, qvc(125),
         qv::EC_UNEXPECTED_ERROR},
        {"std::logic_error", [] { return error_code_of(std::logic_error("x")); }, qvc(125),
         qv::EC_UNEXPECTED_ERROR},
        {"std::system_error is not boost's",
         [] { return error_code_of(std::system_error(std::make_error_code(std::errc::permission_denied))); },
         qvc(125), qv::EC_UNEXPECTED_ERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const error_code got = row.code();
        EXPECT_EQ(got.value(), row.expected.value());
        EXPECT_TRUE(got.category() == row.expected.category()) << got.category().name();
        EXPECT_EQ(to_proto_error_code(got), row.number);
    }

    EXPECT_EQ(proto_error_code_of(boost::system::system_error(sys(ENOENT))), qv::EC_NO_SUCH_ENTRY);
    EXPECT_EQ(proto_error_code_of(cf_proto_exception_t(qv::EC_BAD_CONFIG, "bad")), qv::EC_BAD_CONFIG);
    EXPECT_EQ(proto_error_code_of(std::bad_alloc()), qv::EC_NO_MEMORY);
    EXPECT_EQ(proto_error_code_of(std::out_of_range("x")), qv::EC_UNEXPECTED_ERROR);
}

TEST(ErrorCodeOf, ExceptionClasses)
{
    const cf_exception_t ce(sys(EXDEV), "rename");
    EXPECT_STREQ(ce.what(), "rename");
    EXPECT_EQ(ce.code, sys(EXDEV));
    const std::runtime_error& as_runtime = ce;
    EXPECT_STREQ(as_runtime.what(), "rename");

    const cf_proto_exception_t pe(qv::EC_NOT_A_REGULAR_FILE, "File is not regular");
    EXPECT_EQ(pe.code, qv::EC_NOT_A_REGULAR_FILE);
    EXPECT_STREQ(pe.what(), "File is not regular");

    qv::Error record;
    record.set_code(qv::EC_INVALID_TAG);
    const cf_proto_exception_t from_record(record);
    EXPECT_EQ(from_record.code, qv::EC_INVALID_TAG);
    EXPECT_STREQ(from_record.what(), "Tag value is invalid");
    record.set_what("tag \"x\" unknown");
    EXPECT_STREQ(cf_proto_exception_t(record).what(), "tag \"x\" unknown");
}

// ---------------------------------------------------------------------------
// Exception texts.

TEST(ExceptionText, SystemErrorRenderingWithCategoryAndValue)
{
    struct row_t {
        const char* name;
        std::function<const char*()> text;
        const char* expected;
    };
    const std::vector<row_t> rows = {
        {"qv code alone",
         [] {
             static const boost::system::system_error e(qv::EC_BAD_MESSAGE_FORMAT);
             return exception_text(e);
         },
         "Invalid IPC message format [qv.Error:8]"},
        {"qv code with a context",
         [] {
             static const boost::system::system_error e(qv::EC_PROTOCOL_VIOLATION,
                                                        "LOOKUP_REQUEST: Check failed: req.has_serial()");
             return exception_text(e);
         },
         "LOOKUP_REQUEST: Check failed: req.has_serial(): Protocol violation [qv.Error:12]"},
        {"empty context",
         [] {
             static const boost::system::system_error e(qv::EC_LINK_DISCONNECTED, "");
             return exception_text(e);
         },
         "Link disconnected [qv.Error:6]"},
        {"system category",
         [] {
             static const boost::system::system_error e(sys(ENOENT), "open");
             return exception_text(e);
         },
         "open: No such file or directory [system:2]"},
        {"generic category",
         [] {
             static const boost::system::system_error e(gen(EINVAL), "parse");
             return exception_text(e);
         },
         "parse: Invalid argument [generic:22]"},
        {"daemon category",
         [] {
             static const boost::system::system_error e(error_code(3, lp_like_category), "Search");
             return exception_text(e);
         },
         "Search: More than one matching user found [lp:3]"},
        {"undeclared qv value",
         [] {
             static const boost::system::system_error e(qvc(-1), "x");
             return exception_text(e);
         },
         "x: qv.Error -1 [qv.Error:-1]"},
        {"qualified context loses its qualification",
         [] {
             static const boost::system::system_error e(sys(ECONNREFUSED), "boost::asio::connect");
             return exception_text(e);
         },
         "connect: Connection refused [system:111]"},
        {"filesystem_error: path after the bracket",
         [] {
             static const fs::filesystem_error e("boost::filesystem::create_directory",
                                                 fs::path("/a/b"), sys(ENOENT));
             return exception_text(e);
         },
         "create_directory: No such file or directory [system:2]: \"/a/b\""},
        {"filesystem_error with two paths",
         [] {
             static const fs::filesystem_error e("boost::filesystem::rename", fs::path("/a"),
                                                 fs::path("/b c"), sys(EXDEV));
             return exception_text(e);
         },
         "rename: Invalid cross-device link [system:18]: \"/a\", \"/b c\""},
        {"filesystem_error without path",
         [] {
             static const fs::filesystem_error e("boost::filesystem::current_path", sys(EACCES));
             return exception_text(e);
         },
         "current_path: Permission denied [system:13]"},
        {"directory iterator construction becomes opendir",
         [] {
             static const fs::filesystem_error e("boost::filesystem::directory_iterator::construct",
                                                 fs::path("/lists"), sys(ENOTDIR));
             return exception_text(e);
         },
         "opendir: Not a directory [system:20]: \"/lists\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(row.text(), row.expected);
    }

    // Boost's own what() of this release lacks the bracket.
    const boost::system::system_error plain(qv::EC_BAD_MESSAGE_FORMAT);
    EXPECT_STREQ(plain.what(), "Invalid IPC message format");
}

TEST(ExceptionText, SeveralRenderedTextsHeldAtOnce)
{
    const boost::system::system_error a(qv::make_error_code(qv::EC_BAD_MESSAGE_FORMAT));
    const boost::system::system_error b(qv::make_error_code(qv::EC_PROTOCOL_VIOLATION), "second");
    const char* first = exception_text(a);
    const char* second = exception_text(b);
    EXPECT_STREQ(first, "Invalid IPC message format [qv.Error:8]");
    EXPECT_STREQ(second, "second: Protocol violation [qv.Error:12]");
    EXPECT_EQ(std::string(exception_text(a)) + " / " + exception_text(b),
              "Invalid IPC message format [qv.Error:8] / second: Protocol violation [qv.Error:12]");
}

TEST(ExceptionText, QualificationRewrite)
{
    struct row_t {
        const char* what;
        const char* expected;
    };
    const std::vector<row_t> rows = {
        {"boost::filesystem::directory_iterator::construct: No such file", "opendir: No such file"},
        {"boost::filesystem::directory_iterator::construct:", "opendir:"},
        {"boost::filesystem::directory_iterator::increment: Bad file", "increment: Bad file"},
        {"boost::filesystem::directory_iterator::constructor: x", "constructor: x"},
        {"boost::filesystem::directory_iterator::construct", "construct"},
        {"boost::filesystem::directory_iterator::construct :x", "construct :x"},
        {"boost::filesystem::directory_iterator::operator++: x", "operator++: x"},
        // The directory rewrite needs exactly that qualification.
        {"boost::filesystem::directory_iterator::detail::construct: x", "construct: x"},
        {"boost::filesystem::Directory_iterator::construct: x", "construct: x"},
        {"boost::filesystem::create_directory: File exists", "create_directory: File exists"},
        {"boost::bad_lexical_cast: source type value could not be interpreted as target",
         "bad_lexical_cast: source type value could not be interpreted as target"},
        {"boost::asio::ip::tcp::resolver: Host not found", "resolver: Host not found"},
        {"boost::a::b: c::d::e", "b: c::d::e"},
        {"boost::", ""},
        {"boost:: spaced", " spaced"},
        {"boost::_1::x", "x"},
        {"Boost::filesystem::x: y", "Boost::filesystem::x: y"},
        {"BOOST::a::b", "BOOST::a::b"},
        {"xboost::a::b", "xboost::a::b"},
        {" boost::a::b", " boost::a::b"},
        {"boost:a::b", "boost:a::b"},
        {"Cannot open file \"/x\"", "Cannot open file \"/x\""},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::runtime_error e(row.what);
        const char* text = exception_text(e);
        EXPECT_STREQ(text, row.expected);
        // Outside the directory rewrite the text points into what() itself.
        if (std::strncmp(row.expected, "opendir:", 8) != 0) {
            const std::size_t cut = std::strlen(e.what()) - std::strlen(row.expected);
            EXPECT_EQ(text, e.what() + cut);
        }
    }
}

TEST(ExceptionText, BadAllocAndDerived)
{
    EXPECT_STREQ(exception_text(std::bad_alloc()), "Not enough memory");
    // Only exactly std::bad_alloc is renamed.
    EXPECT_STREQ(exception_text(allocator_exhausted_t()), "allocator exhausted");
    EXPECT_STREQ(exception_text(std::bad_array_new_length()), std::bad_array_new_length().what());
    EXPECT_STREQ(exception_text(qualified_alloc_failure_t()), "pool: exhausted");
    EXPECT_STREQ(exception_text(std::logic_error("plain")), "plain");
}

// The rewrite through real Boost.Filesystem failures.
TEST(ExceptionText, RealFilesystemFailures)
{
    const velbo_test::temp_dir_t dir;
    const fs::path missing = fs::path(dir.path()) / "missing";
    const std::string quoted = "\"" + missing.string() + "\"";

    try {
        fs::directory_iterator it(missing);
        FAIL() << "directory_iterator did not throw";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(exception_text(e)),
                  "opendir: No such file or directory [system:2]: " + quoted);
        EXPECT_EQ(proto_error_code_of(e), qv::EC_NO_SUCH_ENTRY);
    }

    try {
        fs::create_directory(missing / "sub");
        FAIL() << "create_directory did not throw";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(exception_text(e)),
                  "create_directory: No such file or directory [system:2]: \"" +
                      (missing / "sub").string() + "\"");
    }

    try {
        fs::rename(missing, fs::path(dir.path()) / "other");
        FAIL() << "rename did not throw";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(exception_text(e)), "rename: No such file or directory [system:2]: " +
                                                      quoted + ", \"" +
                                                      (fs::path(dir.path()) / "other").string() + "\"");
    }

    // A file where a directory is expected.
    const fs::path file = fs::path(dir.path()) / "file";
    fs::ofstream(file) << "x";
    try {
        fs::directory_iterator it(file);
        FAIL() << "directory_iterator did not throw";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(std::string(exception_text(e)),
                  "opendir: Not a directory [system:20]: \"" + file.string() + "\"");
        EXPECT_EQ(proto_error_code_of(e), qv::EC_NOT_A_DIRECTORY);
    }
}

// Each thread has its own rewritten text.
TEST(ExceptionText, DirectoryRewritePerThread)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::runtime_error e("boost::filesystem::directory_iterator::construct: thread " +
                                       std::to_string(t));
            const fs::filesystem_error fe("boost::filesystem::directory_iterator::construct",
                                          fs::path("/t" + std::to_string(t)), sys(ENOENT));
            const std::string expected = "opendir: thread " + std::to_string(t);
            const std::string expected_fs =
                "opendir: No such file or directory [system:2]: \"/t" + std::to_string(t) + "\"";
            for (int i = 0; i < 2000; ++i) {
                const char* text = exception_text(e);
                std::this_thread::yield();
                if (expected != text)
                    ++wrong;
                if (expected_fs != exception_text(fe))
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// Error records.

TEST(FillError, FromErrorCode)
{
    struct row_t {
        const char* name;
        error_code ec;
        qv::ErrorCode code;
        const char* what;
    };
    const std::vector<row_t> rows = {
        {"qv 71", qv::EC_INVALID_TAG, qv::EC_INVALID_TAG, "Tag value is invalid"},
        {"qv 102", qv::EC_BAD_CONFIG, qv::EC_BAD_CONFIG, "Invalid configuration"},
        {"system ENOENT", sys(ENOENT), qv::EC_NO_SUCH_ENTRY, "No such file or directory"},
        {"system ENOSPC", sys(ENOSPC), qv::EC_UNEXPECTED_ERROR, "No space left on device"},
        {"generic EINVAL", gen(EINVAL), qv::EC_INVALID_ARGUMENT, "Invalid argument"},
        {"undeclared qv value", qvc(1000), qv::EC_UNEXPECTED_ERROR, "qv.Error 1000"},
        {"lp category", error_code(3, lp_like_category), qv::EC_UNEXPECTED_ERROR,
         "More than one matching user found"},
        {"success", error_code(), qv::EC_OK, "Success"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        qv::Error error;
        error.set_what("stale");
        fill_error(error, row.ec);
        EXPECT_TRUE(error.has_code());
        EXPECT_TRUE(error.has_what());
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.what(), row.what);
        // Always a record that the client's checking parse accepts.
        EXPECT_TRUE(parses_as_error(error));
    }

    // Inside an answer, through mutable_error.
    lp::ServerMessage answer;
    answer.set_tag(lp::ServerMessage::CHECK_RESPONSE);
    answer.set_serial(4);
    fill_error(*answer.mutable_error(), qv::EC_INVALID_TAG);
    EXPECT_TRUE(answer.IsInitialized());
    EXPECT_FALSE(answer.has_result());
    EXPECT_EQ(answer.error().code(), qv::EC_INVALID_TAG);
}

TEST(FillError, FromException)
{
    qv::Error error;
    fill_error(error, boost::system::system_error(qv::EC_PROTOCOL_VIOLATION,
                                                  "LOOKUP_REQUEST: Check failed: req.has_serial()"));
    EXPECT_EQ(error.code(), qv::EC_PROTOCOL_VIOLATION);
    EXPECT_EQ(error.what(), "LOOKUP_REQUEST: Check failed: req.has_serial(): Protocol violation [qv.Error:12]");

    fill_error(error, std::bad_alloc());
    EXPECT_EQ(error.code(), qv::EC_NO_MEMORY);
    EXPECT_EQ(error.what(), "Not enough memory");

    fill_error(error, std::runtime_error("boost::x::y: z"));
    EXPECT_EQ(error.code(), qv::EC_UNEXPECTED_ERROR);
    EXPECT_EQ(error.what(), "y: z");

    fill_error(error, cf_proto_exception_t(static_cast<qv::ErrorCode>(14), "odd"));
    EXPECT_EQ(error.code(), qv::EC_UNEXPECTED_ERROR);
    EXPECT_TRUE(parses_as_error(error));
}

TEST(FillError, ErrorText)
{
    qv::Error error;
    EXPECT_EQ(error_text(error), "Success");
    error.set_code(qv::EC_INVALID_TAG);
    EXPECT_EQ(error_text(error), "Tag value is invalid");
    error.set_what("");
    EXPECT_EQ(error_text(error), ""); // set, even when empty
    error.set_what("custom text");
    EXPECT_EQ(error_text(error), "custom text");
    error.clear_what();
    error.set_code(qv::EC_NO_TRAWLD);
    EXPECT_EQ(error_text(error), "TrawlD is not available");
}

// ---------------------------------------------------------------------------
// The exception_ptr family.

TEST(ExceptionPtr, CodesAndTexts)
{
    struct row_t {
        const char* name;
        std::exception_ptr ptr;
        error_code code;
        qv::ErrorCode number;
        const char* text;
    };
    const std::vector<row_t> rows = {
        {"null", nullptr, qvc(0), qv::EC_OK, "Success"},
        {"bad_alloc", std::make_exception_ptr(std::bad_alloc()), qvc(21), qv::EC_NO_MEMORY,
         "Not enough memory"},
        {"derived bad_alloc", std::make_exception_ptr(allocator_exhausted_t()), qvc(21),
         qv::EC_NO_MEMORY, "allocator exhausted"},
        {"system_error", std::make_exception_ptr(boost::system::system_error(sys(ENOENT), "open")),
         sys(ENOENT), qv::EC_NO_SUCH_ENTRY, "open: No such file or directory [system:2]"},
        {"filesystem_error",
         std::make_exception_ptr(fs::filesystem_error("boost::filesystem::directory_iterator::construct",
                                                      fs::path("/d"), sys(ENOENT))),
         sys(ENOENT), qv::EC_NO_SUCH_ENTRY, "opendir: No such file or directory [system:2]: \"/d\""},
        {"cf_exception_t", std::make_exception_ptr(cf_exception_t(sys(EROFS), "w")), sys(EROFS),
         qv::EC_READ_ONLY_FS, "w"},
        {"cf_proto_exception_t",
         std::make_exception_ptr(cf_proto_exception_t(qv::EC_NOT_A_REGULAR_FILE, "nr")), qvc(33),
         qv::EC_NOT_A_REGULAR_FILE, "nr"},
        {"runtime_error", std::make_exception_ptr(std::runtime_error("boost::a::b: c")), qvc(125),
         qv::EC_UNEXPECTED_ERROR, "b: c"},
        {"bare ErrorCode", std::make_exception_ptr(qv::EC_APP_TERMINATED), qvc(125),
         qv::EC_UNEXPECTED_ERROR, "ErrorCode: Process terminated by signal"},
        {"bare undeclared ErrorCode", std::make_exception_ptr(static_cast<qv::ErrorCode>(1000)),
         qvc(125), qv::EC_UNEXPECTED_ERROR, "ErrorCode: 1000"},
        {"int", std::make_exception_ptr(5), qvc(125), qv::EC_UNEXPECTED_ERROR, "Unexpected exception"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const error_code got = error_code_of(row.ptr);
        EXPECT_EQ(got.value(), row.code.value());
        EXPECT_TRUE(got.category() == row.code.category()) << got.category().name();
        EXPECT_EQ(proto_error_code_of(row.ptr), row.number);
        EXPECT_EQ(text_of(row.ptr), row.text);

        qv::Error error;
        fill_error(error, row.ptr);
        EXPECT_EQ(error.code(), row.number);
        EXPECT_EQ(error.what(), row.text);
        EXPECT_TRUE(parses_as_error(error));
    }
}

TEST(ExceptionPtr, ExceptionPtrOf)
{
    EXPECT_EQ(exception_ptr_of(error_code()), nullptr);
    EXPECT_EQ(exception_ptr_of(qv::make_error_code(qv::EC_OK)), nullptr);
    EXPECT_EQ(exception_ptr_of(error_code(), "prefix"), nullptr);

    const std::exception_ptr plain = exception_ptr_of(qv::EC_BAD_MESSAGE_FORMAT);
    ASSERT_NE(plain, nullptr);
    try {
        std::rethrow_exception(plain);
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), qvc(8));
        EXPECT_STREQ(exception_text(e), "Invalid IPC message format [qv.Error:8]");
    }

    const std::exception_ptr prefixed = exception_ptr_of(sys(ENOENT), "Monitor");
    ASSERT_NE(prefixed, nullptr);
    try {
        std::rethrow_exception(prefixed);
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), sys(ENOENT));
        EXPECT_STREQ(exception_text(e), "Monitor: No such file or directory [system:2]");
    }

    qv::Error record;
    EXPECT_EQ(exception_ptr_of(record), nullptr); // no code
    record.set_code(qv::EC_OK);
    EXPECT_EQ(exception_ptr_of(record), nullptr); // code 0
    record.set_code(qv::EC_INVALID_TAG);
    const std::exception_ptr from_record = exception_ptr_of(record);
    ASSERT_NE(from_record, nullptr);
    try {
        std::rethrow_exception(from_record);
    } catch (const cf_proto_exception_t& e) {
        EXPECT_EQ(e.code, qv::EC_INVALID_TAG);
        EXPECT_STREQ(e.what(), "Tag value is invalid");
    }
    record.set_what("gone");
    try {
        std::rethrow_exception(exception_ptr_of(record));
    } catch (const cf_proto_exception_t& e) {
        EXPECT_STREQ(e.what(), "gone");
    }
}
