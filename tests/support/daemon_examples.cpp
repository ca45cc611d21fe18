#include "support/daemon_examples.h"

#include <vector>

#include <google/protobuf/text_format.h>

namespace {

// Occurrences replaced in the message's strings, sub-messages included.
size_t replace_in(google::protobuf::Message& message, const std::string& from, const std::string& to)
{
    size_t count = 0;
    auto replace_text = [&](std::string text) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
            ++count;
        }
        return text;
    };
    const google::protobuf::Reflection* reflection = message.GetReflection();
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    for (const auto* field : fields) {
        if (field->type() == google::protobuf::FieldDescriptor::TYPE_STRING) {
            if (!field->is_repeated()) {
                reflection->SetString(&message, field, replace_text(reflection->GetString(message, field)));
                continue;
            }
            for (int i = 0; i < reflection->FieldSize(message, field); ++i)
                reflection->SetRepeatedString(&message, field, i,
                                              replace_text(reflection->GetRepeatedString(message, field, i)));
        } else if (field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE) {
            if (!field->is_repeated()) {
                count += replace_in(*reflection->MutableMessage(&message, field), from, to);
                continue;
            }
            for (int i = 0; i < reflection->FieldSize(message, field); ++i)
                count += replace_in(*reflection->MutableRepeatedMessage(&message, field, i), from, to);
        }
    }
    return count;
}

pilotd_standin_options_t example_options()
{
    pilotd_standin_options_t options;
    options.env.emplace_back("LDAPNOINIT", "1");
    return options;
}

} // namespace

example_config_t::example_config_t(const std::string& name_)
    : name(name_), config(load_config_file(std::string(VELBO_SOURCE_DIR) + "/examples/" + name_))
{
}

void example_config_t::rewrite(const std::string& from, const std::string& to)
{
    EXPECT_GT(replace_in(config, from, to), 0u) << name << " holds no \"" << from << "\"";
}

std::string example_config_t::text_for(const daemon_fixture_t& fixture) const
{
    qv::TrawlDConfig local = config;
    local.set_socket_path(fixture.socket_path);
    local.mutable_run_as_user()->Clear();
    local.mutable_run_as_user()->set_uid(0);
    local.mutable_actual_log()->Clear();
    local.mutable_actual_log()->set_type(qv::Log::STDERR);
    local.set_log_level(qv::LOG_LEVEL_DEBUG);
    std::string text;
    google::protobuf::TextFormat::PrintToString(local, &text);
    return text;
}

example_session_t::example_session_t() : daemon_session_t(example_options()) {}

void example_session_t::start_example(const example_config_t& example)
{
    start_text(example.text_for(*daemon));
}

void example_session_t::reconfigure_example(const example_config_t& example)
{
    reconfigure_text(example.text_for(*daemon));
}
