// The message schemas: their descriptors and options, their wire form, the
// checking parse the links use, and the defaults and JSON form the program
// relies on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/json_util.h>

#include "annotation.pb.h"
#include "application.pb.h"
#include "error.pb.h"
#include "lexmap.pb.h"
#include "local_user.pb.h"
#include "log.pb.h"
#include "pilotd_trawld_ipc.pb.h"
#include "trawld_appstat.pb.h"
#include "trawld_client_ipc.pb.h"
#include "trawld_config.pb.h"

namespace pb = google::protobuf;

namespace {

// "08 47 12" -> the three bytes.
std::string unhex(const std::string& text)
{
    std::istringstream in(text);
    std::string out;
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<char>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Serialises as the frame writer does: sizes first, then the cached-size
// writer, which checks no required field.
std::string wire(const pb::MessageLite& message)
{
    std::string out(message.ByteSizeLong(), '\0');
    message.SerializeWithCachedSizesToArray(reinterpret_cast<std::uint8_t*>(&out[0]));
    return out;
}

// The checking parse of the links.
bool checked_parse(pb::MessageLite& message, const std::string& bytes)
{
    pb::io::ArrayInputStream in(bytes.data(), static_cast<int>(bytes.size()));
    return message.ParseFromZeroCopyStream(&in);
}

template <class M>
bool reparses(const pb::MessageLite& source)
{
    M target;
    return checked_parse(target, wire(source));
}

// Collects what the protobuf runtime logs while it lives.
class protobuf_log_capture_t {
public:
    protobuf_log_capture_t()
    {
        lines().clear();
        previous_ = pb::SetLogHandler(&record);
    }
    ~protobuf_log_capture_t() { pb::SetLogHandler(previous_); }

    std::string errors() const
    {
        std::string out;
        for (const auto& line : lines())
            out += line + "\n";
        return out;
    }

private:
    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> collected;
        return collected;
    }
    static void record(pb::LogLevel level, const char*, int, const std::string& message)
    {
        if (level >= pb::LOGLEVEL_ERROR)
            lines().push_back(message);
    }
    pb::LogHandler* previous_;
};

const pb::FileDescriptor* schema_file(const std::string& name)
{
    return pb::DescriptorPool::generated_pool()->FindFileByName(name);
}

const std::vector<std::string> schema_file_names = {
    "annotation.proto",    "error.proto",          "trawld_client_ipc.proto", "trawld_config.proto",
    "pilotd_trawld_ipc.proto", "trawld_appstat.proto", "local_user.proto",   "log.proto",
    "lexmap.proto",        "application.proto"};

std::vector<const pb::Descriptor*> all_messages()
{
    std::vector<const pb::Descriptor*> out;
    for (const auto& name : schema_file_names) {
        const pb::FileDescriptor* file = schema_file(name);
        if (!file)
            continue;
        for (int i = 0; i < file->message_type_count(); ++i)
            out.push_back(file->message_type(i));
    }
    return out;
}

std::vector<const pb::EnumDescriptor*> all_enums()
{
    std::vector<const pb::EnumDescriptor*> out;
    for (const auto& name : schema_file_names) {
        const pb::FileDescriptor* file = schema_file(name);
        if (!file)
            continue;
        for (int i = 0; i < file->enum_type_count(); ++i)
            out.push_back(file->enum_type(i));
        for (int i = 0; i < file->message_type_count(); ++i)
            for (int j = 0; j < file->message_type(i)->enum_type_count(); ++j)
                out.push_back(file->message_type(i)->enum_type(j));
    }
    return out;
}

const char* label_of(const pb::FieldDescriptor* field)
{
    switch (field->label()) {
    case pb::FieldDescriptor::LABEL_REQUIRED: return "required";
    case pb::FieldDescriptor::LABEL_REPEATED: return "repeated";
    default: return "optional";
    }
}

// "3 optional lp.LookupType lookup_type", with " oneof data" for members of
// a oneof.
std::string field_line(const pb::FieldDescriptor* field)
{
    std::string type;
    if (field->message_type())
        type = field->message_type()->full_name();
    else if (field->enum_type())
        type = field->enum_type()->full_name();
    else
        type = field->type_name();
    std::string line = std::to_string(field->number()) + " " + label_of(field) + " " + type + " " +
                       field->name();
    if (field->containing_oneof())
        line += " oneof " + field->containing_oneof()->name();
    return line;
}

// "1 SYSLOG \"Syslog\"", or without the text for a value without lex.
std::string enum_line(const pb::EnumValueDescriptor* value)
{
    std::string line = std::to_string(value->number()) + " " + value->name();
    if (value->options().HasExtension(qv::lex))
        line += " \"" + value->options().GetExtension(qv::lex) + "\"";
    return line;
}

std::string lex_or_empty(const pb::EnumValueDescriptor* value)
{
    return value->options().HasExtension(qv::lex) ? value->options().GetExtension(qv::lex) : "";
}

} // namespace

// ---------------------------------------------------------------------------
// Files, messages and fields as declared.

TEST(SchemaFiles, PackagesImportsAndDeclarationOrder)
{
    struct row_t {
        std::string file;
        std::string package;
        std::vector<std::string> imports;
        std::vector<std::string> messages;
        std::vector<std::string> enums;
        std::vector<std::string> extensions;
    };
    const std::vector<row_t> rows = {
        {"annotation.proto", "qv", {"google/protobuf/descriptor.proto"}, {}, {"LexHint"},
         {"app", "ini_section", "hint", "lex"}},
        {"error.proto", "qv", {"annotation.proto"}, {"Error"}, {"ErrorCode"}, {}},
        {"trawld_client_ipc.proto", "lp", {"annotation.proto", "error.proto"},
         {"ClientMessage", "ServerMessage"}, {"LookupType"}, {}},
        {"trawld_config.proto", "qv",
         {"annotation.proto", "application.proto", "local_user.proto", "log.proto"},
         {"LDAPLookupConfig", "LDAPLookupConfigs", "ADLookupConfig", "ADLookupConfigs",
          "PQLookupConfig", "PQLookupConfigs", "SqliteLookupConfig", "SqliteLookupConfigs",
          "MysqlLookupConfig", "MysqlLookupConfigs", "RedisLookupConfig", "RedisLookupConfigs",
          "SocketLookupConfig", "SocketLookupConfigs", "AllMatchLookupConfig",
          "AllMatchLookupConfigs", "RegexLookupConfig", "RegexLookupConfigs", "CidrLookupConfig",
          "CidrLookupConfigs", "MaskLookupConfig", "MaskLookupConfigs", "TrawlDConfig"},
         {"CertCheckMode"},
         {"trawld_config"}},
        {"pilotd_trawld_ipc.proto", "qv", {"trawld_appstat.proto", "trawld_config.proto"},
         {"TrawlD2PilotdMessage", "Pilotd2TrawlDMessage"}, {}, {}},
        {"trawld_appstat.proto", "qv", {"application.proto"}, {"TrawlDClientStat", "TrawlDAppStat"},
         {}, {"trawld_stat"}},
        {"local_user.proto", "qv", {}, {"LocalUser"}, {}, {}},
        {"log.proto", "qv", {"annotation.proto"}, {"Log"}, {"LogLevel"}, {}},
        {"lexmap.proto", "qv", {}, {"LexValue", "LexOption", "LexMap"}, {}, {}},
        {"application.proto", "qv", {"annotation.proto", "error.proto"},
         {"AppInfo", "AppStat", "ComponentControl", "AppConfig", "AppExeInfo"}, {"Application"},
         {}},
    };
    ASSERT_EQ(rows.size(), schema_file_names.size());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const pb::FileDescriptor* file = schema_file(row.file);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->package(), row.package);
        EXPECT_EQ(file->syntax(), pb::FileDescriptor::SYNTAX_PROTO2);
        // No file option (optimize_for, arenas, ...) changes the generated code.
        EXPECT_EQ(file->options().ByteSizeLong(), 0u);
        EXPECT_EQ(file->service_count(), 0);

        std::vector<std::string> imports, messages, enums, extensions;
        for (int i = 0; i < file->dependency_count(); ++i)
            imports.push_back(file->dependency(i)->name());
        for (int i = 0; i < file->message_type_count(); ++i)
            messages.push_back(file->message_type(i)->name());
        for (int i = 0; i < file->enum_type_count(); ++i)
            enums.push_back(file->enum_type(i)->name());
        for (int i = 0; i < file->extension_count(); ++i)
            extensions.push_back(file->extension(i)->name());
        EXPECT_EQ(imports, row.imports);
        EXPECT_EQ(messages, row.messages);
        EXPECT_EQ(enums, row.enums);
        EXPECT_EQ(extensions, row.extensions);
    }
}

TEST(SchemaFields, EveryMessageMatchesItsTable)
{
    struct row_t {
        std::vector<std::string> fields;
        std::vector<std::string> nested_enums;
        bool extensions_1_to_999;
    };
    const std::vector<std::string> conn_request_tag = {
        "1 optional string conn", "2 optional string request", "1000 required string tag"};
    const std::vector<std::string> file_tag = {"1 optional string file", "1000 required string tag"};
    const std::map<std::string, row_t> table = {
        {"qv.Error", {{"1 required qv.ErrorCode code", "2 optional string what"}, {}, false}},
        {"lp.ClientMessage",
         {{"1 required lp.ClientMessage.ClientMessageTag tag", "2 optional uint32 serial",
           "3 optional lp.LookupType lookup_type", "4 optional string lookup_tag",
           "5 optional string user", "6 optional string domain", "7 optional string check"},
          {"ClientMessageTag"},
          false}},
        {"lp.ServerMessage",
         {{"1 required lp.ServerMessage.ServerMessageTag tag", "2 optional uint32 serial",
           "3 repeated bytes data", "4 optional bool result", "100 optional qv.Error error"},
          {"ServerMessageTag"},
          false}},
        {"qv.LDAPLookupConfig",
         {{"1 optional string url", "2 optional string bind_dn", "3 optional string bind_password",
           "4 optional bool chase_referrals", "1000 required string tag"},
          {},
          false}},
        {"qv.LDAPLookupConfigs", {{"1 repeated qv.LDAPLookupConfig item"}, {}, false}},
        {"qv.ADLookupConfig",
         {{"1 optional string host", "2 optional uint32 port", "3 optional string dn",
           "4 optional string user", "5 optional string password", "6 optional bool use_ssl",
           "7 optional bool chase_referrals", "1000 required string tag"},
          {},
          false}},
        {"qv.ADLookupConfigs", {{"1 repeated qv.ADLookupConfig item"}, {}, false}},
        {"qv.PQLookupConfig", {conn_request_tag, {}, false}},
        {"qv.PQLookupConfigs", {{"1 repeated qv.PQLookupConfig item"}, {}, false}},
        {"qv.SqliteLookupConfig", {conn_request_tag, {}, false}},
        {"qv.SqliteLookupConfigs", {{"1 repeated qv.SqliteLookupConfig item"}, {}, false}},
        {"qv.MysqlLookupConfig", {conn_request_tag, {}, false}},
        {"qv.MysqlLookupConfigs", {{"1 repeated qv.MysqlLookupConfig item"}, {}, false}},
        {"qv.RedisLookupConfig",
         {{"1 optional string conn", "2 optional string request", "3 optional bool use_ssl",
           "1000 required string tag"},
          {},
          false}},
        {"qv.RedisLookupConfigs", {{"1 repeated qv.RedisLookupConfig item"}, {}, false}},
        {"qv.SocketLookupConfig", {conn_request_tag, {}, false}},
        {"qv.SocketLookupConfigs", {{"1 repeated qv.SocketLookupConfig item"}, {}, false}},
        {"qv.AllMatchLookupConfig", {file_tag, {}, false}},
        {"qv.AllMatchLookupConfigs", {{"1 repeated qv.AllMatchLookupConfig item"}, {}, false}},
        {"qv.RegexLookupConfig", {file_tag, {}, false}},
        {"qv.RegexLookupConfigs", {{"1 repeated qv.RegexLookupConfig item"}, {}, false}},
        {"qv.CidrLookupConfig", {file_tag, {}, false}},
        {"qv.CidrLookupConfigs", {{"1 repeated qv.CidrLookupConfig item"}, {}, false}},
        {"qv.MaskLookupConfig", {file_tag, {}, false}},
        {"qv.MaskLookupConfigs", {{"1 repeated qv.MaskLookupConfig item"}, {}, false}},
        {"qv.TrawlDConfig",
         {{"1 optional qv.LogLevel log_level",
           "2 optional qv.Log log",
           "3 optional string exe_path",
           "4 optional qv.LocalUser run_as_user",
           "5 optional uint32 idle_time_limit",
           "10 optional bool debug_libldap",
           "11 optional qv.CertCheckMode ldap_check_certificate",
           "12 optional string ldap_ca_path",
           "13 optional string ldap_certificate_path",
           "14 optional string ldap_key_path",
           "25 optional uint32 db_idle_timeout",
           "16 optional string pq_default_conn",
           "17 optional string sqlite_default_conn",
           "18 optional string mysql_default_conn",
           "19 optional string redis_default_conn",
           "20 optional string redis_ca_path",
           "21 optional string redis_certificate_path",
           "22 optional string redis_key_path",
           "50 optional qv.LDAPLookupConfigs ldap",
           "51 optional qv.ADLookupConfigs ad",
           "70 optional qv.PQLookupConfigs pq",
           "71 optional qv.SqliteLookupConfigs sqlite",
           "72 optional qv.MysqlLookupConfigs mysql",
           "73 optional qv.RedisLookupConfigs redis",
           "90 optional qv.AllMatchLookupConfigs allmatch",
           "91 optional qv.RegexLookupConfigs regex",
           "92 optional qv.CidrLookupConfigs cidr",
           "93 optional qv.MaskLookupConfigs mask",
           "1000 optional qv.Log actual_log",
           "1001 optional string socket_path"},
          {},
          false}},
        {"qv.TrawlD2PilotdMessage",
         {{"1 required qv.TrawlD2PilotdMessage.MessageTag tag",
           "2 optional uint32 config_revision", "3 optional qv.TrawlDAppStat stat"},
          {"MessageTag"},
          false}},
        {"qv.Pilotd2TrawlDMessage",
         {{"1 required qv.Pilotd2TrawlDMessage.MessageTag tag",
           "2 optional uint32 config_revision", "3 optional qv.TrawlDConfig config"},
          {"MessageTag"},
          false}},
        {"qv.TrawlDClientStat",
         {{"1 required uint64 base", "2 required uint64 in", "3 required uint64 out"}, {}, false}},
        {"qv.TrawlDAppStat", {{"1 required qv.TrawlDClientStat clients"}, {}, false}},
        {"qv.LocalUser", {{"1 optional string name", "2 optional int64 uid"}, {}, false}},
        {"qv.Log",
         {{"1 required qv.Log.LogType type", "2 optional qv.Log.LogFacility facility",
           "3 optional string ident", "10 optional string path", "20 optional bool show_timestamp"},
          {"LogType", "LogFacility"},
          false}},
        {"qv.LexValue", {{"1 repeated string item"}, {}, false}},
        {"qv.LexOption",
         {{"1 required string key", "2 optional qv.LexValue value oneof data",
           "3 optional qv.LexMap map oneof data"},
          {},
          false}},
        {"qv.LexMap", {{"1 repeated qv.LexOption option"}, {}, false}},
        {"qv.AppInfo",
         {{"1000 required qv.Application app", "1001 required int32 pid",
           "1002 optional uint32 config_revision", "1100 optional uint64 switch_on_time",
           "1101 optional uint64 switch_off_time", "1102 optional uint64 exit_time",
           "1103 optional qv.ErrorCode exit_code", "1110 optional bool suspended",
           "1111 optional uint64 suspend_time", "1112 optional uint64 resume_time"},
          {},
          true}},
        {"qv.AppStat", {{"1000 required qv.Application app", "1001 required int32 pid"}, {}, true}},
        {"qv.ComponentControl",
         {{"1 required qv.Application app", "2 required bool suspended"}, {}, false}},
        {"qv.AppConfig", {{"1000 required qv.Application app"}, {}, true}},
        {"qv.AppExeInfo",
         {{"1 optional string version", "2 optional uint64 install_time",
           "3 optional uint64 modification_time", "4 optional uint64 exe_size",
           "5 optional bytes exe_md5", "6 optional bytes exe_owner"},
          {},
          false}},
    };

    const std::vector<const pb::Descriptor*> messages = all_messages();
    EXPECT_EQ(messages.size(), table.size());
    for (const pb::Descriptor* message : messages) {
        SCOPED_TRACE(message->full_name());
        auto row = table.find(message->full_name());
        ASSERT_NE(row, table.end()) << "message not in the table";
        std::vector<std::string> fields, nested_enums;
        for (int i = 0; i < message->field_count(); ++i) {
            fields.push_back(field_line(message->field(i)));
            // proto2 implicit defaults only.
            EXPECT_FALSE(message->field(i)->has_default_value()) << message->field(i)->name();
        }
        for (int i = 0; i < message->enum_type_count(); ++i)
            nested_enums.push_back(message->enum_type(i)->name());
        EXPECT_EQ(fields, row->second.fields);
        EXPECT_EQ(nested_enums, row->second.nested_enums);
        EXPECT_EQ(message->nested_type_count(), 0);
        if (row->second.extensions_1_to_999) {
            ASSERT_EQ(message->extension_range_count(), 1);
            EXPECT_EQ(message->extension_range(0)->start, 1);
            EXPECT_EQ(message->extension_range(0)->end, 1000); // exclusive
        } else {
            EXPECT_EQ(message->extension_range_count(), 0);
        }
    }
}

TEST(SchemaFields, TrawlDConfigNumbersOrderAndHints)
{
    struct row_t {
        const char* name;
        int number;
        bool has_hint;
        qv::LexHint hint;
    };
    const qv::LexHint none = qv::HINT_NONE;
    const std::vector<row_t> table = {
        {"log_level", 1, false, none},
        {"log", 2, false, none},
        {"exe_path", 3, true, qv::HINT_ABSPATH},
        {"run_as_user", 4, false, none},
        {"idle_time_limit", 5, true, qv::HINT_OPTTIME},
        {"debug_libldap", 10, false, none},
        {"ldap_check_certificate", 11, false, none},
        {"ldap_ca_path", 12, true, qv::HINT_ABSPATH},
        {"ldap_certificate_path", 13, true, qv::HINT_ABSPATH},
        {"ldap_key_path", 14, true, qv::HINT_ABSPATH},
        {"db_idle_timeout", 25, true, qv::HINT_TIME},
        {"pq_default_conn", 16, false, none},
        {"sqlite_default_conn", 17, false, none},
        {"mysql_default_conn", 18, false, none},
        {"redis_default_conn", 19, false, none},
        {"redis_ca_path", 20, true, qv::HINT_ABSPATH},
        {"redis_certificate_path", 21, true, qv::HINT_ABSPATH},
        {"redis_key_path", 22, true, qv::HINT_ABSPATH},
        {"ldap", 50, true, qv::HINT_MAPS},
        {"ad", 51, true, qv::HINT_MAPS},
        {"pq", 70, true, qv::HINT_MAPS},
        {"sqlite", 71, true, qv::HINT_MAPS},
        {"mysql", 72, true, qv::HINT_MAPS},
        {"redis", 73, true, qv::HINT_MAPS},
        {"allmatch", 90, true, qv::HINT_MAPS},
        {"regex", 91, true, qv::HINT_MAPS},
        {"cidr", 92, true, qv::HINT_MAPS},
        {"mask", 93, true, qv::HINT_MAPS},
        {"actual_log", 1000, false, none},
        {"socket_path", 1001, false, none},
    };
    const pb::Descriptor* config = qv::TrawlDConfig::descriptor();
    ASSERT_EQ(config->field_count(), static_cast<int>(table.size()));
    for (int i = 0; i < config->field_count(); ++i) {
        const pb::FieldDescriptor* field = config->field(i);
        SCOPED_TRACE(table[i].name);
        EXPECT_EQ(field->name(), table[i].name);
        EXPECT_EQ(field->number(), table[i].number);
        EXPECT_EQ(field->label(), pb::FieldDescriptor::LABEL_OPTIONAL);
        EXPECT_EQ(field->options().HasExtension(qv::hint), table[i].has_hint);
        EXPECT_EQ(field->options().GetExtension(qv::hint), table[i].hint);
    }

    // Each container's number is its lookup type's number plus 50 and its
    // name is that type's display text.
    const pb::EnumDescriptor* types = lp::LookupType_descriptor();
    for (int i = 0; i < types->value_count(); ++i) {
        const pb::EnumValueDescriptor* type = types->value(i);
        const pb::FieldDescriptor* container = config->FindFieldByNumber(type->number() + 50);
        ASSERT_NE(container, nullptr) << type->name();
        EXPECT_EQ(container->name(), type->options().GetExtension(qv::lex));
    }
}

// ---------------------------------------------------------------------------
// Options read through the descriptors.

TEST(SchemaOptions, FieldHintsAndNoOtherFieldOptions)
{
    std::map<std::string, qv::LexHint> expected;
    for (const char* item : {"LDAP", "AD", "PQ", "Sqlite", "Mysql", "Redis", "Socket", "AllMatch",
                             "Regex", "Cidr", "Mask"})
        expected[std::string("qv.") + item + "LookupConfig.tag"] = qv::HINT_MAP_TAG;
    expected["qv.LDAPLookupConfig.bind_password"] = qv::HINT_SECRET;
    expected["qv.ADLookupConfig.password"] = qv::HINT_SECRET;
    for (const char* container :
         {"ldap", "ad", "pq", "sqlite", "mysql", "redis", "allmatch", "regex", "cidr", "mask"})
        expected[std::string("qv.TrawlDConfig.") + container] = qv::HINT_MAPS;
    for (const char* path : {"exe_path", "ldap_ca_path", "ldap_certificate_path", "ldap_key_path",
                             "redis_ca_path", "redis_certificate_path", "redis_key_path"})
        expected[std::string("qv.TrawlDConfig.") + path] = qv::HINT_ABSPATH;
    expected["qv.TrawlDConfig.db_idle_timeout"] = qv::HINT_TIME;
    expected["qv.TrawlDConfig.idle_time_limit"] = qv::HINT_OPTTIME;
    ASSERT_EQ(expected.size(), 32u);

    std::set<std::string> seen;
    for (const pb::Descriptor* message : all_messages()) {
        for (int i = 0; i < message->field_count(); ++i) {
            const pb::FieldDescriptor* field = message->field(i);
            SCOPED_TRACE(field->full_name());
            // The options hold the hint and nothing else (no packed,
            // deprecated, ...).
            pb::FieldOptions options;
            auto hint = expected.find(field->full_name());
            if (hint != expected.end()) {
                options.SetExtension(qv::hint, hint->second);
                seen.insert(field->full_name());
                EXPECT_TRUE(field->options().HasExtension(qv::hint));
                EXPECT_EQ(field->options().GetExtension(qv::hint), hint->second);
            } else {
                EXPECT_FALSE(field->options().HasExtension(qv::hint));
            }
            EXPECT_EQ(hex(field->options().SerializeAsString()), hex(options.SerializeAsString()));
        }
    }
    EXPECT_EQ(seen.size(), expected.size());
}

TEST(SchemaOptions, MessageOptionsOnlyOnTrawlDConfig)
{
    const pb::MessageOptions& options = qv::TrawlDConfig::descriptor()->options();
    EXPECT_TRUE(options.HasExtension(qv::app));
    EXPECT_EQ(options.GetExtension(qv::app), 43);
    EXPECT_EQ(options.GetExtension(qv::app), qv::APP_TRAWLD);
    EXPECT_TRUE(options.HasExtension(qv::ini_section));
    EXPECT_EQ(options.GetExtension(qv::ini_section), "TrawlD");

    pb::MessageOptions expected;
    expected.SetExtension(qv::app, 43);
    expected.SetExtension(qv::ini_section, "TrawlD");
    for (const pb::Descriptor* message : all_messages()) {
        SCOPED_TRACE(message->full_name());
        if (message == qv::TrawlDConfig::descriptor()) {
            EXPECT_EQ(hex(message->options().SerializeAsString()), hex(expected.SerializeAsString()));
        } else {
            EXPECT_EQ(message->options().ByteSizeLong(), 0u);
        }
    }
}

TEST(SchemaOptions, AnnotationOptionsAreRegisteredExtensions)
{
    struct row_t {
        const char* name;
        const char* extendee;
        int number;
        pb::FieldDescriptor::Type type;
        const char* enum_type;
    };
    const std::vector<row_t> rows = {
        {"qv.app", "google.protobuf.MessageOptions", 50001, pb::FieldDescriptor::TYPE_INT32, ""},
        {"qv.ini_section", "google.protobuf.MessageOptions", 50002, pb::FieldDescriptor::TYPE_STRING,
         ""},
        {"qv.hint", "google.protobuf.FieldOptions", 50001, pb::FieldDescriptor::TYPE_ENUM,
         "qv.LexHint"},
        {"qv.lex", "google.protobuf.EnumValueOptions", 50001, pb::FieldDescriptor::TYPE_STRING, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const pb::FieldDescriptor* ext = pb::DescriptorPool::generated_pool()->FindExtensionByName(row.name);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->containing_type()->full_name(), row.extendee);
        EXPECT_EQ(ext->number(), row.number);
        EXPECT_EQ(ext->type(), row.type);
        EXPECT_EQ(ext->label(), pb::FieldDescriptor::LABEL_OPTIONAL);
        EXPECT_FALSE(ext->has_default_value());
        if (*row.enum_type) {
            EXPECT_EQ(ext->enum_type()->full_name(), row.enum_type);
        }
        EXPECT_EQ(pb::DescriptorPool::generated_pool()->FindExtensionByNumber(ext->containing_type(),
                                                                              row.number),
                  ext);
    }
    // Number 5 is not a declared hint.
    EXPECT_FALSE(qv::LexHint_IsValid(5));
}

// ---------------------------------------------------------------------------
// Enumerations and their display texts.

TEST(SchemaEnums, ValuesAndDisplayTexts)
{
    const std::map<std::string, std::vector<std::string>> table = {
        {"qv.LexHint",
         {"0 HINT_NONE", "1 HINT_MAP", "2 HINT_MAPS", "3 HINT_MAP_TAG", "4 HINT_NODIFF",
          "6 HINT_SECRET", "10 HINT_ABSPATH", "11 HINT_ABSPATHNONEMPTY", "12 HINT_TIME",
          "13 HINT_SIZE", "14 HINT_ONOFF", "15 HINT_DEPRECATED", "16 HINT_OPTTIME"}},
        {"lp.ClientMessage.ClientMessageTag", {"1 LOOKUP_REQUEST", "2 CHECK_REQUEST"}},
        {"lp.ServerMessage.ServerMessageTag", {"1 LOOKUP_RESPONSE", "2 CHECK_RESPONSE"}},
        {"lp.LookupType",
         {"0 LOOKUP_LDAP \"ldap\"", "1 LOOKUP_AD \"ad\"", "20 LOOKUP_PQ \"pq\"",
          "21 LOOKUP_SQLITE \"sqlite\"", "22 LOOKUP_MYSQL \"mysql\"", "23 LOOKUP_REDIS \"redis\"",
          "40 LOOKUP_ALLMATCH \"allmatch\"", "41 LOOKUP_REGEX \"regex\"", "42 LOOKUP_CIDR \"cidr\"",
          "43 LOOKUP_MASK \"mask\""}},
        {"qv.TrawlD2PilotdMessage.MessageTag",
         {"1 GET_CONFIG_REQUEST", "2 MY_INFO_NOTIFICATION", "3 MY_STAT_NOTIFICATION"}},
        {"qv.Pilotd2TrawlDMessage.MessageTag", {"1 GET_CONFIG_RESPONSE"}},
        {"qv.Log.LogType",
         {"1 SYSLOG \"Syslog\"", "2 FILE \"File\"", "3 STDERR \"Stderr\"", "4 AUTO \"Auto\""}},
        {"qv.Log.LogFacility",
         {"1 DAEMON \"Daemon\"", "2 USER \"User\"", "3 MAIL \"Mail\"", "10 LOCAL0 \"Local0\"",
          "11 LOCAL1 \"Local1\"", "12 LOCAL2 \"Local2\"", "13 LOCAL3 \"Local3\"",
          "14 LOCAL4 \"Local4\"", "15 LOCAL5 \"Local5\"", "16 LOCAL6 \"Local6\"",
          "17 LOCAL7 \"Local7\""}},
        {"qv.LogLevel",
         {"1 LOG_LEVEL_DEBUG \"Debug\"", "2 LOG_LEVEL_INFO \"Info\"", "3 LOG_LEVEL_NOTICE \"Notice\"",
          "4 LOG_LEVEL_WARNING \"Warning\"", "5 LOG_LEVEL_ERROR \"Error\""}},
        {"qv.CertCheckMode",
         {"0 CCM_NO \"No\"", "1 CCM_YES \"Yes\"", "2 CCM_ALLOW \"Allow\"", "3 CCM_TRY \"Try\""}},
    };

    for (const pb::EnumDescriptor* e : all_enums()) {
        SCOPED_TRACE(e->full_name());
        // The lex option, where present, is the only option of a value.
        for (int i = 0; i < e->value_count(); ++i) {
            pb::EnumValueOptions options;
            if (e->value(i)->options().HasExtension(qv::lex))
                options.SetExtension(qv::lex, e->value(i)->options().GetExtension(qv::lex));
            EXPECT_EQ(hex(e->value(i)->options().SerializeAsString()),
                      hex(options.SerializeAsString()));
        }
        EXPECT_EQ(e->options().ByteSizeLong(), 0u);
        if (e->full_name() == "qv.ErrorCode" || e->full_name() == "qv.Application")
            continue; // below
        auto row = table.find(e->full_name());
        ASSERT_NE(row, table.end()) << "enumeration not in the table";
        std::vector<std::string> values;
        for (int i = 0; i < e->value_count(); ++i)
            values.push_back(enum_line(e->value(i)));
        EXPECT_EQ(values, row->second);
    }
    EXPECT_EQ(all_enums().size(), table.size() + 2);

    // APP_PILOTD first (the default of every app field); this program's own
    // number 43.
    const pb::EnumDescriptor* apps = qv::Application_descriptor();
    ASSERT_GE(apps->value_count(), 2);
    EXPECT_EQ(enum_line(apps->value(0)), "1 APP_PILOTD \"PilotD\"");
    ASSERT_NE(apps->FindValueByNumber(43), nullptr);
    EXPECT_EQ(enum_line(apps->FindValueByNumber(43)), "43 APP_TRAWLD \"TrawlD\"");

    // A value without lex has no lex extension, not an empty one.
    const pb::EnumValueDescriptor* lookup_request =
        lp::ClientMessage_ClientMessageTag_descriptor()->FindValueByNumber(1);
    ASSERT_NE(lookup_request, nullptr);
    EXPECT_FALSE(lookup_request->options().HasExtension(qv::lex));
    EXPECT_EQ(lookup_request->options().ByteSizeLong(), 0u);
    EXPECT_EQ(lookup_request->options().unknown_fields().field_count(), 0);
    EXPECT_EQ(lookup_request->name(), "LOOKUP_REQUEST");
}

TEST(SchemaEnums, ErrorCodeValuesAndDisplayTexts)
{
    const std::vector<std::pair<int, const char*>> declared = {
        {0, "EC_OK"}, {1, "EC_MONITOR_IPC_ERROR"}, {2, "EC_ALREADY_IN_PROGRESS"},
        {3, "EC_IN_PENDING_STATE"}, {4, "EC_INTERRUPTED_BY_USER"}, {5, "EC_CANCELED"},
        {6, "EC_LINK_DISCONNECTED"}, {7, "EC_BAD_MESSAGE_SIZE"}, {8, "EC_BAD_MESSAGE_FORMAT"},
        {9, "EC_NOT_READY"}, {10, "EC_NOT_INSTALLED"}, {11, "EC_UNEXPECTED_MESSAGE"},
        {12, "EC_PROTOCOL_VIOLATION"}, {13, "EC_UNKNOWN_STATE"}, {20, "EC_NOT_ABSOLUTE_PATH"},
        {21, "EC_NO_MEMORY"}, {22, "EC_IO_ERROR"}, {23, "EC_NO_SUCH_ENTRY"},
        {24, "EC_PERMISSION_DENIED"}, {25, "EC_NOT_A_DIRECTORY"}, {26, "EC_DATA_CORRUPTED"},
        {27, "EC_FILE_EXISTS"}, {28, "EC_READ_ONLY_FS"}, {29, "EC_NETWORK_ERROR"},
        {30, "EC_NOT_A_DRIVE"}, {31, "EC_UNEXPECTED_EOF"}, {32, "EC_FILE_WAS_CHANGED"},
        {33, "EC_NOT_A_REGULAR_FILE"}, {34, "EC_NAME_ALREADY_IN_USE"}, {35, "EC_HOST_OFFLINE"},
        {36, "EC_LIMIT_REACHED"}, {37, "EC_CROSS_DEVICE_LINK"}, {38, "EC_UNPACKING_ERROR"},
        {40, "EC_BASE_CORRUPTED"}, {41, "EC_OLD_BASE_VERSION"}, {42, "EC_EMPTY_BASE"},
        {43, "EC_CAN_NOT_BE_CURED"}, {44, "EC_INVALID_BASE_SET"}, {45, "EC_SCAN_LIMIT_REACHED"},
        {47, "EC_AUTH_FAILED"}, {48, "EC_NOT_AUTHORIZED"}, {49, "EC_INVALID_TOKEN"},
        {50, "EC_DB_COMMON_ERROR"}, {51, "EC_DB_OPEN_ERROR"}, {52, "EC_DB_CONN_CLOSED"},
        {60, "EC_INVALID_ARGUMENT"}, {61, "EC_INVALID_OPERATION"}, {62, "EC_ROOT_ONLY"},
        {63, "EC_STANDALONE_MODE_ONLY"}, {64, "EC_NON_SUPPORTED_OS"}, {65, "EC_NOT_IMPLEMENTED"},
        {66, "EC_UNKNOWN_OPTION"}, {67, "EC_UNKNOWN_SECTION"}, {68, "EC_INVALID_OPTION_VALUE"},
        {69, "EC_INVALID_STATE"}, {70, "EC_NOT_LIST_OPTION"}, {71, "EC_INVALID_TAG"},
        {80, "EC_RECORD_NOT_FOUND"}, {81, "EC_RECORD_BUSY"}, {82, "EC_QUARANTINED_FILE"},
        {83, "EC_NO_ZONE_IN_CLOUD"}, {84, "EC_NO_ZONE_ON_DISK"}, {88, "EC_APP_SUSPENDED"},
        {89, "EC_BACKUP_FAILED"}, {91, "EC_BAD_LST_FILE"}, {92, "EC_BAD_LZMA_FILE"},
        {93, "EC_PROXY_AUTH_ERROR"}, {94, "EC_NO_UPDATE_SERVERS"}, {97, "EC_NETWORK_TIMEDOUT"},
        {98, "EC_BAD_CHECKSUM"}, {102, "EC_BAD_CONFIG"}, {104, "EC_BAD_EXECUTABLE"},
        {105, "EC_NO_CORE_ENGINE"}, {106, "EC_NO_VIRUS_BASES"}, {107, "EC_APP_TERMINATED"},
        {108, "EC_APP_CRASHED"}, {109, "EC_INCOMPATIBLE"}, {113, "EC_NO_KERNEL_MODULE"},
        {115, "EC_NO_TRAWLD"}, {125, "EC_UNEXPECTED_ERROR"},
    };
    ASSERT_EQ(declared.size(), 80u);

    const pb::EnumDescriptor* codes = qv::ErrorCode_descriptor();
    EXPECT_EQ(codes->value_count(), 80);
    // EC_OK first: the implicit default of every ErrorCode field.
    EXPECT_EQ(codes->value(0)->number(), 0);
    for (const auto& value : declared) {
        const pb::EnumValueDescriptor* found = codes->FindValueByNumber(value.first);
        ASSERT_NE(found, nullptr) << value.first;
        EXPECT_EQ(found->name(), value.second);
        // Every declared value carries a display text.
        EXPECT_TRUE(found->options().HasExtension(qv::lex)) << value.second;
        EXPECT_FALSE(lex_or_empty(found).empty()) << value.second;
    }

    const std::vector<std::pair<int, const char*>> shown = {
        {0, "Success"},
        {1, "Error on monitor channel"},
        {6, "Link disconnected"},
        {7, "Invalid IPC message size"},
        {8, "Invalid IPC message format"},
        {11, "Unexpected IPC message"},
        {12, "Protocol violation"},
        {21, "Not enough memory"},
        {22, "IO error"},
        {23, "No such file or directory"},
        {24, "Permission denied"},
        {25, "Not a directory"},
        {27, "File already exists"},
        {28, "Read-only file system"},
        {33, "Not a regular file"},
        {34, "Name already in use"},
        {37, "Mounting points are different"},
        {50, "DBMS general error"},
        {51, "Cannot open database"},
        {52, "Connection closed by DBMS"},
        {60, "Invalid argument"},
        {61, "Invalid operation"},
        {71, "Tag value is invalid"},
        {102, "Invalid configuration"},
        {107, "Process terminated by signal"},
        {115, "TrawlD is not available"},
        {125, "Unexpected error"},
    };
    for (const auto& value : shown) {
        const pb::EnumValueDescriptor* found = codes->FindValueByNumber(value.first);
        ASSERT_NE(found, nullptr) << value.first;
        EXPECT_EQ(lex_or_empty(found), value.second) << value.first;
    }
}

TEST(SchemaEnums, ValidityFunctions)
{
    for (int n : {14, 46, 126, -1, 39, 1000})
        EXPECT_FALSE(qv::ErrorCode_IsValid(n)) << n;
    for (int n : {0, 13, 20, 71, 125})
        EXPECT_TRUE(qv::ErrorCode_IsValid(n)) << n;
    int valid = 0;
    for (int n = -200; n <= 1200; ++n) {
        const bool declared = qv::ErrorCode_descriptor()->FindValueByNumber(n) != nullptr;
        EXPECT_EQ(qv::ErrorCode_IsValid(n), declared) << n;
        valid += qv::ErrorCode_IsValid(n);
    }
    EXPECT_EQ(valid, 80);

    const std::set<int> lookup_types = {0, 1, 20, 21, 22, 23, 40, 41, 42, 43};
    for (int n = -5; n <= 100; ++n)
        EXPECT_EQ(lp::LookupType_IsValid(n), lookup_types.count(n) == 1) << n;

    for (int n = -1; n <= 5; ++n) {
        EXPECT_EQ(lp::ClientMessage_ClientMessageTag_IsValid(n), n == 1 || n == 2) << n;
        EXPECT_EQ(lp::ServerMessage_ServerMessageTag_IsValid(n), n == 1 || n == 2) << n;
        EXPECT_EQ(qv::TrawlD2PilotdMessage_MessageTag_IsValid(n), n >= 1 && n <= 3) << n;
        EXPECT_EQ(qv::Pilotd2TrawlDMessage_MessageTag_IsValid(n), n == 1) << n;
        EXPECT_EQ(qv::CertCheckMode_IsValid(n), n >= 0 && n <= 3) << n;
        EXPECT_EQ(qv::LogLevel_IsValid(n), n >= 1 && n <= 5) << n;
    }
}

// ---------------------------------------------------------------------------
// Wire form.

TEST(SchemaWire, EncodesAsTheLinksExpect)
{
    struct row_t {
        const char* name;
        std::function<std::string()> build;
        std::string bytes;
    };
    const std::vector<row_t> rows = {
        {"qv.Error 71 with its display text",
         [] {
             qv::Error e;
             e.set_code(qv::EC_INVALID_TAG);
             e.set_what("Tag value is invalid");
             return wire(e);
         },
         unhex("08 47 12 14") + "Tag value is invalid"},
        {"GET_CONFIG_REQUEST",
         [] {
             qv::TrawlD2PilotdMessage m;
             m.set_tag(qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST);
             return wire(m);
         },
         unhex("08 01")},
        {"MY_INFO_NOTIFICATION for revision 0",
         [] {
             qv::TrawlD2PilotdMessage m;
             m.set_tag(qv::TrawlD2PilotdMessage::MY_INFO_NOTIFICATION);
             m.set_config_revision(0);
             return wire(m);
         },
         unhex("08 02 10 00")},
        {"statistics base 2, in 1, out 0",
         [] {
             qv::TrawlDAppStat s;
             s.mutable_clients()->set_base(2);
             s.mutable_clients()->set_in(1);
             s.mutable_clients()->set_out(0);
             return wire(s);
         },
         unhex("0a 06 08 02 10 01 18 00")},
        {"MY_STAT_NOTIFICATION carrying those statistics",
         [] {
             qv::TrawlDAppStat s;
             s.mutable_clients()->set_base(2);
             s.mutable_clients()->set_in(1);
             s.mutable_clients()->set_out(0);
             qv::TrawlD2PilotdMessage m;
             m.set_tag(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION);
             m.mutable_stat()->CopyFrom(s);
             return wire(m);
         },
         unhex("08 03 1a 08 0a 06 08 02 10 01 18 00")},
        {"incomplete statistics still serialise",
         [] {
             qv::TrawlDAppStat s;
             s.mutable_clients()->set_base(5);
             return wire(s);
         },
         unhex("0a 02 08 05")},
        {"statistics without clients serialise empty", [] { return wire(qv::TrawlDAppStat()); }, ""},
        {"LOOKUP_REQUEST to an LDAP source carries lookup type 0",
         [] {
             lp::ClientMessage m;
             m.set_tag(lp::ClientMessage::LOOKUP_REQUEST);
             m.set_serial(7);
             m.set_lookup_type(lp::LOOKUP_LDAP);
             m.set_lookup_tag("x");
             return wire(m);
         },
         unhex("08 01 10 07 18 00 22 01 78")},
        {"LOOKUP_RESPONSE with two values in order",
         [] {
             lp::ServerMessage m;
             m.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
             m.set_serial(7);
             m.add_data("a");
             m.add_data("b");
             return wire(m);
         },
         unhex("08 01 10 07 1a 01 61 1a 01 62")},
        {"LOOKUP_RESPONSE with tag and serial only",
         [] {
             lp::ServerMessage m;
             m.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
             m.set_serial(0);
             return wire(m);
         },
         unhex("08 01 10 00")},
        {"error (100) is written after result (4)",
         [] {
             lp::ServerMessage m;
             m.mutable_error()->set_code(qv::EC_INVALID_TAG);
             m.set_result(false);
             m.set_serial(9);
             m.set_tag(lp::ServerMessage::CHECK_RESPONSE);
             return wire(m);
         },
         unhex("08 02 10 09 20 00 a2 06 02 08 47")},
        {"configuration fields go out by number, not declaration order",
         [] {
             qv::TrawlDConfig c;
             c.set_db_idle_timeout(30);
             c.set_pq_default_conn("p");
             return wire(c);
         },
         unhex("82 01 01 70 c8 01 1e")},
        {"GET_CONFIG_RESPONSE with revision 0 and an empty config",
         [] {
             qv::Pilotd2TrawlDMessage m;
             m.set_tag(qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
             m.set_config_revision(0);
             m.mutable_config();
             return wire(m);
         },
         unhex("08 01 10 00 1a 00")},
        {"LexOption: value then map keeps only the map",
         [] {
             qv::LexOption o;
             o.set_key("k");
             o.mutable_value()->add_item("v");
             o.mutable_map();
             return wire(o);
         },
         unhex("0a 01 6b 1a 00")},
        {"a default qv.Log is empty", [] { return wire(qv::Log()); }, ""},
        {"a qv.LocalUser with uid 0 carries it",
         [] {
             qv::LocalUser u;
             u.set_uid(0);
             return wire(u);
         },
         unhex("10 00")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(hex(row.build()), hex(row.bytes));
    }
}

TEST(SchemaWire, ClientRequestPresenceOnTheWire)
{
    lp::ClientMessage with_type;
    ASSERT_TRUE(checked_parse(with_type, unhex("08 01 10 07 18 00 22 01 78")));
    EXPECT_EQ(with_type.tag(), lp::ClientMessage::LOOKUP_REQUEST);
    EXPECT_TRUE(with_type.has_serial());
    EXPECT_EQ(with_type.serial(), 7u);
    EXPECT_TRUE(with_type.has_lookup_type());
    EXPECT_EQ(with_type.lookup_type(), lp::LOOKUP_LDAP);
    EXPECT_TRUE(with_type.has_lookup_tag());
    EXPECT_EQ(with_type.lookup_tag(), "x");
    EXPECT_FALSE(with_type.has_user());
    EXPECT_FALSE(with_type.has_domain());
    EXPECT_FALSE(with_type.has_check());
    EXPECT_EQ(with_type.user(), "");

    // The same body without 18 00: the type reads as LDAP but is absent.
    lp::ClientMessage without_type;
    ASSERT_TRUE(checked_parse(without_type, unhex("08 01 10 07 22 01 78")));
    EXPECT_FALSE(without_type.has_lookup_type());
    EXPECT_EQ(without_type.lookup_type(), lp::LOOKUP_LDAP);
    EXPECT_TRUE(without_type.has_serial());

    // Serial 0 present is told apart from serial absent.
    lp::ClientMessage serial_zero;
    ASSERT_TRUE(checked_parse(serial_zero, unhex("08 02 10 00")));
    EXPECT_EQ(serial_zero.tag(), lp::ClientMessage::CHECK_REQUEST);
    EXPECT_TRUE(serial_zero.has_serial());
    lp::ClientMessage no_serial;
    ASSERT_TRUE(checked_parse(no_serial, unhex("08 02")));
    EXPECT_FALSE(no_serial.has_serial());
}

// ---------------------------------------------------------------------------
// The checking parse.

TEST(SchemaParse, RefusesMissingRequiredFieldsAtAnyDepth)
{
    struct row_t {
        const char* name;
        std::function<bool()> parse;
        const char* reported; // part of the runtime's error line; empty for malformed data
    };
    const std::vector<row_t> rows = {
        {"data-source item without tag inside a PilotD message's config",
         [] {
             qv::Pilotd2TrawlDMessage m;
             m.set_tag(qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
             m.set_config_revision(3);
             auto* ldap = m.mutable_config()->mutable_ldap();
             ldap->add_item()->set_tag("a");
             ldap->add_item()->set_url("ldap://h/dc=x");
             ldap->add_item()->set_tag("c");
             m.mutable_config()->mutable_pq()->add_item()->set_tag("p");
             return reparses<qv::Pilotd2TrawlDMessage>(m);
         },
         "config.ldap.item[1].tag"},
        {"log without type",
         [] {
             qv::Pilotd2TrawlDMessage m;
             m.set_tag(qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
             m.set_config_revision(1);
             m.mutable_config()->mutable_log()->set_path("/var/log/x");
             return reparses<qv::Pilotd2TrawlDMessage>(m);
         },
         "config.log.type"},
        {"actual_log without type",
         [] {
             qv::Pilotd2TrawlDMessage m;
             m.set_tag(qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
             m.set_config_revision(1);
             m.mutable_config()->mutable_actual_log()->set_facility(qv::Log::LOCAL3);
             return reparses<qv::Pilotd2TrawlDMessage>(m);
         },
         "config.actual_log.type"},
        {"PilotD message without tag",
         [] {
             qv::Pilotd2TrawlDMessage m;
             m.set_config_revision(1);
             m.mutable_config();
             return reparses<qv::Pilotd2TrawlDMessage>(m);
         },
         "tag"},
        {"PilotD message whose tag holds 2",
         [] {
             qv::Pilotd2TrawlDMessage m;
             return checked_parse(m, unhex("08 02 10 01 1a 00"));
         },
         "tag"},
        {"LexOption key three maps deep",
         [] {
             qv::LexMap top;
             qv::LexOption* a = top.add_option();
             a->set_key("a");
             qv::LexOption* b = a->mutable_map()->add_option();
             b->set_key("b");
             b->mutable_map()->add_option()->mutable_value()->add_item("keyless");
             return reparses<qv::LexMap>(top);
         },
         "option[0].map.option[0].map.option[0].key"},
        {"TrawlDAppStat without clients",
         [] { return reparses<qv::TrawlDAppStat>(qv::TrawlDAppStat()); }, "clients"},
        {"TrawlDAppStat without base",
         [] {
             qv::TrawlDAppStat s;
             s.mutable_clients()->set_in(1);
             s.mutable_clients()->set_out(1);
             return reparses<qv::TrawlDAppStat>(s);
         },
         "clients.base"},
        {"TrawlDAppStat without in",
         [] {
             qv::TrawlDAppStat s;
             s.mutable_clients()->set_base(1);
             s.mutable_clients()->set_out(1);
             return reparses<qv::TrawlDAppStat>(s);
         },
         "clients.in"},
        {"MY_STAT_NOTIFICATION whose counters lack out",
         [] {
             qv::TrawlD2PilotdMessage m;
             m.set_tag(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION);
             m.mutable_stat()->mutable_clients()->set_base(1);
             m.mutable_stat()->mutable_clients()->set_in(1);
             return reparses<qv::TrawlD2PilotdMessage>(m);
         },
         "stat.clients.out"},
        {"qv.Error with the undeclared code 14",
         [] {
             qv::Error e;
             return checked_parse(e, unhex("08 0e 12 01 78"));
         },
         "code"},
        {"answer whose error lacks code",
         [] {
             lp::ServerMessage m;
             m.set_tag(lp::ServerMessage::CHECK_RESPONSE);
             m.mutable_error()->set_what("x");
             return reparses<lp::ServerMessage>(m);
         },
         "error.code"},
        {"request without field 1",
         [] {
             lp::ClientMessage m;
             return checked_parse(m, unhex("10 07 18 00 22 01 78"));
         },
         "tag"},
        {"request whose field 1 holds 0",
         [] {
             lp::ClientMessage m;
             return checked_parse(m, unhex("08 00 10 07 18 00 22 01 78"));
         },
         "tag"},
        {"request whose field 1 holds 3",
         [] {
             lp::ClientMessage m;
             return checked_parse(m, unhex("08 03 10 07 18 00 22 01 78"));
         },
         "tag"},
        {"qv.Log with the undeclared type 5",
         [] {
             qv::Log l;
             return checked_parse(l, unhex("08 05"));
         },
         "type"},
        {"AppConfig with an undeclared application",
         [] {
             qv::AppConfig c;
             return checked_parse(c, unhex("c0 3e 02"));
         },
         "app"},
        {"ComponentControl without suspended",
         [] {
             qv::ComponentControl c;
             c.set_app(qv::APP_TRAWLD);
             return reparses<qv::ComponentControl>(c);
         },
         "suspended"},
        {"AppInfo without pid",
         [] {
             qv::AppInfo i;
             i.set_app(qv::APP_TRAWLD);
             return reparses<qv::AppInfo>(i);
         },
         "pid"},
        {"AppConfig whose trawld_config has an item without tag",
         [] {
             qv::AppConfig c;
             c.set_app(qv::APP_TRAWLD);
             c.MutableExtension(qv::trawld_config)->mutable_mask()->add_item()->set_file("/m");
             return reparses<qv::AppConfig>(c);
         },
         "mask.item[0].tag"},
        {"truncated length-delimited field",
         [] {
             qv::Pilotd2TrawlDMessage m;
             return checked_parse(m, unhex("08 01 10 00 1a 05 01"));
         },
         ""},
        {"field number 0",
         [] {
             lp::ClientMessage m;
             return checked_parse(m, unhex("08 01 00 01"));
         },
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        protobuf_log_capture_t log;
        EXPECT_FALSE(row.parse());
        if (*row.reported) {
            // The runtime names the message type and the missing fields.
            EXPECT_NE(log.errors().find("missing required fields"), std::string::npos) << log.errors();
            EXPECT_NE(log.errors().find(row.reported), std::string::npos) << log.errors();
        }
    }
}

// One item without tag among complete ones fails the PilotD message,
// whichever of the ten containers holds it.
TEST(SchemaParse, EveryContainerRequiresItemTags)
{
    const pb::Descriptor* config = qv::TrawlDConfig::descriptor();
    int containers = 0;
    for (int i = 0; i < config->field_count(); ++i) {
        const pb::FieldDescriptor* field = config->field(i);
        if (!field->message_type() || !field->message_type()->FindFieldByName("item"))
            continue;
        ++containers;
        SCOPED_TRACE(field->name());

        for (bool complete : {true, false}) {
            qv::Pilotd2TrawlDMessage m;
            m.set_tag(qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
            m.set_config_revision(1);
            pb::Message* container = m.mutable_config()->GetReflection()->MutableMessage(
                m.mutable_config(), field);
            const pb::FieldDescriptor* item_field = container->GetDescriptor()->FindFieldByName("item");
            for (int n = 0; n < 3; ++n) {
                pb::Message* item = container->GetReflection()->AddMessage(container, item_field);
                const pb::FieldDescriptor* tag = item->GetDescriptor()->FindFieldByNumber(1000);
                ASSERT_NE(tag, nullptr);
                ASSERT_EQ(tag->name(), "tag");
                if (complete || n != 1)
                    item->GetReflection()->SetString(item, tag, "t" + std::to_string(n));
            }

            protobuf_log_capture_t log;
            qv::Pilotd2TrawlDMessage parsed;
            EXPECT_EQ(checked_parse(parsed, wire(m)), complete);
            if (complete) {
                const pb::Message& got = parsed.config().GetReflection()->GetMessage(parsed.config(), field);
                EXPECT_EQ(got.GetReflection()->FieldSize(got, got.GetDescriptor()->FindFieldByName("item")), 3);
            } else {
                EXPECT_NE(log.errors().find("config." + field->name() + ".item[1].tag"), std::string::npos)
                    << log.errors();
            }
        }
    }
    EXPECT_EQ(containers, 10);
}

TEST(SchemaParse, UndeclaredNumberInOptionalEnumerationLeavesItUnset)
{
    // log_level 0 and 6: absent, reads LOG_LEVEL_DEBUG, kept among the
    // unknown fields and written out again.
    for (int level : {0, 6}) {
        SCOPED_TRACE(level);
        const std::string body = unhex("08 0" + std::to_string(level) + " ca 3e 02 2f 73");
        qv::TrawlDConfig c;
        ASSERT_TRUE(checked_parse(c, body));
        EXPECT_FALSE(c.has_log_level());
        EXPECT_EQ(c.log_level(), qv::LOG_LEVEL_DEBUG);
        EXPECT_EQ(c.socket_path(), "/s");
        const pb::UnknownFieldSet& unknown = c.GetReflection()->GetUnknownFields(c);
        ASSERT_EQ(unknown.field_count(), 1);
        EXPECT_EQ(unknown.field(0).number(), 1);
        ASSERT_EQ(unknown.field(0).type(), pb::UnknownField::TYPE_VARINT);
        EXPECT_EQ(unknown.field(0).varint(), static_cast<std::uint64_t>(level));
        // The stored copy keeps them.
        qv::TrawlDConfig stored;
        stored.CopyFrom(c);
        EXPECT_EQ(stored.GetReflection()->GetUnknownFields(stored).field_count(), 1);
        EXPECT_NE(wire(stored).find(unhex("08 0" + std::to_string(level))), std::string::npos);
    }
    {
        qv::TrawlDConfig c;
        ASSERT_TRUE(checked_parse(c, unhex("08 05")));
        EXPECT_TRUE(c.has_log_level());
        EXPECT_EQ(c.log_level(), qv::LOG_LEVEL_ERROR);
    }

    // lookup_type outside the ten values.
    for (int type : {2, 19, 24, 39, 44}) {
        SCOPED_TRACE(type);
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", type);
        lp::ClientMessage m;
        ASSERT_TRUE(checked_parse(m, unhex(std::string("08 01 10 07 18 ") + byte + " 22 01 78")));
        EXPECT_FALSE(m.has_lookup_type());
        EXPECT_EQ(m.lookup_type(), lp::LOOKUP_LDAP);
        EXPECT_TRUE(m.has_serial());
        EXPECT_EQ(m.lookup_tag(), "x");
    }
    for (int type : {0, 1, 20, 21, 22, 23, 40, 41, 42, 43}) {
        SCOPED_TRACE(type);
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", type);
        lp::ClientMessage m;
        ASSERT_TRUE(checked_parse(m, unhex(std::string("08 01 10 07 18 ") + byte + " 22 01 78")));
        EXPECT_TRUE(m.has_lookup_type());
        EXPECT_EQ(static_cast<int>(m.lookup_type()), type);
    }

    // ldap_check_certificate 4 reads CCM_NO.
    {
        qv::TrawlDConfig c;
        ASSERT_TRUE(checked_parse(c, unhex("58 04")));
        EXPECT_FALSE(c.has_ldap_check_certificate());
        EXPECT_EQ(c.ldap_check_certificate(), qv::CCM_NO);
        qv::TrawlDConfig t;
        ASSERT_TRUE(checked_parse(t, unhex("58 03")));
        EXPECT_EQ(t.ldap_check_certificate(), qv::CCM_TRY);
    }

    // An undeclared facility leaves DAEMON; the required type still parses.
    {
        qv::Log l;
        ASSERT_TRUE(checked_parse(l, unhex("08 02 10 04")));
        EXPECT_EQ(l.type(), qv::Log::FILE);
        EXPECT_FALSE(l.has_facility());
        EXPECT_EQ(l.facility(), qv::Log::DAEMON);
    }

    // AppInfo.exit_code 14 stays unset.
    {
        qv::AppInfo i;
        ASSERT_TRUE(checked_parse(i, unhex("c0 3e 2b c8 3e 05 f8 44 0e")));
        EXPECT_EQ(i.app(), qv::APP_TRAWLD);
        EXPECT_EQ(i.pid(), 5);
        EXPECT_FALSE(i.has_exit_code());
        EXPECT_EQ(i.exit_code(), qv::EC_OK);
    }
}

TEST(SchemaParse, UnknownRepeatedAndReorderedFields)
{
    // An undeclared field number 8 in a request changes nothing else.
    lp::ClientMessage extra;
    ASSERT_TRUE(checked_parse(extra, unhex("08 01 10 07 18 00 22 01 78 42 01 7a")));
    EXPECT_EQ(extra.serial(), 7u);
    EXPECT_TRUE(extra.has_lookup_type());
    EXPECT_EQ(extra.lookup_tag(), "x");
    EXPECT_EQ(extra.GetReflection()->GetUnknownFields(extra).field_count(), 1);

    // Any order; a repeated scalar occurrence keeps the last value.
    lp::ClientMessage reordered;
    ASSERT_TRUE(checked_parse(reordered, unhex("22 01 78 18 15 10 03 08 01 10 09")));
    EXPECT_EQ(reordered.serial(), 9u);
    EXPECT_EQ(reordered.lookup_type(), lp::LOOKUP_SQLITE);

    // Bytes that are not UTF-8 pass as they are.
    lp::ClientMessage binary;
    ASSERT_TRUE(checked_parse(binary, unhex("08 02 10 01 18 28 22 02 ff fe 2a 03 c3 28 80 3a 01 80")));
    EXPECT_EQ(binary.lookup_tag(), "\xff\xfe");
    EXPECT_EQ(binary.user(), "\xc3\x28\x80");
    EXPECT_EQ(binary.check(), "\x80");

    // The checking parse clears the object first.
    lp::ClientMessage reused;
    ASSERT_TRUE(checked_parse(reused, unhex("08 01 10 07 2a 01 75")));
    ASSERT_TRUE(reused.has_user());
    ASSERT_TRUE(checked_parse(reused, unhex("08 02")));
    EXPECT_FALSE(reused.has_user());
    EXPECT_FALSE(reused.has_serial());
    EXPECT_EQ(reused.tag(), lp::ClientMessage::CHECK_REQUEST);

    // Free numbers 15 and 23 of the configuration, and socket_path sent as a
    // varint: unknown fields, written out again.
    const std::string config_body = unhex("78 01 b8 01 02 c8 3e 05");
    qv::TrawlDConfig config;
    ASSERT_TRUE(checked_parse(config, config_body));
    EXPECT_FALSE(config.has_socket_path());
    EXPECT_EQ(config.GetReflection()->GetUnknownFields(config).field_count(), 3);
    EXPECT_EQ(hex(wire(config)), hex(config_body));

    // A PilotD message with an additional field 4.
    qv::Pilotd2TrawlDMessage pilotd;
    ASSERT_TRUE(checked_parse(pilotd, unhex("08 01 10 05 1a 00 20 01")));
    EXPECT_TRUE(pilotd.has_config_revision());
    EXPECT_TRUE(pilotd.has_config());

    // Revision 0 and a config of length 0 are present.
    qv::Pilotd2TrawlDMessage minimal;
    ASSERT_TRUE(checked_parse(minimal, unhex("08 01 10 00 1a 00")));
    EXPECT_EQ(minimal.tag(), qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);
    EXPECT_TRUE(minimal.has_config_revision());
    EXPECT_EQ(minimal.config_revision(), 0u);
    EXPECT_TRUE(minimal.has_config());

    // A present log with its type passes.
    qv::TrawlDConfig with_log;
    with_log.mutable_actual_log()->set_type(qv::Log::STDERR);
    with_log.mutable_log()->set_type(qv::Log::AUTO);
    qv::TrawlDConfig parsed;
    EXPECT_TRUE(checked_parse(parsed, wire(with_log)));
    EXPECT_EQ(parsed.actual_log().type(), qv::Log::STDERR);
}

// ---------------------------------------------------------------------------
// Extensions of the suite's records.

TEST(SchemaExtensions, TrawlDConfigAndStatRoundTrip)
{
    const pb::DescriptorPool* pool = pb::DescriptorPool::generated_pool();
    const pb::FieldDescriptor* config_ext = pool->FindExtensionByNumber(qv::AppConfig::descriptor(), 43);
    ASSERT_NE(config_ext, nullptr);
    EXPECT_EQ(config_ext->full_name(), "qv.trawld_config");
    EXPECT_EQ(config_ext->label(), pb::FieldDescriptor::LABEL_OPTIONAL);
    EXPECT_EQ(config_ext->message_type(), qv::TrawlDConfig::descriptor());
    const pb::FieldDescriptor* stat_ext = pool->FindExtensionByNumber(qv::AppStat::descriptor(), 43);
    ASSERT_NE(stat_ext, nullptr);
    EXPECT_EQ(stat_ext->full_name(), "qv.trawld_stat");
    EXPECT_EQ(stat_ext->label(), pb::FieldDescriptor::LABEL_OPTIONAL);
    EXPECT_EQ(stat_ext->message_type(), qv::TrawlDAppStat::descriptor());

    // AppStat: the extension goes out first, then the record's own fields.
    qv::AppStat stat;
    stat.set_app(qv::APP_TRAWLD);
    stat.set_pid(5);
    qv::TrawlDClientStat* clients = stat.MutableExtension(qv::trawld_stat)->mutable_clients();
    clients->set_base(1);
    clients->set_in(0);
    clients->set_out(0);
    const std::string stat_bytes = wire(stat);
    EXPECT_EQ(hex(stat_bytes), "da 02 08 0a 06 08 01 10 00 18 00 c0 3e 2b c8 3e 05");
    qv::AppStat stat_back;
    ASSERT_TRUE(checked_parse(stat_back, stat_bytes));
    ASSERT_TRUE(stat_back.HasExtension(qv::trawld_stat));
    EXPECT_EQ(stat_back.GetExtension(qv::trawld_stat).clients().base(), 1u);
    EXPECT_TRUE(stat_back.GetExtension(qv::trawld_stat).clients().has_out());
    EXPECT_EQ(stat_back.pid(), 5);
    EXPECT_EQ(stat_back.GetReflection()->GetUnknownFields(stat_back).field_count(), 0);

    // AppConfig with a whole configuration.
    qv::AppConfig config;
    config.set_app(qv::APP_TRAWLD);
    qv::TrawlDConfig* inner = config.MutableExtension(qv::trawld_config);
    inner->set_socket_path("/run/trawld.sock");
    inner->set_log_level(qv::LOG_LEVEL_WARNING);
    inner->mutable_ldap()->add_item()->set_tag("Main_Dir");
    inner->mutable_actual_log()->set_type(qv::Log::STDERR);
    const std::string config_bytes = wire(config);
    EXPECT_EQ(hex(config_bytes.substr(0, 2)), "da 02");
    qv::AppConfig config_back;
    ASSERT_TRUE(checked_parse(config_back, config_bytes));
    ASSERT_TRUE(config_back.HasExtension(qv::trawld_config));
    const qv::TrawlDConfig& got = config_back.GetExtension(qv::trawld_config);
    EXPECT_EQ(got.socket_path(), "/run/trawld.sock");
    EXPECT_EQ(got.log_level(), qv::LOG_LEVEL_WARNING);
    ASSERT_EQ(got.ldap().item_size(), 1);
    EXPECT_EQ(got.ldap().item(0).tag(), "Main_Dir");
    EXPECT_EQ(got.actual_log().type(), qv::Log::STDERR);
    EXPECT_EQ(config_back.app(), qv::APP_TRAWLD);

    // A number in the range with no extension registered is unknown data.
    qv::AppStat other;
    ASSERT_TRUE(checked_parse(other, unhex("e2 02 00 c0 3e 2b c8 3e 05")));
    EXPECT_FALSE(other.HasExtension(qv::trawld_stat));
    EXPECT_EQ(other.GetReflection()->GetUnknownFields(other).field_count(), 1);
}

// ---------------------------------------------------------------------------
// JSON form of the executable description.

TEST(SchemaJson, AppExeInfo)
{
    struct row_t {
        const char* name;
        std::function<qv::AppExeInfo()> build;
        const char* json;
    };
    const std::vector<row_t> rows = {
        {"default instance", [] { return qv::AppExeInfo::default_instance(); }, "{}"},
        {"owner root in base64",
         [] {
             qv::AppExeInfo i;
             i.set_exe_owner("root");
             return i;
         },
         "{\"exeOwner\":\"cm9vdA==\"}"},
        {"a zero that is present is printed",
         [] {
             qv::AppExeInfo i;
             i.set_install_time(0);
             return i;
         },
         "{\"installTime\":\"0\"}"},
        {"every field",
         [] {
             qv::AppExeInfo i;
             i.set_version("1.0.0");
             i.set_install_time(1700000000);
             i.set_modification_time(1700000001);
             i.set_exe_size(18446744073709551615ull);
             std::string md5;
             for (int n = 0; n < 16; ++n)
                 md5.push_back(static_cast<char>(n));
             i.set_exe_md5(md5);
             i.set_exe_owner("root");
             return i;
         },
         "{\"version\":\"1.0.0\",\"installTime\":\"1700000000\",\"modificationTime\":\"1700000001\","
         "\"exeSize\":\"18446744073709551615\",\"exeMd5\":\"AAECAwQFBgcICQoLDA0ODw==\","
         "\"exeOwner\":\"cm9vdA==\"}"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string json;
        ASSERT_TRUE(pb::util::MessageToJsonString(row.build(), &json).ok());
        EXPECT_EQ(json, row.json);
    }
}

// ---------------------------------------------------------------------------
// Defaults.

TEST(SchemaDefaults, ImplicitDefaultsAndPresence)
{
    // qv.Log: SYSLOG and DAEMON while absent; serialises empty.
    const qv::Log log;
    EXPECT_EQ(log.type(), qv::Log::SYSLOG);
    EXPECT_FALSE(log.has_type());
    EXPECT_EQ(log.facility(), qv::Log::DAEMON);
    EXPECT_FALSE(log.has_facility());
    EXPECT_FALSE(log.has_ident());
    EXPECT_EQ(log.path(), "");
    EXPECT_FALSE(log.show_timestamp());
    EXPECT_EQ(log.ByteSizeLong(), 0u);
    EXPECT_FALSE(log.IsInitialized());

    // FILE with LOCAL3 keeps the facility.
    qv::Log file_log;
    file_log.set_type(qv::Log::FILE);
    file_log.set_facility(qv::Log::LOCAL3);
    qv::Log file_back;
    ASSERT_TRUE(checked_parse(file_back, wire(file_log)));
    EXPECT_EQ(file_back.facility(), qv::Log::LOCAL3);

    const qv::LocalUser user;
    EXPECT_FALSE(user.has_uid());
    EXPECT_EQ(user.uid(), 0);
    EXPECT_EQ(user.name(), "");
    qv::LocalUser root;
    root.set_name("nobody");
    root.set_uid(0);
    EXPECT_TRUE(root.has_uid());

    // An empty configuration parses and reads its defaults.
    qv::TrawlDConfig config;
    ASSERT_TRUE(checked_parse(config, ""));
    EXPECT_EQ(config.log_level(), qv::LOG_LEVEL_DEBUG);
    EXPECT_EQ(config.ldap_check_certificate(), qv::CCM_NO);
    EXPECT_EQ(config.db_idle_timeout(), 0u);
    EXPECT_EQ(config.socket_path(), "");
    EXPECT_EQ(config.mysql_default_conn(), "");
    EXPECT_EQ(config.ldap().item_size(), 0);
    EXPECT_EQ(config.mask().item_size(), 0);
    EXPECT_EQ(&config.actual_log(), &qv::Log::default_instance());
    EXPECT_EQ(config.actual_log().type(), qv::Log::SYSLOG);
    EXPECT_EQ(&config.run_as_user(), &qv::LocalUser::default_instance());
    EXPECT_FALSE(config.has_run_as_user());

    // CopyFrom replaces the whole configuration.
    qv::TrawlDConfig first;
    first.set_mysql_default_conn("tcp://db");
    first.mutable_ldap()->add_item()->set_tag("a");
    qv::TrawlDConfig second;
    second.set_socket_path("/s");
    qv::TrawlDConfig stored;
    stored.CopyFrom(first);
    stored.CopyFrom(second);
    EXPECT_EQ(stored.mysql_default_conn(), "");
    EXPECT_EQ(stored.ldap().item_size(), 0);
    EXPECT_EQ(stored.socket_path(), "/s");

    const lp::ClientMessage request;
    EXPECT_EQ(request.tag(), lp::ClientMessage::LOOKUP_REQUEST);
    EXPECT_FALSE(request.has_tag());
    EXPECT_EQ(request.lookup_type(), lp::LOOKUP_LDAP);
    EXPECT_FALSE(request.has_lookup_type());

    const qv::Error error;
    EXPECT_EQ(error.code(), qv::EC_OK);
    EXPECT_FALSE(error.has_code());
    EXPECT_FALSE(error.has_what());

    EXPECT_EQ(qv::AppInfo().app(), qv::APP_PILOTD);
    EXPECT_FALSE(qv::AppInfo().has_app());
    EXPECT_EQ(qv::AppInfo().exit_code(), qv::EC_OK);
    EXPECT_EQ(qv::AppStat().app(), qv::APP_PILOTD);
    EXPECT_EQ(qv::AppConfig().app(), qv::APP_PILOTD);
    EXPECT_EQ(qv::ComponentControl().app(), qv::APP_PILOTD);
    EXPECT_FALSE(qv::ComponentControl().has_app());

    EXPECT_EQ(&qv::Pilotd2TrawlDMessage().config(), &qv::TrawlDConfig::default_instance());
    EXPECT_EQ(&qv::TrawlD2PilotdMessage().stat(), &qv::TrawlDAppStat::default_instance());
    EXPECT_EQ(qv::TrawlD2PilotdMessage().tag(), qv::TrawlD2PilotdMessage::GET_CONFIG_REQUEST);
    EXPECT_EQ(qv::Pilotd2TrawlDMessage().tag(), qv::Pilotd2TrawlDMessage::GET_CONFIG_RESPONSE);

    // LexOption's oneof: the later member wins.
    qv::LexOption option;
    option.set_key("k");
    option.mutable_value()->add_item("v");
    EXPECT_TRUE(option.has_value());
    option.mutable_map();
    EXPECT_FALSE(option.has_value());
    EXPECT_TRUE(option.has_map());
    EXPECT_EQ(option.data_case(), qv::LexOption::kMap);
    EXPECT_EQ(option.value().item_size(), 0);
    // A key without a value is complete.
    qv::LexOption bare;
    bare.set_key("only");
    EXPECT_TRUE(bare.IsInitialized());
    EXPECT_EQ(bare.data_case(), qv::LexOption::DATA_NOT_SET);
}
