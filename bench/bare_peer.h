// The bare peer: a minimal single-threaded epoll server that reads in large
// chunks, answers every request frame of a read with a hand-encoded
// response carrying its serial, and writes all of them in one write. It is
// the bound the daemon is measured against.
#pragma once

#include <string>

// Serves the UNIX socket at path until the process is killed. A lookup is
// answered with the tag, the serial and then lookup_fields, the encoded
// fields of a daemon's lookup answer after its tag and serial; a check with
// a "not found" result.
[[noreturn]] void run_bare_peer(const std::string& socket_path, const std::string& lookup_fields);
