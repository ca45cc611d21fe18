// The load benchmark's bare peer over its socket: the exact answers in order
// through partial writes, a bound on the output it holds, and reading on
// while its answers wait for the client.
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bare_peer.h"
#include "bench_common.h"
#include "trawld_client_ipc.pb.h"

namespace {

// The peer in a child process, answering lookups with `fields`.
class peer_process_t {
public:
    explicit peer_process_t(const std::string& fields) : path(dir.file("bare.sock"))
    {
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            run_bare_peer(path, fields);
        }
    }
    ~peer_process_t()
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    peer_process_t(const peer_process_t&) = delete;
    peer_process_t& operator=(const peer_process_t&) = delete;

    // A non-blocking connection; -1 when the peer does not listen.
    int connect() const
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        for (int attempt = 0; attempt < 500; ++attempt) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
                return fd;
            }
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    bench::bench_dir_t dir;
    std::string path;
    pid_t pid = -1;
};

struct peer_case_t {
    const char* name;
    int entries;        // values of a lookup answer
    size_t padding;     // request bytes besides kind and serial
    uint64_t cap;       // requests sent at most: far more than the limit lets in
};

void PrintTo(const peer_case_t& row, std::ostream* out)
{
    *out << row.name;
}

// Request i carries serial first_serial + i (wrapping, so that serials of
// every varint length occur); every eighth is a check, the rest lookups.
constexpr uint32_t first_serial = 0xffffff00u;

class exchange_t {
public:
    exchange_t(int entries, size_t padding) : padding(padding)
    {
        for (int i = 0; i < entries; ++i) {
            char value[64];
            std::snprintf(value, sizeof value, "entry-%05d-%040d", i, i);
            lookup.add_data(value);
        }
        fields = lookup.SerializePartialAsString();
        lookup.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
        check.set_tag(lp::ServerMessage::CHECK_RESPONSE);
        check.set_result(false);
    }

    static bool is_check(uint64_t i) { return i % 8 == 7; }

    std::string request(uint64_t i) const
    {
        lp::ClientMessage message;
        message.set_tag(is_check(i) ? lp::ClientMessage::CHECK_REQUEST : lp::ClientMessage::LOOKUP_REQUEST);
        message.set_serial(static_cast<uint32_t>(first_serial + i));
        message.set_lookup_type(lp::LOOKUP_ALLMATCH);
        message.set_lookup_tag(std::string(padding, 't'));
        if (is_check(i))
            message.set_check("value");
        return bench::frame_of(message);
    }

    // The frame the daemon would send.
    std::string answer(uint64_t i)
    {
        lp::ServerMessage& message = is_check(i) ? check : lookup;
        message.set_serial(static_cast<uint32_t>(first_serial + i));
        std::string body = message.SerializeAsString();
        const uint32_t length = static_cast<uint32_t>(body.size());
        return std::string(reinterpret_cast<const char*>(&length), 4) + body;
    }

    std::string fields;  // of a lookup answer after its tag and serial

private:
    size_t padding;
    lp::ServerMessage lookup, check;
};

// Compares the bytes received with the answers to requests 0, 1, ...
class answer_reader_t {
public:
    explicit answer_reader_t(exchange_t& exchange) : exchange(exchange) {}

    // Reads what the socket holds; false, with the reason, for bytes that
    // are not the next answers or a closed connection.
    bool read_from(int fd, std::string& failure)
    {
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n <= 0) {
            failure = "the peer closed the connection";
            return false;
        }
        pending.append(chunk, static_cast<size_t>(n));
        size_t at = 0;
        for (;;) {
            if (expected.empty())
                expected = exchange.answer(answers);
            if (pending.size() - at < expected.size())
                break;
            if (pending.compare(at, expected.size(), expected) != 0) {
                failure = "answer " + std::to_string(answers) + " differs from the daemon's bytes";
                return false;
            }
            at += expected.size();
            expected.clear();
            ++answers;
        }
        pending.erase(0, at);
        return true;
    }

    uint64_t answers = 0;  // complete and right
    std::string pending;   // bytes of the next answer

private:
    exchange_t& exchange;
    std::string expected;
};

// Sends requests 0, 1, ... as they are queued.
class request_writer_t {
public:
    explicit request_writer_t(const exchange_t& exchange) : exchange(exchange) {}

    void queue(uint64_t count)
    {
        for (uint64_t i = 0; i < count; ++i)
            out += exchange.request(queued++);
    }
    // Writes what the socket takes; false on an error.
    bool write_to(int fd)
    {
        if (!bench::write_pending(fd, out.data(), out.size(), written))
            return false;
        if (written == out.size()) {
            out.clear();
            written = 0;
        }
        return true;
    }
    bool done() const { return written == out.size(); }

    uint64_t queued = 0;

private:
    const exchange_t& exchange;
    std::string out;
    size_t written = 0;
};

// Reads until `count` answers have come, writing what is still queued.
void expect_answers(int fd, request_writer_t& writer, answer_reader_t& reader, uint64_t count)
{
    std::string failure;
    while (reader.answers < count) {
        pollfd watched {fd, static_cast<short>(POLLIN | (writer.done() ? 0 : POLLOUT)), 0};
        ASSERT_EQ(::poll(&watched, 1, 10000), 1) << "answer " << reader.answers << " of " << count << " not come";
        if (watched.revents & POLLOUT) {
            ASSERT_TRUE(writer.write_to(fd));
        }
        if (watched.revents & (POLLIN | POLLHUP | POLLERR)) {
            ASSERT_TRUE(reader.read_from(fd, failure)) << failure;
        }
    }
    EXPECT_EQ(reader.answers, count);
    EXPECT_TRUE(reader.pending.empty()) << "bytes after the last answer";
}

class BenchPeerCase : public ::testing::TestWithParam<peer_case_t> {};

// The client sends without reading until the peer stops taking requests,
// then reads: the peer must have stopped (its output at the limit) and then
// answer every request, those it held back included, with the daemon's
// bytes in order.
TEST_P(BenchPeerCase, HoldsBoundedOutputAndAnswersEveryRequestInOrder)
{
    const peer_case_t& row = GetParam();
    exchange_t exchange(row.entries, row.padding);
    peer_process_t peer(exchange.fields);
    const int fd = peer.connect();
    ASSERT_GE(fd, 0);
    request_writer_t writer(exchange);
    answer_reader_t reader(exchange);
    bool stalled = false;
    while (!stalled && (writer.queued < row.cap || !writer.done())) {
        if (writer.done())
            writer.queue(std::min<uint64_t>(256, row.cap - writer.queued));
        ASSERT_TRUE(writer.write_to(fd));
        pollfd watched {fd, POLLOUT, 0};
        stalled = !writer.done() && ::poll(&watched, 1, 500) == 0;
    }
    ASSERT_TRUE(stalled) << "the peer took all " << writer.queued << " requests while not one answer was read";
    expect_answers(fd, writer, reader, writer.queued);
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BenchPeerCase,
    ::testing::Values(
        // Lookup fields copied into every answer; small requests.
        peer_case_t {"copied", 2, 0, 1000000},
        // Fields of about 70 KB written from their one copy, in pieces that
        // the socket cuts anywhere; requests padded so that fewer fit in the
        // socket.
        peer_case_t {"shared", 1300, 512, 20000}),
    [](const ::testing::TestParamInfo<peer_case_t>& info) { return std::string(info.param.name); });

// Bytes the client has sent that the peer has not read yet.
int unread_by_peer(int fd)
{
    int bytes = -1;
    return ::ioctl(fd, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

bool peer_reads_all(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (unread_by_peer(fd) != 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// While answers of many times what the socket holds wait for the client,
// requests that come later are still read, as long as the output is under
// the limit.
TEST(BenchPeer, ReadsOnWhileItsAnswersWait)
{
    exchange_t exchange(3500, 0);
    const size_t answer_size = exchange.answer(0).size();
    const uint64_t batch = bare_peer_output_limit / answer_size / 4;
    ASSERT_GE(batch * answer_size, 2u * 1024 * 1024);  // ten times what the socket holds
    peer_process_t peer(exchange.fields);
    const int fd = peer.connect();
    ASSERT_GE(fd, 0);
    request_writer_t writer(exchange);
    answer_reader_t reader(exchange);
    for (int round = 0; round < 2; ++round) {
        writer.queue(batch);
        ASSERT_TRUE(writer.write_to(fd));
        ASSERT_TRUE(writer.done());
        EXPECT_TRUE(peer_reads_all(fd)) << "requests of round " << round << " left unread";
    }
    expect_answers(fd, writer, reader, writer.queued);
    ::close(fd);
}

} // namespace
