// Description of an executable file, file digests and JSON printing.
#pragma once

#include <ostream>
#include <string>

#include <boost/filesystem/path.hpp>
#include <google/protobuf/message.h>

#include "application.pb.h"

// The record of the executable named by argv[0]; throws std::runtime_error
// "Unknown exe path" when argc is 0.
qv::AppExeInfo exe_info_of(const char* version, int argc, char** argv);

// Version, change and modification times, size, MD5 and owner of a file.
// Throws filesystem_error "stat" for a missing file and the qv code
// EC_NOT_A_REGULAR_FILE for anything but a regular file.
qv::AppExeInfo make_exe_info(const char* version, const boost::filesystem::path& executable);

// Writes the message as compact JSON, without an end of line.
std::ostream& print_json(std::ostream& out, const google::protobuf::Message& message);

// Raw digests of a file's contents (16 and 32 bytes); failures throw
// cf_proto_exception_t.
std::string file_md5(const boost::filesystem::path& path);
std::string file_sha256(const std::string& path);

// First 8 base64 characters (standard alphabet, no padding) of the
// HMAC-SHA-256 of message under key.
std::string compute_password(const std::string& key, const std::string& message);
