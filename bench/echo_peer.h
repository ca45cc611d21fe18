// A minimal peer on the daemon's message link: it answers every request
// with a response that carries only the request's kind and serial.
#pragma once

#include <string>

// Serves the UNIX socket at path until the process is killed.
[[noreturn]] void run_echo_peer(const std::string& socket_path);
