#include "cf_user.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "cf_errors.h"
#include "cf_log.h"

namespace {

// The largest uid that names a user; (uid_t)-1 means "unchanged" to the
// system calls.
const int64_t max_uid = 0xFFFFFFFELL;

std::string quoted(const boost::filesystem::path& path)
{
    std::ostringstream out;
    out << path;
    return out.str();
}

boost::system::error_code last_error()
{
    return boost::system::error_code(errno, boost::system::system_category());
}

const struct passwd& entry_of_uid(uint32_t uid)
{
    errno = 0;
    const struct passwd* entry = ::getpwuid(uid);
    if (!entry) {
        const int error = errno;
        throw std::runtime_error("getpwuid(" + std::to_string(uid) + "): " +
                                 (error ? std::strerror(error) : "No user with such uid"));
    }
    return *entry;
}

} // namespace

cf_fd_closer_t::~cf_fd_closer_t()
{
    if (fd >= 0)
        ::close(fd);
}

cf_user_t::cf_user_t(const qv::LocalUser& user) : uid(0), gid_known(false), cached_gid(0)
{
    if (user.has_uid()) {
        if (user.uid() < 0 || user.uid() > max_uid)
            throw std::runtime_error("Invalid uid " + std::to_string(user.uid()));
        uid = static_cast<uint32_t>(user.uid());
        return;
    }

    errno = 0;
    const struct passwd* entry = ::getpwnam(user.name().c_str());
    if (!entry) {
        const int error = errno;
        throw std::runtime_error("getpwnam(\"" + user.name() + "\"): " +
                                 (error ? std::strerror(error) : "No such user"));
    }
    uid = entry->pw_uid;
    cached_gid = entry->pw_gid;
    gid_known = true;
}

uint32_t cf_user_t::gid()
{
    if (gid_known)
        return cached_gid;

    cached_gid = entry_of_uid(uid).pw_gid;
    gid_known = true;
    return cached_gid;
}

std::string cf_user_t::name_of_uid() const
{
    return entry_of_uid(uid).pw_name;
}

std::string cf_user_t::to_string() const
{
    std::string text = std::to_string(uid);
    if (gid_known)
        text += ":" + std::to_string(cached_gid);
    return text;
}

void cf_user_t::create_file(const boost::filesystem::path& path, mode_t mode)
{
    cf_fd_closer_t file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (file.fd < 0) {
        if (errno == EEXIST)
            return;
        throw boost::filesystem::filesystem_error("open", path, last_error());
    }

    if (::fchown(file.fd, uid, gid()) != 0 && cf_log_threshold <= CF_LOG_DEBUG) {
        const int error = errno;
        cf_log_message(CF_LOG_DEBUG,
                       std::string("fchown: ") + std::strerror(error) + ": " + quoted(path));
    }
}

void cf_user_t::chown(const boost::filesystem::path& path)
{
    change_owner(path, true);
}

void cf_user_t::change_owner(const boost::filesystem::path& path, bool follow_links)
{
    const gid_t group = gid();
    const int result =
        follow_links ? ::chown(path.c_str(), uid, group) : ::lchown(path.c_str(), uid, group);
    if (result != 0)
        throw boost::filesystem::filesystem_error("chown", path, last_error());
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, "Ownership taken: " + quoted(path));
}

void cf_user_t::take_ownership(const boost::filesystem::path& directory)
{
    struct stat st;
    if (::lstat(directory.c_str(), &st) != 0)
        throw boost::filesystem::filesystem_error("lstat", directory, last_error());
    if (!S_ISDIR(st.st_mode))
        throw boost::filesystem::filesystem_error("take_ownership", directory,
                                                  qv::make_error_code(qv::EC_NOT_A_DIRECTORY));

    // Entries are changed with lchown: an entry replaced by a symbolic link
    // after its lstat must not hand the link's target to the user.
    for (boost::filesystem::recursive_directory_iterator it(directory), end; it != end; ++it) {
        const boost::filesystem::path& entry = it->path();
        struct stat entry_st;
        if (::lstat(entry.c_str(), &entry_st) != 0)
            throw boost::filesystem::filesystem_error("lstat", entry, last_error());
        if ((S_ISREG(entry_st.st_mode) || S_ISDIR(entry_st.st_mode)) &&
            (entry_st.st_uid != uid || entry_st.st_gid != gid()))
            change_owner(entry, false);
    }

    if (st.st_uid != uid || st.st_gid != gid())
        change_owner(directory, false);
}
