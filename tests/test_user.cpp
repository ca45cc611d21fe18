#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "cf_errors.h"
#include "cf_log.h"
#include "cf_user.h"
#include "support/capture_log.h"

namespace fs = boost::filesystem;

namespace {

using velbo_test::test_log;

struct passwd_entry_t {
    std::string name;
    uint32_t uid;
    uint32_t gid;
};

// The entry for a name, read from /etc/passwd itself.
passwd_entry_t passwd_file_entry(const std::string& name)
{
    std::ifstream in("/etc/passwd");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string user, password, uid, gid;
        std::getline(fields, user, ':');
        std::getline(fields, password, ':');
        std::getline(fields, uid, ':');
        std::getline(fields, gid, ':');
        if (user == name)
            return {user, static_cast<uint32_t>(std::stoul(uid)),
                    static_cast<uint32_t>(std::stoul(gid))};
    }
    throw std::runtime_error("no passwd line for " + name);
}

uint32_t uid_without_entry()
{
    for (uint32_t uid = 54321; uid < 60000; ++uid) {
        if (!::getpwuid(uid))
            return uid;
    }
    throw std::runtime_error("every candidate uid has a passwd entry");
}

qv::LocalUser by_name(const std::string& name)
{
    qv::LocalUser user;
    user.set_name(name);
    return user;
}

qv::LocalUser by_uid(int64_t uid, const char* name = nullptr)
{
    qv::LocalUser user;
    user.set_uid(uid);
    if (name)
        user.set_name(name);
    return user;
}

std::string runtime_error_text(const qv::LocalUser& record)
{
    try {
        cf_user_t user(record);
        return "no exception, uid " + user.to_string();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

std::string quoted(const fs::path& path)
{
    std::ostringstream out;
    out << path;
    return out.str();
}

class UserFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::geteuid(), 0u) << "these tests give files away and need root";
        dir = fs::temp_directory_path() / fs::unique_path("user-%%%%-%%%%-%%%%");
        fs::create_directories(dir);
        nobody = passwd_file_entry("nobody");
        old_umask = ::umask(022);
        test_log().lines.clear();
        old_threshold = cf_log_threshold;
    }

    void TearDown() override
    {
        cf_log_threshold = old_threshold;
        ::umask(old_umask);
        boost::system::error_code ec;
        fs::remove_all(dir, ec);
    }

    fs::path write_file(const fs::path& path, const std::string& content)
    {
        std::ofstream out(path.string());
        out << content;
        out.close();
        EXPECT_TRUE(out) << path;
        return path;
    }

    struct stat lstat_of(const fs::path& path)
    {
        struct stat st = {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    }

    fs::path dir;
    passwd_entry_t nobody;
    mode_t old_umask = 0;
    int old_threshold = 0;
};

} // namespace

TEST(User, ResolvesNames)
{
    for (const char* name : {"root", "nobody", "daemon"}) {
        const passwd_entry_t entry = passwd_file_entry(name);
        cf_user_t user(by_name(name));
        EXPECT_EQ(user.uid, entry.uid) << name;
        EXPECT_TRUE(user.gid_known) << name;
        EXPECT_EQ(user.gid(), entry.gid) << name;
        EXPECT_EQ(user.to_string(), std::to_string(entry.uid) + ":" + std::to_string(entry.gid));
    }
}

TEST(User, UidTakesPrecedenceOverName)
{
    const uint32_t missing = uid_without_entry();
    cf_user_t user(by_uid(missing, "root"));
    EXPECT_EQ(user.uid, missing);
    EXPECT_FALSE(user.gid_known);
    EXPECT_EQ(user.to_string(), std::to_string(missing));

    cf_user_t root(by_uid(0, "nobody"));
    EXPECT_EQ(root.uid, 0u);
    EXPECT_EQ(root.to_string(), "0");
}

TEST(User, GidLookedUpOnceForUid)
{
    const passwd_entry_t nobody = passwd_file_entry("nobody");
    cf_user_t user(by_uid(nobody.uid));
    EXPECT_FALSE(user.gid_known);
    EXPECT_EQ(user.gid(), nobody.gid);
    EXPECT_TRUE(user.gid_known);
    EXPECT_EQ(user.cached_gid, nobody.gid);
    EXPECT_EQ(user.to_string(), std::to_string(nobody.uid) + ":" + std::to_string(nobody.gid));
}

TEST(User, GidOfUidWithoutEntryFails)
{
    const uint32_t missing = uid_without_entry();
    cf_user_t user(by_uid(missing));
    try {
        user.gid();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "getpwuid(" + std::to_string(missing) + "): No user with such uid");
    }
    EXPECT_FALSE(user.gid_known);
    EXPECT_EQ(user.to_string(), std::to_string(missing));
}

TEST(User, UnknownNamesFail)
{
    EXPECT_EQ(runtime_error_text(qv::LocalUser()), "getpwnam(\"\"): No such user");
    EXPECT_EQ(runtime_error_text(by_name("")), "getpwnam(\"\"): No such user");
    EXPECT_EQ(runtime_error_text(by_name("no_such_user_zq")),
              "getpwnam(\"no_such_user_zq\"): No such user");
}

TEST(User, UidOutOfRangeIsRefused)
{
    // Truncated to 32 bits these would name root or mean "unchanged".
    EXPECT_EQ(runtime_error_text(by_uid(4294967296LL)), "Invalid uid 4294967296");
    EXPECT_EQ(runtime_error_text(by_uid(4294967295LL)), "Invalid uid 4294967295");
    EXPECT_EQ(runtime_error_text(by_uid(-1)), "Invalid uid -1");
    EXPECT_EQ(cf_user_t(by_uid(4294967294LL)).uid, 4294967294u);
}

TEST(FdCloser, ClosesValidDescriptorsOnly)
{
    int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        cf_fd_closer_t closer(fd);
        EXPECT_EQ(closer.fd, fd);
    }
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    { cf_fd_closer_t none(-1); }
}

TEST_F(UserFileTest, CreateFileGivesNewFileToUser)
{
    cf_user_t user(by_name("nobody"));
    const fs::path path = dir / "new.log";
    user.create_file(path, 0640);
    const struct stat st = lstat_of(path);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, nobody.uid);
    EXPECT_EQ(st.st_gid, nobody.gid);
    EXPECT_EQ(st.st_size, 0);

    // The umask applies.
    user.create_file(dir / "masked", 0666);
    EXPECT_EQ(lstat_of(dir / "masked").st_mode & 07777, 0644u);
}

TEST_F(UserFileTest, CreateFileLeavesExistingFileAlone)
{
    const fs::path path = write_file(dir / "existing", "keep me");
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    const struct stat before = lstat_of(path);

    cf_user_t user(by_name("nobody"));
    user.create_file(path, 0600);

    const struct stat after = lstat_of(path);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    std::ifstream in(path.string());
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "keep me");
}

TEST_F(UserFileTest, CreateFileDoesNotFollowSymbolicLinks)
{
    const fs::path target = dir / "target";
    fs::create_symlink(target, dir / "link");
    cf_user_t user(by_name("nobody"));
    user.create_file(dir / "link", 0600);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(UserFileTest, CreateFileInMissingDirectoryThrowsOpen)
{
    cf_user_t user(by_name("nobody"));
    const fs::path path = dir / "missing" / "file";
    try {
        user.create_file(path, 0600);
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(ENOENT, boost::system::system_category()));
        EXPECT_EQ(e.path1(), path);
        EXPECT_EQ(std::string(exception_text(e)).rfind("open: ", 0), 0u) << exception_text(e);
        EXPECT_EQ(proto_error_code_of(e), qv::EC_NO_SUCH_ENTRY);
    }
}

TEST_F(UserFileTest, CreateFileForUidWithoutEntryKeepsTheFile)
{
    cf_user_t user(by_uid(uid_without_entry()));
    const fs::path path = dir / "orphan";
    EXPECT_THROW(user.create_file(path, 0600), std::runtime_error);
    EXPECT_TRUE(fs::is_regular_file(path));
}

TEST_F(UserFileTest, ChownGivesPathAwayAndLogs)
{
    const fs::path path = write_file(dir / "file", "x");
    cf_user_t user(by_name("nobody"));
    cf_log_threshold = CF_LOG_DEBUG;
    user.chown(path);
    const struct stat st = lstat_of(path);
    EXPECT_EQ(st.st_uid, nobody.uid);
    EXPECT_EQ(st.st_gid, nobody.gid);
    ASSERT_EQ(test_log().lines.size(), 1u);
    EXPECT_EQ(test_log().lines[0].first, CF_LOG_DEBUG);
    EXPECT_EQ(test_log().lines[0].second, "Ownership taken: " + quoted(path));

    // Above Debug nothing is logged.
    test_log().lines.clear();
    cf_log_threshold = CF_LOG_INFO;
    user.chown(path);
    EXPECT_TRUE(test_log().lines.empty());
}

TEST_F(UserFileTest, ChownOfMissingPathThrows)
{
    cf_user_t user(by_name("nobody"));
    try {
        user.chown(dir / "missing");
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(std::string(exception_text(e)).rfind("chown: ", 0), 0u) << exception_text(e);
    }
}

TEST_F(UserFileTest, TakeOwnershipOfRegularFileThrows)
{
    const fs::path path = write_file(dir / "plain", "x");
    cf_user_t user(by_name("nobody"));
    try {
        user.take_ownership(path);
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), qv::make_error_code(qv::EC_NOT_A_DIRECTORY));
        EXPECT_EQ(proto_error_code_of(e), qv::EC_NOT_A_DIRECTORY);
        EXPECT_EQ(std::string(exception_text(e)).rfind("take_ownership: ", 0), 0u)
            << exception_text(e);
    }
    EXPECT_EQ(lstat_of(path).st_uid, 0u);

    try {
        user.take_ownership(dir / "missing");
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(std::string(exception_text(e)).rfind("lstat: ", 0), 0u) << exception_text(e);
    }
}

TEST_F(UserFileTest, TakeOwnershipOfTree)
{
    const fs::path tree = dir / "tree";
    fs::create_directories(tree / "sub" / "deeper");
    write_file(tree / "a", "a");
    write_file(tree / "sub" / "b", "b");
    write_file(tree / "sub" / "deeper" / "c", "c");
    const fs::path outside = write_file(dir / "outside", "not mine");
    fs::create_symlink(outside, tree / "link");
    fs::create_symlink(dir, tree / "dirlink");
    ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0600), 0);

    cf_user_t user(by_name("nobody"));
    user.take_ownership(tree);

    for (const fs::path& path : {tree, tree / "a", tree / "sub", tree / "sub" / "b",
                                 tree / "sub" / "deeper", tree / "sub" / "deeper" / "c"}) {
        const struct stat st = lstat_of(path);
        EXPECT_EQ(st.st_uid, nobody.uid) << path;
        EXPECT_EQ(st.st_gid, nobody.gid) << path;
    }
    // Links, their targets and special files stay as they were.
    for (const fs::path& path : {tree / "link", tree / "dirlink", tree / "fifo", outside, dir}) {
        const struct stat st = lstat_of(path);
        EXPECT_EQ(st.st_uid, 0u) << path;
        EXPECT_EQ(st.st_gid, 0u) << path;
    }
}

TEST_F(UserFileTest, TakeOwnershipSkipsWhatAlreadyMatches)
{
    const fs::path tree = dir / "tree";
    fs::create_directories(tree);
    write_file(tree / "mine", "x");
    write_file(tree / "theirs", "y");
    cf_user_t user(by_name("nobody"));
    user.chown(tree / "mine");
    user.chown(tree);

    cf_log_threshold = CF_LOG_DEBUG;
    test_log().lines.clear();
    user.take_ownership(tree);
    ASSERT_EQ(test_log().lines.size(), 1u);
    EXPECT_EQ(test_log().lines[0].second, "Ownership taken: " + quoted(tree / "theirs"));
    EXPECT_EQ(lstat_of(tree / "theirs").st_uid, nobody.uid);
}
