// The user a process runs as, and files given to that user.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

#include <boost/filesystem/path.hpp>

#include "local_user.pb.h"

// Closes a descriptor at the end of the scope when it is not negative.
class cf_fd_closer_t {
public:
    explicit cf_fd_closer_t(int fd) noexcept : fd(fd) {}
    cf_fd_closer_t(const cf_fd_closer_t&) = delete;
    cf_fd_closer_t& operator=(const cf_fd_closer_t&) = delete;
    ~cf_fd_closer_t();

    int fd;
};

class cf_user_t {
public:
    // Takes the uid when the record has one, else looks the name up in the
    // user database. Throws std::runtime_error when that fails.
    explicit cf_user_t(const qv::LocalUser& user);

    // The user's group id, looked up once when the uid was given.
    uint32_t gid();

    // The user database's name for the uid. Throws std::runtime_error when
    // the uid has no entry.
    std::string name_of_uid() const;

    // "uid", or "uid:gid" once the group id is known.
    std::string to_string() const;

    // Creates the file with the mode and gives it to the user; an existing
    // file is left untouched.
    void create_file(const boost::filesystem::path& path, mode_t mode);

    // Gives one path to the user and the user's group.
    void chown(const boost::filesystem::path& path);

    // Gives a directory and every regular file and directory below it to
    // the user; symbolic links are neither followed nor changed.
    void take_ownership(const boost::filesystem::path& directory);

    uint32_t uid;
    bool gid_known;
    uint32_t cached_gid;

private:
    void change_owner(const boost::filesystem::path& path, bool follow_links);
};
