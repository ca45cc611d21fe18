// The message link over a real socket pair.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "cf_ipc_link.h"
#include "trawld_client_ipc.pb.h"

// ---------------------------------------------------------------------------
// Global allocation observation: a counter of operator new calls while
// counting is on, and snapshots of watched blocks taken just before they are
// freed (to see whether a block was wiped before release).

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

struct watch_t {
    const void* block = nullptr;
    size_t length = 0;
    unsigned char snapshot[4096] = {};
    bool seen = false;
};
watch_t g_watches[2];

void note_release(void* p) noexcept
{
    if (!p)
        return;
    for (auto& w : g_watches) {
        if (w.block == p && !w.seen) {
            std::memcpy(w.snapshot, p, w.length);
            w.seen = true;
        }
    }
}

void watch(int slot, const void* block, size_t length)
{
    ASSERT_LE(length, sizeof g_watches[slot].snapshot);
    g_watches[slot].block = block;
    g_watches[slot].length = length;
    g_watches[slot].seen = false;
}

std::string snapshot(int slot)
{
    const auto& w = g_watches[slot];
    EXPECT_TRUE(w.seen) << "watched block was not freed";
    return std::string(reinterpret_cast<const char*>(w.snapshot), w.seen ? w.length : 0);
}

void clear_watches()
{
    for (auto& w : g_watches)
        w = watch_t{};
}

} // namespace

void* operator new(std::size_t size)
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept
{
    note_release(p);
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    note_release(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    note_release(p);
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    note_release(p);
    std::free(p);
}

namespace {

using namespace std::chrono_literals;
using boost::system::error_code;

std::string header(uint32_t length)
{
    return std::string(reinterpret_cast<const char*>(&length), 4);
}

std::string frame(const std::string& body)
{
    return header(static_cast<uint32_t>(body.size())) + body;
}

std::string frame(const google::protobuf::Message& m)
{
    return frame(m.SerializeAsString());
}

// A response whose serialised size is exactly `size` bytes.
lp::ServerMessage message_of_size(size_t size, uint32_t serial, char fill = 'x')
{
    lp::ServerMessage m;
    m.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);
    m.set_serial(serial);
    const size_t fixed = m.ByteSizeLong() + 2; // data field tag and a one-byte length
    size_t payload = size > fixed ? size - fixed : 0;
    std::string* data = m.add_data();
    data->assign(payload, fill);
    while (m.ByteSizeLong() > size && payload > 0) {
        payload -= m.ByteSizeLong() - size;
        data->assign(payload, fill);
    }
    EXPECT_EQ(m.ByteSizeLong(), size);
    return m;
}

// Splits a byte stream into frame bodies; the stream must end on a frame boundary.
std::vector<std::string> bodies_of(const std::string& stream)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at + 4 <= stream.size()) {
        uint32_t length;
        std::memcpy(&length, stream.data() + at, 4);
        if (at + 4 + length > stream.size())
            break;
        out.push_back(stream.substr(at + 4, length));
        at += 4 + length;
    }
    EXPECT_EQ(at, stream.size()) << "stream does not end on a frame boundary";
    return out;
}

std::string read_all(google::protobuf::io::ZeroCopyInputStream& in)
{
    std::string out;
    const void* chunk;
    int n;
    while (in.Next(&chunk, &n))
        out.append(static_cast<const char*>(chunk), static_cast<size_t>(n));
    return out;
}

// A link that records what happens to it; actions may be attached to the
// message and error handlers.
class test_link_t : public std::enable_shared_from_this<test_link_t>, public cf_unix_ipc_link_t {
public:
    static std::shared_ptr<test_link_t> create(
        std::shared_ptr<cf_unix_socket_t> s, size_t max = CF_IPC_MAX_MESSAGE_SIZE)
    {
        std::shared_ptr<test_link_t> link(new test_link_t(max));
        link->socket = std::move(s);
        return link;
    }

    using cf_unix_ipc_link_t::read_buffer;
    using cf_unix_ipc_link_t::send_buffer;
    using cf_unix_ipc_link_t::stop_reading;
    using cf_unix_ipc_link_t::send_buffer_secure;
    using cf_unix_ipc_link_t::socket;
    using cf_unix_ipc_link_t::write_buffer;
    using cf_unix_ipc_link_t::write_buffer_secure;

    std::vector<std::string> messages;
    std::vector<std::chrono::steady_clock::time_point> read_times;  // read_time() at each message
    std::vector<error_code> errors;
    int input_ends = 0;
    int write_starts = 0;
    int write_completes = 0;
    int all_sent = 0;
    std::vector<size_t> batches;  // write_buffer.size at each write start
    std::string last_written;     // the batch's bytes as left after its write
    std::function<void(test_link_t&)> message_action;
    std::function<void(test_link_t&)> error_action;

protected:
    explicit test_link_t(size_t max) : cf_unix_ipc_link_t(max) {}

    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override
    {
        messages.push_back(read_all(body));
        read_times.push_back(read_time());
        if (message_action)
            message_action(*this);
    }
    void on_error(const error_code& ec) override
    {
        errors.push_back(ec);
        if (error_action)
            error_action(*this);
    }
    void on_input_end() override { ++input_ends; }
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }
    void on_write_start() override
    {
        ++write_starts;
        batches.push_back(write_buffer.size);
    }
    void on_write_complete() override
    {
        ++write_completes;
        EXPECT_EQ(write_buffer.size, 0u);
        last_written.assign(reinterpret_cast<const char*>(write_buffer.data.get()), batches.back());
    }
    void on_all_sent() override { ++all_sent; }
};

const error_code bad_size = qv::make_error_code(qv::EC_BAD_MESSAGE_SIZE);

class IpcLink : public ::testing::Test {
protected:
    IpcLink() : peer(ioc) { reconnect(); }

    // A new link over a new socket pair, its other end in peer.
    void reconnect()
    {
        auto near = std::make_shared<cf_unix_socket_t>(ioc);
        peer = cf_unix_socket_t(ioc);
        boost::asio::local::connect_pair(*near, peer);
        link = test_link_t::create(near);
    }
    ~IpcLink() override { clear_watches(); }

    // Runs the loop until pred holds; false on timeout or when the loop ran out of work first.
    bool run_until(const std::function<bool()>& pred, std::chrono::seconds timeout = 60s)
    {
        ioc.restart();
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!pred()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return false;
            if (ioc.run_one_for(deadline - now) == 0 && ioc.stopped())
                return pred();
        }
        return true;
    }

    // Runs the loop until it has no pending operation left; false on timeout.
    bool run_to_idle(std::chrono::seconds timeout = 20s)
    {
        ioc.restart();
        ioc.run_for(timeout);
        return ioc.stopped();
    }

    void peer_write(const std::string& bytes) { boost::asio::write(peer, boost::asio::buffer(bytes)); }

    std::string peer_read_available()
    {
        std::string out(peer.available(), '\0');
        boost::asio::read(peer, boost::asio::buffer(&out[0], out.size()));
        return out;
    }

    // Starts a write that stays in flight: far more than the socket buffer
    // holds, and the peer does not read.
    void start_pending_write()
    {
        link->async_send_message(message_of_size(8 * 1024 * 1024, 99));
        ASSERT_EQ(link->write_starts, 1);
    }

    boost::asio::io_context ioc;
    cf_unix_socket_t peer;
    std::shared_ptr<test_link_t> link;
};

// ---------------------------------------------------------------------------
// Buffer

TEST(IpcBuffer, GrowsByHalfAndNeverShrinks)
{
    struct step_t {
        size_t new_size;
        size_t capacity;
    };
    const step_t steps[] = {
        {10, 10},   // an empty buffer gets exactly what it needs
        {11, 15},   // 10 * 1.5
        {15, 15},   // fits: no new allocation
        {16, 22},   // 15 * 1.5 = 22.5, truncated
        {100, 100}, // more than 1.5 times: exactly the new size
        {0, 100},   // never shrinks
        {101, 150},
    };
    cf_ipc_buffer_t b;
    EXPECT_EQ(b.data, nullptr);
    for (const auto& s : steps) {
        const uint8_t* before = b.data.get();
        const size_t old_capacity = b.capacity;
        b.resize(s.new_size, CF_BUFFER_KEEP);
        EXPECT_EQ(b.size, s.new_size);
        EXPECT_EQ(b.capacity, s.capacity) << "resize to " << s.new_size;
        if (s.capacity == old_capacity) {
            EXPECT_EQ(b.data.get(), before) << "resize to " << s.new_size << " reallocated";
        }
        ASSERT_NE(b.data, nullptr);
    }
}

TEST(IpcBuffer, GrowthKeepsContentsAndWipesOnlyWhenSecure)
{
    struct case_t {
        cf_buffer_mode_t mode;
        bool old_wiped;
        bool kept;
    };
    const case_t cases[] = {
        {CF_BUFFER_KEEP, false, true},
        {CF_BUFFER_SECURE, true, true},
        {CF_BUFFER_DISCARD, false, false},
    };
    const std::string old_bytes(10, '\xab');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        cf_ipc_buffer_t b;
        b.resize(10, CF_BUFFER_KEEP);
        std::memcpy(b.data.get(), old_bytes.data(), 10);
        watch(0, b.data.get(), 10);
        b.resize(40, c.mode);
        EXPECT_EQ(snapshot(0), c.old_wiped ? std::string(10, '\0') : old_bytes);
        if (c.kept) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data.get()), 10), old_bytes);
        }
        clear_watches();
    }
}

TEST(IpcBuffer, SecureShrinkWipesReleasedTailAndCleanseWipesSizeBytes)
{
    const std::string bytes = "0123456789";
    for (cf_buffer_mode_t mode : {CF_BUFFER_KEEP, CF_BUFFER_SECURE}) {
        SCOPED_TRACE(mode);
        cf_ipc_buffer_t b;
        b.resize(10, CF_BUFFER_KEEP);
        std::memcpy(b.data.get(), bytes.data(), 10);
        const uint8_t* before = b.data.get();
        b.resize(4, mode);
        EXPECT_EQ(b.data.get(), before);
        EXPECT_EQ(b.capacity, 10u);
        const std::string all(reinterpret_cast<char*>(b.data.get()), 10);
        EXPECT_EQ(all, mode == CF_BUFFER_SECURE ? std::string("0123") + std::string(6, '\0') : bytes);
    }

    cf_ipc_buffer_t b;
    b.cleanse(); // nothing allocated: nothing to do
    b.resize(10, CF_BUFFER_KEEP);
    std::memcpy(b.data.get(), bytes.data(), 10);
    b.resize(6, CF_BUFFER_KEEP);
    b.cleanse();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data.get()), 10), std::string(6, '\0') + "6789");
}

// ---------------------------------------------------------------------------
// Reading

TEST_F(IpcLink, TwoFramesInOneSegmentAreTwoMessagesInOrder)
{
    EXPECT_FALSE(test_link_t::create(nullptr)->is_open());
    EXPECT_TRUE(link->is_open());
    link->start_read();
    const std::string a("first\0body", 10), b = "second";
    peer_write(frame(a) + frame(b));
    ASSERT_TRUE(run_until([&] { return link->messages.size() == 2; }));
    EXPECT_EQ(link->messages, (std::vector<std::string>{a, b}));
    EXPECT_TRUE(link->errors.empty());
}

TEST_F(IpcLink, SplitFramesAreDeliveredOnceWhole)
{
    link->start_read();
    std::string a;
    for (int i = 0; i < 300; ++i)
        a.push_back(static_cast<char>(i)); // zero bytes included
    const std::string b = "tail";
    const std::string stream = frame(a) + frame(b);
    const size_t a_end = 4 + a.size();
    size_t expected_total = 0;
    for (size_t chunk : {1, 3, 7}) {
        SCOPED_TRACE(chunk);
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t end = std::min(stream.size(), at + chunk);
            peer_write(stream.substr(at, end - at));
            const size_t expected = expected_total + (end >= a_end) + (end == stream.size());
            if (expected != link->messages.size()) {
                ASSERT_TRUE(run_until([&] { return link->messages.size() == expected; }));
            }
            ioc.restart();
            while (ioc.poll() != 0) {
            }
            ASSERT_EQ(link->messages.size(), expected) << "after byte " << end;
        }
        expected_total += 2;
        EXPECT_EQ(link->messages[expected_total - 2], a);
        EXPECT_EQ(link->messages[expected_total - 1], b);
    }
    EXPECT_TRUE(link->errors.empty());
}

TEST_F(IpcLink, AnnouncedLengthReservesOnlyWhatArrived)
{
    link->start_read();
    std::string body(10 * 1024 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    const std::string stream = frame(body);
    peer_write(stream.substr(0, 1000));
    ASSERT_TRUE(run_until([&] { return link->read_buffer.size == 1000; }));
    EXPECT_LT(link->read_buffer.capacity, 256u * 1024);
    // The rest as the socket takes it: one message, whole, and the buffer
    // no larger than growth by half over what arrived.
    bool written = false;
    boost::asio::async_write(peer, boost::asio::buffer(stream.data() + 1000, stream.size() - 1000),
                             [&](const error_code& ec, size_t) { written = !ec; });
    ASSERT_TRUE(run_until([&] { return written && link->messages.size() == 1; }));
    EXPECT_TRUE(link->messages[0] == body);
    EXPECT_LE(link->read_buffer.capacity, body.size() * 3 / 2 + 64 * 1024);
    EXPECT_TRUE(link->errors.empty());
}

// With an unsent limit the link stops reading after the frame at which
// more than the limit waits to be written, and reads on, in order, once
// the writes have drained; without one it goes on reading.
TEST_F(IpcLink, UnsentLimitPausesReadingUntilOutputDrains)
{
    for (const size_t limit : {size_t(0), size_t(1024 * 1024)}) {
        SCOPED_TRACE(limit);
        reconnect();
        link->set_unsent_limit(limit);
        link->start_read();
        start_pending_write();  // 8 MiB that the peer does not read yet
        EXPECT_GT(link->unsent_bytes(), size_t(8 * 1024 * 1024));
        peer_write(frame("one") + frame("two") + frame("three"));
        ioc.restart();
        ioc.run_for(200ms);
        if (limit == 0) {
            EXPECT_EQ(link->messages.size(), 3u);
            EXPECT_FALSE(link->read_paused());
            continue;
        }
        EXPECT_EQ(link->messages, std::vector<std::string>{"one"});
        EXPECT_TRUE(link->read_paused());

        // The peer reads: the write completes and reading resumes.
        size_t drained = 0;
        ASSERT_TRUE(run_until([&] {
            drained += peer_read_available().size();
            return link->messages.size() == 3;
        }));
        EXPECT_EQ(link->messages, (std::vector<std::string>{"one", "two", "three"}));
        EXPECT_FALSE(link->read_paused());
        EXPECT_EQ(link->unsent_bytes(), 0u);
        EXPECT_TRUE(link->errors.empty());
    }
}

// A frame carries the time its read completed: the frames of one read share
// it, also those held back until output drained, and a later read's frame,
// completed by it, has that read's.
TEST_F(IpcLink, FramesCarryTheTimeTheirReadCompleted)
{
    using clock = std::chrono::steady_clock;
    link->set_unsent_limit(1024);
    link->start_read();
    start_pending_write();
    const std::string split = frame("three");
    const clock::time_point sent = clock::now();
    peer_write(frame("one") + frame("two") + split.substr(0, 6));
    ASSERT_TRUE(run_until([&] { return link->read_paused(); }));
    const clock::time_point delivered = clock::now();
    ASSERT_TRUE(run_until([&] {
        peer_read_available();
        return link->messages.size() == 2;
    }));
    const clock::time_point completed = clock::now();
    peer_write(split.substr(6));
    ASSERT_TRUE(run_until([&] { return link->messages.size() == 3; }));
    ASSERT_EQ(link->read_times.size(), 3u);
    EXPECT_GE(link->read_times[0], sent);
    EXPECT_LE(link->read_times[0], delivered);
    EXPECT_EQ(link->read_times[1], link->read_times[0]);
    EXPECT_GE(link->read_times[2], completed);
}

TEST_F(IpcLink, RefusedLengthsEndReadingWithoutTouchingTheBody)
{
    const std::string trailing = "never read";
    for (uint32_t length : {0u, static_cast<uint32_t>(CF_IPC_MAX_MESSAGE_SIZE + 1), 0xffffffffu}) {
        SCOPED_TRACE(length);
        reconnect();
        link->start_read();
        peer_write(header(length) + trailing);
        ASSERT_TRUE(run_to_idle()) << "a read is still pending";
        ASSERT_EQ(link->errors.size(), 1u);
        EXPECT_EQ(link->errors[0], bad_size);
        EXPECT_EQ(link->errors[0].value(), 7);
        EXPECT_EQ(&link->errors[0].category(), &qv::cf_proto_error_category());
        EXPECT_TRUE(link->messages.empty());
        EXPECT_EQ(link.use_count(), 1);
        // A valid frame afterwards is not read either.
        peer_write(frame("late"));
        ASSERT_TRUE(run_to_idle());
        EXPECT_TRUE(link->messages.empty());
        EXPECT_EQ(link->errors.size(), 1u);
    }
}

TEST_F(IpcLink, EndOfStreamIsReportedOnce)
{
    struct case_t {
        const char* name;
        std::string bytes;
        size_t messages;
    };
    const case_t cases[] = {
        {"after a whole frame", frame("last words"), 1},
        {"inside a header", std::string("\x05\x00", 2), 0},
        {"inside a body", header(10) + "abc", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reconnect();
        link->start_read();
        peer_write(c.bytes);
        peer.close();
        ASSERT_TRUE(run_to_idle());
        EXPECT_EQ(link->messages.size(), c.messages);
        ASSERT_EQ(link->errors.size(), 1u);
        EXPECT_EQ(link->errors[0], boost::asio::error::eof);
        EXPECT_EQ(link.use_count(), 1);
    }
}

// A peer that shut down only its sending side still reads: the link ends
// its input (no error) and what it sends afterwards arrives. A peer that
// closed its socket is an end of stream.
TEST_F(IpcLink, HalfCloseEndsInputAndLeavesThePeerReading)
{
    for (const bool half : {true, false}) {
        SCOPED_TRACE(half ? "shutdown of the sending side" : "close");
        reconnect();
        link->start_read();
        peer_write(frame("one") + frame("two") + header(9) + "part");
        if (half)
            peer.shutdown(boost::asio::socket_base::shutdown_send);
        else
            peer.close();
        ASSERT_TRUE(run_to_idle());
        EXPECT_EQ(link->messages, (std::vector<std::string>{"one", "two"}));
        EXPECT_EQ(link->input_ends, half ? 1 : 0);
        if (!half) {
            EXPECT_EQ(link->errors, std::vector<error_code>{boost::asio::error::eof});
            continue;
        }
        EXPECT_TRUE(link->errors.empty());
        EXPECT_EQ(link->read_buffer.size, 0u);
        EXPECT_EQ(link.use_count(), 1) << "a read is still pending";
        link->async_send_message(message_of_size(20, 1));
        ASSERT_TRUE(run_to_idle());
        EXPECT_EQ(bodies_of(peer_read_available()), std::vector<std::string>{message_of_size(20, 1).SerializeAsString()});
        EXPECT_TRUE(link->errors.empty());
    }
}

// After stop_reading inside on_message nothing further is delivered, not
// even frames already read, while the link still writes.
TEST_F(IpcLink, StopReadingDeliversNoFurtherFrame)
{
    link->message_action = [](test_link_t& l) {
        l.stop_reading();
        l.async_send_message(message_of_size(20, 1));
    };
    link->start_read();
    peer_write(frame("one") + frame("two") + frame("three"));
    ASSERT_TRUE(run_to_idle()) << "an operation survived";
    EXPECT_EQ(link->messages, std::vector<std::string>{"one"});
    EXPECT_TRUE(link->is_open());
    EXPECT_EQ(link->read_buffer.size, 0u);
    EXPECT_EQ(link.use_count(), 1);
    peer_write(frame("late"));
    ASSERT_TRUE(run_to_idle());
    EXPECT_EQ(link->messages, std::vector<std::string>{"one"});
    EXPECT_EQ(bodies_of(peer_read_available()), std::vector<std::string>{message_of_size(20, 1).SerializeAsString()});
    EXPECT_TRUE(link->errors.empty());
}

TEST_F(IpcLink, OnMessageMayReply)
{
    link->message_action = [](test_link_t& l) {
        l.async_send_message(message_of_size(20, static_cast<uint32_t>(l.messages.size())));
    };
    link->start_read();
    peer_write(frame("one") + frame("two") + frame("three"));
    const size_t expected = 3 * (4 + 20);
    ASSERT_TRUE(run_until([&] { return peer.available() >= expected; }));
    const auto bodies = bodies_of(peer_read_available());
    ASSERT_EQ(bodies.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(bodies[i], message_of_size(20, i + 1).SerializeAsString());
    EXPECT_EQ(link->messages.size(), 3u);
    EXPECT_TRUE(link->errors.empty());
}

TEST_F(IpcLink, ExceptionFromOnMessageLeavesTheLoopAndEndsReading)
{
    link->message_action = [](test_link_t&) { throw std::runtime_error("owner failed"); };
    link->start_read();
    const std::string second = frame("second");
    peer_write(frame("first") + second);
    ioc.restart();
    EXPECT_THROW(ioc.run_for(20s), std::runtime_error);
    ASSERT_TRUE(run_to_idle());
    EXPECT_EQ(link->messages, std::vector<std::string>{"first"});
    EXPECT_EQ(link.use_count(), 1);
    // Nothing further is read or delivered.
    peer_write(frame("late"));
    ASSERT_TRUE(run_to_idle());
    EXPECT_EQ(link->messages, std::vector<std::string>{"first"});
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(IpcLink, SendsDuringAWriteLeaveTogetherInOrder)
{
    std::vector<lp::ServerMessage> sent;
    for (uint32_t serial = 1; serial <= 4; ++serial)
        sent.push_back(message_of_size(30 + serial, serial));
    const size_t f1 = frame(sent[0]).size();
    const size_t rest = frame(sent[1]).size() + frame(sent[2]).size() + frame(sent[3]).size();

    link->async_send_message(sent[0]);
    EXPECT_EQ(link->write_starts, 1);
    EXPECT_EQ(link->write_buffer.size, f1);
    for (int i = 1; i < 4; ++i)
        link->async_send_message(sent[i]);
    EXPECT_EQ(link->write_starts, 1) << "a second write started while one was in flight";
    EXPECT_EQ(link->send_buffer.size, rest);

    ASSERT_TRUE(run_until([&] { return link->write_completes == 2; }));
    EXPECT_EQ(link->write_starts, 2);
    EXPECT_EQ(link->batches, (std::vector<size_t>{f1, rest}));
    EXPECT_EQ(link->all_sent, 1);
    EXPECT_EQ(link->send_buffer.size, 0u);
    EXPECT_EQ(link->write_buffer.size, 0u);

    const auto bodies = bodies_of(peer_read_available());
    ASSERT_EQ(bodies.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        lp::ServerMessage got;
        ASSERT_TRUE(got.ParseFromString(bodies[i]));
        EXPECT_EQ(got.serial(), i + 1);
        EXPECT_EQ(bodies[i], sent[i].SerializeAsString());
    }
}

// With batched writes, the replies to all the frames of one read leave in
// one write, in order; without, the first reply starts a write at once.
TEST_F(IpcLink, BatchedWritesGatherTheRepliesToOneRead)
{
    for (const bool batched : {false, true}) {
        SCOPED_TRACE(batched);
        reconnect();
        link->set_batched_writes(batched);
        link->message_action = [](test_link_t& l) {
            l.async_send_message(message_of_size(20, static_cast<uint32_t>(l.messages.size())));
        };
        link->start_read();
        std::string stream;
        for (int i = 0; i < 50; ++i)
            stream += frame("request " + std::to_string(i));
        peer_write(stream);
        const size_t expected = 50 * (4 + 20);
        ASSERT_TRUE(run_until([&] { return link->all_sent > 0 && peer.available() >= expected; }));
        const auto bodies = bodies_of(peer_read_available());
        ASSERT_EQ(bodies.size(), 50u);
        for (uint32_t i = 0; i < 50; ++i)
            EXPECT_EQ(bodies[i], message_of_size(20, i + 1).SerializeAsString());
        if (batched)
            EXPECT_EQ(link->batches, std::vector<size_t>{expected});
        else
            EXPECT_EQ(link->batches.front(), 4u + 20u);
    }
}

// After a large answer has been written and nothing waits, the write and
// send buffers hold no more than a modest amount; so does the read buffer
// once a large frame has been delivered.
TEST_F(IpcLink, BuffersReturnToAModestSizeAfterALargeAnswer)
{
    link->message_action = [](test_link_t& l) {
        if (l.messages.back() == "large")
            l.async_send_message(message_of_size(8 * 1024 * 1024, 1));
    };
    link->start_read();
    std::string big(4 * 1024 * 1024, 'x');
    bool written = false;
    const std::string stream = frame(big) + frame("large");
    boost::asio::async_write(peer, boost::asio::buffer(stream),
                             [&](const error_code& ec, size_t) { written = !ec; });
    size_t drained = 0;
    ASSERT_TRUE(run_until([&] {
        drained += peer_read_available().size();
        return written && link->messages.size() == 2 && link->all_sent > 0 &&
               link->write_buffer.size == 0 && link->send_buffer.size == 0;
    }));
    EXPECT_EQ(drained + peer_read_available().size(), 4u + 8 * 1024 * 1024);
    EXPECT_EQ(link->messages[0], big);
    EXPECT_LE(link->read_buffer.capacity, 1024u * 1024);
    EXPECT_LE(link->write_buffer.capacity, 1024u * 1024);
    EXPECT_LE(link->send_buffer.capacity, 1024u * 1024);
    EXPECT_TRUE(link->errors.empty());
}

// A large tail with an owner is written from the owner's storage, which the
// link holds until then and which counts as unsent; a small one is copied.
// Either way the frames arrive whole, in order.
TEST_F(IpcLink, LargeSharedTailsAreWrittenFromTheirOwner)
{
    const size_t large = cf_unix_ipc_link_t::shared_tail_size;
    auto tail_of = [](size_t size, char fill) {
        lp::ServerMessage tail;
        tail.add_data(std::string(size, fill));
        return std::make_shared<const std::string>(tail.SerializePartialAsString());
    };
    const auto big = tail_of(large, 'b'), bigger = tail_of(3 * large, 'c'), small = tail_of(100, 's');
    lp::ServerMessage head;
    head.set_tag(lp::ServerMessage::LOOKUP_RESPONSE);

    start_pending_write();  // the frames below queue behind it
    std::vector<std::string> expected;
    auto send = [&](uint32_t serial, const std::shared_ptr<const std::string>& tail) {
        head.set_serial(serial);
        const std::string body = head.SerializeAsString() + (tail ? *tail : "");
        if (tail)
            link->async_send_message(head, tail->data(), tail->size(), tail);
        else
            link->async_send_message(head);
        expected.push_back(body);
    };
    const size_t queued_before = link->send_buffer.size;
    send(1, big);
    send(2, nullptr);
    send(3, small);
    send(4, bigger);
    send(5, big);
    // Only the small tail was copied.
    EXPECT_LT(link->send_buffer.size - queued_before, 1000u);
    EXPECT_EQ(big.use_count(), 3);
    EXPECT_EQ(bigger.use_count(), 2);
    EXPECT_EQ(small.use_count(), 1);
    size_t frames = 0;
    for (const std::string& body : expected)
        frames += 4 + body.size();
    EXPECT_EQ(link->unsent_bytes(), link->write_buffer.size + frames);

    std::string received;
    ASSERT_TRUE(run_until([&] {
        received += peer_read_available();
        return link->write_completes == 2 && link->unsent_bytes() == 0;
    }));
    received += peer_read_available();
    std::vector<std::string> bodies = bodies_of(received);
    ASSERT_EQ(bodies.size(), 6u);
    bodies.erase(bodies.begin());  // the pending write's
    EXPECT_EQ(bodies, expected);
    EXPECT_EQ(big.use_count(), 1);
    EXPECT_EQ(bigger.use_count(), 1);
    EXPECT_TRUE(link->errors.empty());
}

TEST_F(IpcLink, RefusedSendsThrowAndLeaveTheQueueIntact)
{
    link = test_link_t::create(link->socket, 100);
    const auto a = message_of_size(40, 1), b = message_of_size(50, 2), d = message_of_size(100, 4);
    link->async_send_message(a); // in flight
    link->async_send_message(b); // queued
    const size_t queued = link->send_buffer.size;
    const std::string queued_bytes(reinterpret_cast<char*>(link->send_buffer.data.get()), queued);

    struct case_t {
        const char* name;
        lp::ServerMessage message;
    };
    const case_t refused[] = {
        {"one byte over the maximum", message_of_size(101, 3)},
        {"far over the maximum", message_of_size(100000, 3)},
        {"empty body", lp::ServerMessage()},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        try {
            link->async_send_message(c.message);
            ADD_FAILURE() << "no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), bad_size);
            EXPECT_EQ(e.code().value(), 7);
            EXPECT_EQ(&e.code().category(), &qv::cf_proto_error_category());
            EXPECT_EQ(std::string(e.what()), "async_send_message: Invalid IPC message size");
        }
        EXPECT_EQ(link->send_buffer.size, queued);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(link->send_buffer.data.get()), queued), queued_bytes);
    }
    link->async_send_message(d); // exactly the maximum
    ASSERT_TRUE(run_until([&] { return link->write_completes == 2; }));
    EXPECT_EQ(bodies_of(peer_read_available()),
        (std::vector<std::string>{a.SerializeAsString(), b.SerializeAsString(), d.SerializeAsString()}));
}

TEST_F(IpcLink, LargestMessageGoesFromLinkToLink)
{
    auto receiver = test_link_t::create(std::make_shared<cf_unix_socket_t>(std::move(peer)));
    receiver->start_read();
    link->start_read();

    const auto big = message_of_size(CF_IPC_MAX_MESSAGE_SIZE, 1, 'b');
    EXPECT_THROW(link->async_send_message(message_of_size(CF_IPC_MAX_MESSAGE_SIZE + 1, 2)),
        boost::system::system_error);
    link->async_send_message(big);
    link->async_send_message(message_of_size(10, 3));
    ASSERT_TRUE(run_until([&] { return receiver->messages.size() == 2; }, 300s));
    EXPECT_EQ(receiver->messages[0].size(), CF_IPC_MAX_MESSAGE_SIZE);
    EXPECT_TRUE(receiver->messages[0] == big.SerializeAsString());
    EXPECT_EQ(receiver->messages[1], message_of_size(10, 3).SerializeAsString());
    EXPECT_TRUE(receiver->errors.empty());
    EXPECT_TRUE(link->errors.empty());
    receiver->socket->close();
    link->socket->close();
}

// ---------------------------------------------------------------------------
// Closing from the owner's handlers

TEST_F(IpcLink, CloseInsideOnMessageSilencesPendingCompletions)
{
    start_pending_write();
    link->message_action = [](test_link_t& l) { l.socket->close(); };
    link->start_read();
    peer_write(frame("one") + frame("two"));
    ASSERT_TRUE(run_to_idle()) << "an operation survived the close";
    EXPECT_EQ(link->messages, std::vector<std::string>{"one"});
    EXPECT_TRUE(link->errors.empty());
    EXPECT_EQ(link->write_completes, 0);
    EXPECT_EQ(link->all_sent, 0);
    EXPECT_FALSE(link->is_open());
    EXPECT_EQ(link.use_count(), 1);
}

TEST_F(IpcLink, CloseInsideOnErrorSilencesPendingCompletions)
{
    struct case_t {
        const char* name;
        bool peer_closes; // else a refused frame length
    };
    for (const case_t c : {case_t{"refused length", false}, case_t{"peer closes", true}}) {
        SCOPED_TRACE(c.name);
        reconnect();
        start_pending_write();
        link->error_action = [](test_link_t& l) { l.socket->close(); };
        link->start_read();
        if (c.peer_closes)
            peer.close();
        else
            peer_write(header(0));
        ASSERT_TRUE(run_to_idle()) << "an operation survived the close";
        ASSERT_EQ(link->errors.size(), 1u) << link->errors.back().message();
        if (!c.peer_closes) {
            EXPECT_EQ(link->errors[0], bad_size);
        }
        EXPECT_EQ(link->write_completes, 0);
        EXPECT_EQ(link.use_count(), 1);
    }
}

TEST_F(IpcLink, AbortedOperationsAreNotErrors)
{
    start_pending_write();
    link->start_read();
    ioc.run_for(200ms); // both operations now wait in the reactor
    ASSERT_EQ(link->write_completes, 0);
    link->socket->cancel(); // still open: both completions carry operation_aborted
    ASSERT_TRUE(run_to_idle());
    EXPECT_TRUE(link->is_open());
    EXPECT_TRUE(link->errors.empty());
    EXPECT_EQ(link->write_completes, 0);
    EXPECT_EQ(link.use_count(), 1);
}

// ---------------------------------------------------------------------------
// Secure buffers

TEST_F(IpcLink, WrittenBatchIsWipedOnlyWhenSecure)
{
    const auto m = message_of_size(60, 7);
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        link->send_buffer_secure = secure;
        link->async_send_message(m);
        EXPECT_EQ(link->write_buffer_secure, secure);
        EXPECT_FALSE(link->send_buffer_secure);
        const int done = link->write_completes + 1;
        ASSERT_TRUE(run_until([&] { return link->write_completes == done; }));
        EXPECT_EQ(link->last_written, secure ? std::string(frame(m).size(), '\0') : frame(m));
        EXPECT_FALSE(link->write_buffer_secure);
        EXPECT_EQ(peer_read_available(), frame(m)); // written before it was wiped
    }
}

TEST_F(IpcLink, GrowingSendBufferWipesOldBlockOnlyWhenSecure)
{
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        reconnect();
        const auto m0 = message_of_size(30, 0), m1 = message_of_size(40, 1), m2 = message_of_size(200, 2);

        link->async_send_message(m0); // in flight; m1 and m2 queue behind it
        link->send_buffer_secure = secure;
        link->async_send_message(m1);
        ASSERT_EQ(link->send_buffer.capacity, frame(m1).size());
        watch(0, link->send_buffer.data.get(), link->send_buffer.size);
        link->async_send_message(m2); // grows the buffer
        EXPECT_EQ(snapshot(0), secure ? std::string(frame(m1).size(), '\0') : frame(m1));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(link->send_buffer.data.get()), link->send_buffer.size),
            frame(m1) + frame(m2));
        clear_watches();

        ASSERT_TRUE(run_until([&] { return link->write_completes == 2; }));
        EXPECT_EQ(peer_read_available(), frame(m0) + frame(m1) + frame(m2));
        link->socket->close();
        ASSERT_TRUE(run_to_idle());
    }
}

TEST_F(IpcLink, DestructorWipesSecureBuffers)
{
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        reconnect();
        const auto m1 = message_of_size(30, 1), m2 = message_of_size(40, 2);

        link->send_buffer_secure = secure;
        link->async_send_message(m1); // in flight
        link->send_buffer_secure = secure;
        link->async_send_message(m2); // queued
        link->socket->close();        // the write's completion now does nothing
        ASSERT_TRUE(run_to_idle());
        EXPECT_EQ(link->write_completes, 0);
        ASSERT_EQ(link.use_count(), 1);
        watch(0, link->write_buffer.data.get(), link->write_buffer.size);
        watch(1, link->send_buffer.data.get(), link->send_buffer.size);
        link.reset();
        EXPECT_EQ(snapshot(0), secure ? std::string(frame(m1).size(), '\0') : frame(m1));
        EXPECT_EQ(snapshot(1), secure ? std::string(frame(m2).size(), '\0') : frame(m2));
        clear_watches();
    }
}

// ---------------------------------------------------------------------------
// Steady state: no allocation on the read and write paths

// One end asks three questions per round, the other answers each; after the
// warm-up rounds have grown every buffer, the measured rounds must not
// allocate at all.
class pingpong_link_t : public std::enable_shared_from_this<pingpong_link_t>, public cf_unix_ipc_link_t {
public:
    pingpong_link_t(boost::asio::io_context& ioc, std::shared_ptr<cf_unix_socket_t> s,
        const lp::ServerMessage* m, bool asks)
        : cf_unix_ipc_link_t(CF_IPC_MAX_MESSAGE_SIZE), ioc(ioc), messages(m), asks(asks)
    {
        socket = std::move(s);
    }

    void ask()
    {
        for (int i = 0; i < 3; ++i)
            async_send_message(messages[i]);
    }

    boost::asio::io_context& ioc;
    const lp::ServerMessage* messages;
    bool asks;
    long received = 0;
    long bytes = 0;
    long rounds = 0;
    long warmup = 0;
    long measured = 0;
    int errors = 0;

protected:
    void on_message(google::protobuf::io::ZeroCopyInputStream& body) override
    {
        const void* chunk;
        int n;
        while (body.Next(&chunk, &n))
            bytes += n;
        ++received;
        if (!asks) {
            async_send_message(messages[(received - 1) % 3]);
            return;
        }
        if (received % 3 != 0)
            return;
        ++rounds;
        if (rounds == warmup)
            g_counting = true;
        if (rounds == warmup + measured) {
            g_counting = false;
            ioc.stop();
            return;
        }
        ask();
    }
    void on_error(const error_code&) override { ++errors; }
    std::shared_ptr<cf_basic_ipc_link_t> shared_link() override { return shared_from_this(); }
};

TEST(IpcLinkSteadyState, ReadAndWritePathsDoNotAllocate)
{
    boost::asio::io_context ioc;
    auto a = std::make_shared<cf_unix_socket_t>(ioc);
    auto b = std::make_shared<cf_unix_socket_t>(ioc);
    boost::asio::local::connect_pair(*a, *b);
    const lp::ServerMessage messages[3] = {
        message_of_size(10, 1), message_of_size(3000, 2), message_of_size(300, 3)};
    auto asker = std::make_shared<pingpong_link_t>(ioc, a, messages, true);
    auto answerer = std::make_shared<pingpong_link_t>(ioc, b, messages, false);
    asker->warmup = 50;
    asker->measured = 500;
    asker->start_read();
    answerer->start_read();

    g_allocations = 0;
    asker->ask();
    ioc.run_for(60s);
    g_counting = false;

    EXPECT_EQ(asker->rounds, 550);
    EXPECT_EQ(answerer->received, 550 * 3);
    EXPECT_EQ(asker->bytes, 550L * (10 + 3000 + 300));
    EXPECT_EQ(asker->errors + answerer->errors, 0);
    EXPECT_EQ(g_allocations.load(), 0) << "allocations in " << asker->measured << " steady rounds";
    a->close();
    b->close();
    ioc.restart();
    ioc.run_for(5s);
}

} // namespace
