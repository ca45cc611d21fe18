// A database lookup sent to a server that does not answer, with list-file
// checks pipelined behind it: how long the daemon took and what it answered.
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
