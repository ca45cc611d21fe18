// The bare peer: a minimal single-threaded epoll server that reads in large
// chunks, answers every request frame of a read with a hand-encoded
// response carrying its serial, and writes as it goes without blocking,
// large lookup answers with a gather write from one copy of their fields.
// It reads on while its answers drain, up to a bound on the output it
// holds. It is the bound the daemon is measured against.
#pragma once

#include <cstddef>
#include <string>

// While a connection has this many answer bytes unwritten, no more of its
// requests are read or answered (the daemon's bound on a client's output).
constexpr size_t bare_peer_output_limit = 16 * 1024 * 1024;

// Serves the UNIX socket at path until the process is killed. A lookup is
// answered with the tag, the serial and then lookup_fields, the encoded
// fields of a daemon's lookup answer after its tag and serial; a check with
// a "not found" result.
[[noreturn]] void run_bare_peer(const std::string& socket_path, const std::string& lookup_fields);
