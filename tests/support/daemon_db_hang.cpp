#include "support/daemon_db_hang.h"

#include <algorithm>
#include <thread>

#include "support/daemon_exchange.h"

hang_outcome_t lookup_behind_hang(trawl_client_t& client, lp::LookupType db_type, const std::string& db_tag,
                                  const std::string& list_tag, const std::vector<std::string>& values,
                                  std::chrono::milliseconds timeout)
{
    std::vector<lp::ClientMessage> requests{lookup_request(1000, db_type, db_tag, "alice")};
    for (size_t i = 0; i < values.size(); ++i)
        requests.push_back(check_request(uint32_t(1001 + i), lp::LOOKUP_ALLMATCH, list_tag, values[i]));
    const auto start = std::chrono::steady_clock::now();
    const auto responses = client.exchange(requests, timeout);
    hang_outcome_t outcome;
    outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    outcome.answered = responses.size();
    const auto db = responses.find(1000);
    if (db != responses.end())
        outcome.db_error = db->second.has_error() ? int(db->second.error().code()) : 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const auto found = responses.find(uint32_t(1001 + i));
        outcome.list_answers.push_back(found != responses.end() && !found->second.has_error() &&
                                       found->second.result());
    }
    return outcome;
}

pipeline_outcome_t pipeline_behind_hang(trawl_client_t& client, trawl_client_t& other, lp::LookupType db_type,
                                        const std::string& db_tag, size_t count, const std::string& list_tag,
                                        const std::string& value, std::chrono::milliseconds delay,
                                        std::chrono::milliseconds timeout)
{
    using clock = std::chrono::steady_clock;
    const auto since = [](clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
    };
    std::string bytes;
    for (size_t i = 0; i < count; ++i)
        bytes += frame_of(lookup_request(uint32_t(1 + i), db_type, db_tag, "alice"));
    pipeline_outcome_t outcome;
    const auto start = clock::now();
    if (!client.send_raw(bytes))
        return outcome;
    std::thread list_client([&]() {
        std::this_thread::sleep_for(delay);
        if (!other.send_check(1, lp::LOOKUP_ALLMATCH, list_tag, value))
            return;
        const auto answer = other.receive(timeout);
        if (!answer)
            return;
        outcome.list_time = since(start);
        outcome.list_answer = !answer->has_error() && answer->result();
    });
    while (outcome.db_times.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timeout - since(start));
        const auto answer = client.receive(std::max(left, std::chrono::milliseconds(0)));
        if (!answer)
            break;
        outcome.db_times.push_back(since(start));
        outcome.db_errors.push_back(answer->has_error() ? int(answer->error().code()) : 0);
    }
    list_client.join();
    return outcome;
}
