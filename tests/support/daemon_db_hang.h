// Database lookups sent to a server that does not answer, with list-file
// checks behind them or beside them: how long the daemon took and what it
// answered.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/daemon_fixture.h"

struct hang_outcome_t {
    std::chrono::milliseconds elapsed{0};  // until every answer was in
    int db_error = -1;                     // the lookup's error code (0: none, -1: no answer)
    std::vector<bool> list_answers;        // the checks' results, in order
    size_t answered = 0;                   // how many of all requests were answered
};

// Sends a lookup of db_tag (user "alice") and then a check of list_tag for
// each value, all in one write, and waits up to timeout for the answers.
hang_outcome_t lookup_behind_hang(trawl_client_t& client, lp::LookupType db_type, const std::string& db_tag,
                                  const std::string& list_tag, const std::vector<std::string>& values,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(90));

struct pipeline_outcome_t {
    std::vector<std::chrono::milliseconds> db_times;  // when each lookup's answer came, in order
    std::vector<int> db_errors;                       // their error codes (0: none), in the same order
    std::chrono::milliseconds list_time{-1};          // when the check's answer came (-1: never)
    bool list_answer = false;
};

// Sends `count` lookups of db_tag (user "alice") in one write on `client`
// and, `delay` later, a check of list_tag for `value` on `other`; waits up
// to timeout for the answers. Times are counted from the write.
pipeline_outcome_t pipeline_behind_hang(trawl_client_t& client, trawl_client_t& other, lp::LookupType db_type,
                                        const std::string& db_tag, size_t count, const std::string& list_tag,
                                        const std::string& value, std::chrono::milliseconds delay,
                                        std::chrono::milliseconds timeout);
