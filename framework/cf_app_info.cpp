#include "cf_app_info.h"

#include <cerrno>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/util/json_util.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "cf_errors.h"

namespace {

const size_t digest_block_size = 8192;

struct fd_guard_t {
    int fd;
    ~fd_guard_t()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct md_ctx_deleter_t {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string quoted(const boost::filesystem::path& path)
{
    std::ostringstream out;
    out << path;
    return out.str();
}

std::string digest_of_file(const EVP_MD* md, const boost::filesystem::path& path)
{
    fd_guard_t file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        throw boost::system::system_error(errno, boost::system::system_category(), "open");

    std::unique_ptr<EVP_MD_CTX, md_ctx_deleter_t> ctx(EVP_MD_CTX_new());
    if (!ctx)
        throw std::bad_alloc();
    if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
        throw boost::system::system_error(qv::EC_UNEXPECTED_ERROR, "digest");

    std::vector<unsigned char> block(digest_block_size);
    for (;;) {
        ssize_t n = ::read(file.fd, block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw boost::system::system_error(errno, boost::system::system_category(), "read");
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n)) != 1)
            throw boost::system::system_error(qv::EC_UNEXPECTED_ERROR, "digest");
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        throw boost::system::system_error(qv::EC_UNEXPECTED_ERROR, "digest");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string file_digest(const EVP_MD* md, const char* prefix, const boost::filesystem::path& path)
{
    try {
        return digest_of_file(md, path);
    } catch (const std::exception& e) {
        throw cf_proto_exception_t(proto_error_code_of(e),
                                   std::string(prefix) + exception_text(e) + ": " + quoted(path));
    }
}

std::string owner_name(uid_t uid)
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size == -1 ? 16384 : static_cast<size_t>(size));
    struct passwd entry;
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

} // namespace

qv::AppExeInfo exe_info_of(const char* version, int argc, char** argv)
{
    if (argc > 0)
        return make_exe_info(version, argv[0]);
    throw std::runtime_error("Unknown exe path");
}

qv::AppExeInfo make_exe_info(const char* version, const boost::filesystem::path& executable)
{
    // When the path cannot be made canonical, stat it as given so that the
    // error names the file and carries the real cause.
    boost::system::error_code ec;
    boost::filesystem::path canonical = boost::filesystem::canonical(executable, ec);
    if (ec)
        canonical = executable;

    struct stat st;
    if (::stat(canonical.c_str(), &st) != 0)
        throw boost::filesystem::filesystem_error(
            "stat", canonical, boost::system::error_code(errno, boost::system::system_category()));
    if (!S_ISREG(st.st_mode))
        throw boost::system::system_error(qv::EC_NOT_A_REGULAR_FILE);

    std::string md5 = file_md5(executable);
    std::string owner = owner_name(st.st_uid);

    qv::AppExeInfo info;
    info.set_version(version ? version : "");
    info.set_install_time(static_cast<uint64_t>(st.st_ctime));
    info.set_modification_time(static_cast<uint64_t>(st.st_mtime));
    info.set_exe_size(static_cast<uint64_t>(st.st_size));
    info.set_exe_md5(md5);
    info.set_exe_owner(owner);
    return info;
}

std::ostream& print_json(std::ostream& out, const google::protobuf::Message& message)
{
    std::string json;
    bool converted = false;
    try {
        converted = google::protobuf::util::MessageToJsonString(message, &json).ok();
    } catch (const std::exception&) {
    }
    if (!converted) {
        // Never leave the caller with a partial object.
        json.clear();
        google::protobuf::util::MessageToJsonString(qv::AppExeInfo::default_instance(), &json);
    }
    return out << json;
}

std::string file_md5(const boost::filesystem::path& path)
{
    return file_digest(EVP_md5(), "MD5: ", path);
}

std::string file_sha256(const std::string& path)
{
    return file_digest(EVP_sha256(), "SHA256: ", boost::filesystem::path(path));
}

std::string compute_password(const std::string& key, const std::string& message)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
              &length))
        throw boost::system::system_error(qv::EC_UNEXPECTED_ERROR, "Cannot compute password");

    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned int take = length < 8 ? length : 8;
    std::string encoded;
    unsigned int bits = 0;
    int pending = 0;
    for (unsigned int i = 0; i < take; ++i) {
        bits = (bits << 8) | digest[i];
        pending += 8;
        while (pending >= 6) {
            pending -= 6;
            encoded += alphabet[(bits >> pending) & 0x3F];
        }
    }
    if (pending > 0)
        encoded += alphabet[(bits << (6 - pending)) & 0x3F];
    if (encoded.size() > 8)
        encoded.resize(8);
    return encoded;
}
