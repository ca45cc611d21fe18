#include "support/daemon_exchange.h"

#include <gtest/gtest.h>

lp::ServerMessage ask_daemon(const daemon_fixture_t& daemon, trawl_client_t& client, uint32_t& serial,
                             lp::ClientMessage request, std::chrono::milliseconds timeout)
{
    request.set_serial(++serial);
    const auto responses = client.exchange({request}, timeout);
    const auto found = responses.find(serial);
    if (found == responses.end()) {
        ADD_FAILURE() << "no answer to " << request.ShortDebugString() << "\n" << daemon.pilotd.stderr_text();
        return lp::ServerMessage();
    }
    return found->second;
}

std::vector<std::string> lookup_values(const lp::ServerMessage& response, const std::string& tag)
{
    EXPECT_FALSE(response.has_error()) << tag << ": " << response.ShortDebugString();
    return data_of(response);
}

bool check_result(const lp::ServerMessage& response, const std::string& tag, const std::string& value)
{
    EXPECT_FALSE(response.has_error()) << tag << " \"" << value << "\": " << response.ShortDebugString();
    EXPECT_TRUE(response.has_result()) << tag << " \"" << value << "\"";
    return response.result();
}

std::string daemon_log_since(const daemon_fixture_t& daemon, size_t mark)
{
    const std::string text = daemon.pilotd.stderr_text();
    return mark < text.size() ? text.substr(mark) : std::string();
}
