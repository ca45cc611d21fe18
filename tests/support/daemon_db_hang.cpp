#include "support/daemon_db_hang.h"

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
