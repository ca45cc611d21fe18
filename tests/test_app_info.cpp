#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/algorithm/hex.hpp>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "cf_app_info.h"
#include "cf_errors.h"

namespace fs = boost::filesystem;

namespace {

class AppInfoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / fs::unique_path("app-info-%%%%-%%%%-%%%%");
        fs::create_directories(dir);
    }

    void TearDown() override
    {
        boost::system::error_code ec;
        fs::remove_all(dir, ec);
    }

    fs::path write_file(const std::string& name, const std::string& content)
    {
        fs::path path = dir / name;
        std::ofstream out(path.string(), std::ios::binary);
        out << content;
        out.close();
        EXPECT_TRUE(out) << path;
        return path;
    }

    fs::path dir;
};

std::string hex(const std::string& raw)
{
    std::string text = boost::algorithm::hex(raw);
    boost::algorithm::to_lower(text);
    return text;
}

// The digest as md5sum prints it, from a process of its own.
std::string md5sum_of(const fs::path& path)
{
    std::string command = "md5sum '" + path.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("popen md5sum");
    char buffer[33] = {};
    size_t n = ::fread(buffer, 1, 32, pipe);
    int status = ::pclose(pipe);
    if (n != 32 || status != 0)
        throw std::runtime_error("md5sum failed");
    return std::string(buffer, 32);
}

uid_t uid_without_entry()
{
    for (uid_t uid = 54321; uid < 60000; ++uid) {
        if (!::getpwuid(uid))
            return uid;
    }
    throw std::runtime_error("every candidate uid has a passwd entry");
}

std::string pattern(size_t size)
{
    std::string content;
    content.reserve(size);
    for (size_t i = 0; i < size; ++i)
        content += static_cast<char>((i * 7 + i / 251) & 0xFF);
    return content;
}

std::string quoted(const fs::path& path)
{
    std::ostringstream out;
    out << path;
    return out.str();
}

} // namespace

TEST_F(AppInfoTest, DescribesRealFile)
{
    const fs::path path = write_file("exe", pattern(12345));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);

    const qv::AppExeInfo info = make_exe_info("1.2.3", path);
    ASSERT_TRUE(info.has_version() && info.has_install_time() && info.has_modification_time() &&
                info.has_exe_size() && info.has_exe_md5() && info.has_exe_owner());
    EXPECT_EQ(info.version(), "1.2.3");
    EXPECT_EQ(info.exe_size(), 12345u);
    EXPECT_EQ(info.install_time(), static_cast<uint64_t>(st.st_ctime));
    EXPECT_EQ(info.modification_time(), static_cast<uint64_t>(st.st_mtime));
    EXPECT_EQ(info.exe_md5().size(), 16u);
    EXPECT_EQ(hex(info.exe_md5()), md5sum_of(path));
    const struct passwd* owner = ::getpwuid(st.st_uid);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(info.exe_owner(), owner->pw_name);
}

TEST_F(AppInfoTest, TimesFollowTheFile)
{
    const fs::path path = write_file("exe", "x");
    const struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const qv::AppExeInfo info = make_exe_info("v", path);
    EXPECT_EQ(info.modification_time(), 1600000000u);
    EXPECT_GE(info.install_time(), 1600000000u);  // the change time is now
}

TEST_F(AppInfoTest, OwnerWithoutPasswdEntryIsTheNumber)
{
    ASSERT_EQ(::geteuid(), 0u) << "needs root to give the file away";
    const fs::path path = write_file("exe", "data");
    const uid_t uid = uid_without_entry();
    ASSERT_EQ(::chown(path.c_str(), uid, 0), 0);
    EXPECT_EQ(make_exe_info("v", path).exe_owner(), std::to_string(uid));
}

TEST_F(AppInfoTest, SymbolicLinkDescribesItsTarget)
{
    const fs::path path = write_file("exe", pattern(100));
    fs::create_symlink(path, dir / "link");
    const qv::AppExeInfo info = make_exe_info("v", dir / "link");
    EXPECT_EQ(info.exe_size(), 100u);
    EXPECT_EQ(hex(info.exe_md5()), md5sum_of(path));
}

TEST_F(AppInfoTest, DirectoryIsNotARegularFile)
{
    fs::create_symlink(dir, dir / "dirlink");
    for (const fs::path& path : {dir, dir / "dirlink"}) {
        try {
            make_exe_info("v", path);
            ADD_FAILURE() << "no exception for " << path;
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), qv::make_error_code(qv::EC_NOT_A_REGULAR_FILE));
            EXPECT_EQ(proto_error_code_of(e), qv::EC_NOT_A_REGULAR_FILE);
        }
    }
}

TEST_F(AppInfoTest, MissingFileGivesStatError)
{
    const fs::path missing = dir / "missing";
    try {
        make_exe_info("v", missing);
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(ENOENT, boost::system::system_category()));
        EXPECT_EQ(e.path1(), missing);
        EXPECT_EQ(std::string(exception_text(e)).rfind("stat: ", 0), 0u) << exception_text(e);
    }

    // A path through a regular file fails for its own reason.
    const fs::path through = write_file("plain", "x") / "exe";
    try {
        make_exe_info("v", through);
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(ENOTDIR, boost::system::system_category()));
        EXPECT_EQ(e.path1(), through);
    }
}

TEST_F(AppInfoTest, ExeInfoOfArguments)
{
    try {
        exe_info_of("v", 0, nullptr);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unknown exe path");
    }

    const fs::path path = write_file("exe", pattern(9000));
    std::string arg0 = path.string();
    char* argv[] = {&arg0[0], nullptr};
    const qv::AppExeInfo info = exe_info_of("9.9", 1, argv);
    EXPECT_EQ(info.version(), "9.9");
    EXPECT_EQ(info.exe_size(), 9000u);
    EXPECT_EQ(hex(info.exe_md5()), md5sum_of(path));
}

TEST_F(AppInfoTest, FileMd5)
{
    EXPECT_EQ(hex(file_md5(write_file("empty", ""))), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hex(file_md5(write_file("abc", "abc"))), "900150983cd24fb0d6963f7d28e17f72");
    // Block boundaries of the reader.
    for (size_t size : {8191u, 8192u, 8193u, 16384u, 100000u}) {
        const fs::path path = write_file("big" + std::to_string(size), pattern(size));
        EXPECT_EQ(hex(file_md5(path)), md5sum_of(path)) << size;
    }
}

TEST_F(AppInfoTest, FileMd5OfMissingFile)
{
    const fs::path path = dir / "no \"such\" file";
    try {
        file_md5(path);
        FAIL() << "no exception";
    } catch (const cf_proto_exception_t& e) {
        EXPECT_EQ(e.code, qv::EC_NO_SUCH_ENTRY);
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("MD5: ", 0), 0u) << text;
        EXPECT_NE(text.find("open"), std::string::npos) << text;
        const std::string tail = ": " + quoted(path);
        ASSERT_GE(text.size(), tail.size());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    }
}

TEST_F(AppInfoTest, FileMd5OfDirectoryFailsToRead)
{
    try {
        file_md5(dir);
        FAIL() << "no exception";
    } catch (const cf_proto_exception_t& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("MD5: read: ", 0), 0u) << text;
        EXPECT_EQ(e.code, qv::EC_UNEXPECTED_ERROR);
    }
}

TEST_F(AppInfoTest, FileSha256)
{
    EXPECT_EQ(hex(file_sha256(write_file("abc", "abc").string())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(file_sha256(write_file("empty", "").string())),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    try {
        file_sha256((dir / "missing").string());
        FAIL() << "no exception";
    } catch (const cf_proto_exception_t& e) {
        EXPECT_EQ(e.code, qv::EC_NO_SUCH_ENTRY);
        EXPECT_EQ(std::string(e.what()).rfind("SHA256: ", 0), 0u) << e.what();
    }
}

TEST(ComputePassword, HmacSha256Base64)
{
    // Digests from RFC 4231 and an independent HMAC implementation.
    EXPECT_EQ(compute_password("Jefe", "what do ya want for nothing?"), "W9zBRr9g");
    EXPECT_EQ(compute_password("key", ""), "XV0TlWPJ");
    EXPECT_EQ(compute_password("", ""), "thNnmggU");
}

TEST(PrintJson, FullRecord)
{
    qv::AppExeInfo info;
    info.set_version("1.0.0");
    info.set_install_time(1700000000);
    info.set_modification_time(18446744073709551615ull);
    info.set_exe_size(12345);
    info.set_exe_md5(std::string("\x00\x01\x02\xFF\xFE", 5));
    info.set_exe_owner("root");
    std::ostringstream out;
    std::ostream& returned = print_json(out, info);
    EXPECT_EQ(&returned, &out);
    EXPECT_EQ(out.str(),
              "{\"version\":\"1.0.0\",\"installTime\":\"1700000000\","
              "\"modificationTime\":\"18446744073709551615\",\"exeSize\":\"12345\","
              "\"exeMd5\":\"AAEC//4=\",\"exeOwner\":\"cm9vdA==\"}");
}

TEST(PrintJson, AbsentFieldsAreLeftOut)
{
    std::ostringstream out;
    print_json(out, qv::AppExeInfo::default_instance());
    EXPECT_EQ(out.str(), "{}");

    qv::AppExeInfo info;
    info.set_exe_size(0);
    std::ostringstream one;
    print_json(one, info);
    EXPECT_EQ(one.str(), "{\"exeSize\":\"0\"}");
}

TEST_F(AppInfoTest, PrintJsonOfRealFile)
{
    const fs::path path = write_file("exe", "abc");
    std::ostringstream out;
    print_json(out, make_exe_info("1.0.0", path));
    const std::string json = out.str();
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_NE(json.find("\"exeSize\":\"3\""), std::string::npos) << json;
    // 900150983cd24fb0d6963f7d28e17f72 in base64.
    EXPECT_NE(json.find("\"exeMd5\":\"kAFQmDzST7DWlj99KOF/cg==\""), std::string::npos) << json;
}
