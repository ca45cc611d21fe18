// velbo-client: sends lookups and checks pipelined, prints one line per request.
#include <cmath>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "annotation.pb.h"
#include "error.pb.h"
#include "trawl_client.h"

namespace {

const char usage[] =
    "usage: velbo-client --socket PATH [--timeout SECONDS] [--user U] [--domain D] REQUEST...\n"
    "  REQUEST: lookup TYPE TAG | check TYPE TAG VALUE\n"
    "  TYPE: ldap, ad, pq, sqlite, mysql, redis, allmatch, regex, cidr, mask, or the number\n"
    "  --user and --domain apply to the requests after them\n"
    "  --timeout: how long to wait for all answers (default 60)\n"
    "  exit status: 0 every request answered, 1 an answer missing or no connection, 2 bad usage\n";

// Seconds as given to --timeout: a positive number, at most a day.
std::optional<std::chrono::milliseconds> parse_timeout(const std::string& text)
{
    const std::optional<double> seconds = parse_seconds(text, 86400);
    if (!seconds)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(*seconds * 1000)));
}

struct request_t {
    lp::ClientMessage message;
    std::string label;  // "1 lookup allmatch/colors user=alice"
};

std::string error_text(const qv::Error& error)
{
    std::string what = error.what();
    if (what.empty()) {
        const auto* value = qv::ErrorCode_descriptor()->FindValueByNumber(error.code());
        if (value)
            what = value->options().GetExtension(qv::lex);
    }
    return "error " + std::to_string(int(error.code())) + " (" + what + ")";
}

std::string answer_text(const lp::ClientMessage& request, const lp::ServerMessage& response)
{
    if (response.has_error())
        return error_text(response.error());
    if (request.tag() == lp::ClientMessage::CHECK_REQUEST) {
        if (!response.has_result())
            return "(no result)";
        return response.result() ? "true" : "false";
    }
    if (response.data_size() == 0)
        return "(none)";
    std::string text;
    for (const auto& value : response.data()) {
        if (!text.empty())
            text += ", ";
        text += value;
    }
    return text;
}

}

int client_command(int argc, char** argv, std::ostream& out, std::ostream& err, std::chrono::milliseconds timeout)
{
    std::string socket_path, user, domain;
    std::vector<request_t> requests;
    auto fail_usage = [&](const std::string& message) {
        err << "velbo-client: " << message << "\n" << usage;
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const int left = argc - i - 1;
        if (arg == "-h" || arg == "--help") {
            out << usage;
            return 0;
        }
        if (arg == "--timeout") {
            if (left < 1)
                return fail_usage(arg + " needs a value");
            const auto given = parse_timeout(argv[++i]);
            if (!given)
                return fail_usage(std::string("--timeout needs a number of seconds above 0 and at most 86400, not \"") +
                                  argv[i] + "\"");
            timeout = *given;
            continue;
        }
        if (arg == "--socket" || arg == "--user" || arg == "--domain") {
            if (left < 1)
                return fail_usage(arg + " needs a value");
            std::string& target = arg == "--socket" ? socket_path : arg == "--user" ? user : domain;
            target = argv[++i];
            continue;
        }
        if (arg != "lookup" && arg != "check")
            return fail_usage("unknown argument " + arg);
        const bool check = arg == "check";
        if (left < (check ? 3 : 2))
            return fail_usage(arg + " needs " + (check ? "TYPE TAG VALUE" : "TYPE TAG"));
        const auto type = parse_lookup_type(argv[i + 1]);
        if (!type)
            return fail_usage(std::string("unknown lookup type ") + argv[i + 1]);
        const uint32_t serial = uint32_t(requests.size() + 1);
        const std::string tag = argv[i + 2];
        request_t request;
        request.label = std::to_string(serial) + " " + arg + " " + lookup_type_text(*type) + "/" + tag;
        if (check) {
            request.message = make_check_request(serial, *type, tag, argv[i + 3], user, domain);
            request.label += std::string(" ") + argv[i + 3];
        } else {
            request.message = make_lookup_request(serial, *type, tag, user, domain);
        }
        if (!user.empty())
            request.label += " user=" + user;
        if (!domain.empty())
            request.label += " domain=" + domain;
        requests.push_back(std::move(request));
        i += check ? 3 : 2;
    }
    if (socket_path.empty())
        return fail_usage("--socket is required");
    if (requests.empty())
        return fail_usage("no request given");

    std::map<uint32_t, lp::ServerMessage> answers;
    std::string missing = "timeout";
    try {
        trawl_client_t client(socket_path);
        std::string frames;
        for (const auto& request : requests)
            frames += make_frame(request.message);
        const auto deadline = io_clock::now() + timeout;
        client.send_raw(frames);
        while (answers.size() < requests.size()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(deadline - io_clock::now(), io_clock::duration::zero()));
            auto response = client.receive(left);
            if (!response) {
                if (client.closed())
                    missing = "connection closed";
                break;
            }
            const uint32_t serial = response->serial();
            if (serial >= 1 && serial <= requests.size())
                answers.emplace(serial, std::move(*response));
        }
    } catch (const protocol_error_t& e) {
        err << "velbo-client: malformed response: " << e.what() << "\n";
        missing = "malformed response";
    } catch (const std::exception& e) {
        err << "velbo-client: " << e.what() << "\n";
        return 1;
    }

    for (const auto& request : requests) {
        const auto found = answers.find(request.message.serial());
        out << request.label << ": "
            << (found != answers.end() ? answer_text(request.message, found->second) : "no answer (" + missing + ")")
            << "\n";
    }
    out.flush();
    return answers.size() == requests.size() ? 0 : 1;
}
