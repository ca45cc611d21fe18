// What a hostile or careless local user, list file or path must not do to
// the daemon: stop it, starve it of memory or mislead it. Every case runs
// the real daemon under the PilotD stand-in.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/daemon_db_fixture.h"
#include "support/daemon_exchange.h"
#include "support/daemon_lists_fixture.h"

namespace {

// A "<name>" line of /proc/<pid>/status without the name, or "" when absent.
std::string status_field(pid_t pid, const std::string& name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return line.substr(name.size() + 1);
    return "";
}

// A memory figure of /proc/<pid>/status (VmRSS, VmHWM) in MiB.
long memory_mib(pid_t pid, const std::string& name)
{
    return std::atol(status_field(pid, name).c_str()) / 1024;
}

// Shows a memory figure and expects it to have grown by less than `limit` MiB.
void expect_growth_below(const std::string& what, long before, long after, long limit)
{
    std::cout << "[ figure   ] daemon " << what << ": " << before << " MiB before, " << after << " MiB after\n";
    EXPECT_LT(after - before, limit) << what << ": " << before << " MiB before, " << after << " MiB after";
}

// The next response on a raw connection.
bool read_response(int fd, lp::ServerMessage& response)
{
    std::string body;
    return read_frame_body(fd, body) && response.ParseFromString(body);
}

// Standard options with a small AddressSanitizer quarantine, so that freed
// memory does not count as memory held in sanitized builds.
pilotd_standin_options_t daemon_options()
{
    pilotd_standin_options_t options;
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env.emplace_back("ASAN_OPTIONS",
                             std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "quarantine_size_mb=8");
    return options;
}

// A daemon serving list tags at the given level.
void start_with_lists(daemon_fixture_t& daemon, const std::vector<list_tag_t>& tags,
                      const std::string& level = "LOG_LEVEL_DEBUG")
{
    daemon.start();
    const std::string text = "run_as_user { uid: 0 }\nsocket_path: \"" + daemon.socket_path +
                             "\"\nlog_level: " + level + "\nactual_log { type: STDERR }\n" +
                             list_sections_text(tags);
    ASSERT_TRUE(daemon.apply(1, text)) << daemon.pilotd.stderr_text();
}

// A round trip on a fresh connection: the daemon serves.
bool answers_check(daemon_fixture_t& daemon, lp::LookupType type, const std::string& tag,
                   const std::string& value, bool expected)
{
    const auto answers = daemon.connect()->exchange({check_request(1, type, tag, value)}, daemon_timeout);
    return answers.count(1) == 1 && !answers.at(1).has_error() && answers.at(1).result() == expected;
}

} // namespace

// Out of descriptors, the daemon says so once per episode, goes on serving
// the connections it has and accepts again once descriptors are free.
TEST(Hardening, AcceptWaitsForDescriptorsInsteadOfExiting)
{
    pilotd_standin_options_t options;
    options.max_files = 40;
    daemon_fixture_t daemon(options);
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    start_with_lists(daemon, {{lp::LOOKUP_ALLMATCH, "words", words}});
    const std::string error_line = "Error: accept: Too many open files\n";
    // Waits until the daemon holds no connection but `first`: one closing
    // late would free a descriptor in the middle of an episode.
    const auto wait_until_one_connection = [&]() {
        const auto deadline = std::chrono::steady_clock::now() + daemon_timeout;
        const auto open_connections = [&]() {
            const std::string text = daemon.pilotd.stderr_text();
            return count_of(text, " Created\n") - count_of(text, " Destroyed\n");
        };
        while (open_connections() != 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(open_connections(), 1u);
    };

    // A connection that comes and goes first: the sanitizers' type checks
    // need a spare descriptor the first time they meet a type (here the
    // end-of-stream error category), and later there is none.
    ASSERT_TRUE(answers_check(daemon, lp::LOOKUP_ALLMATCH, "words", "alpha", true));
    // So do the statistics the daemon sends every second.
    ASSERT_TRUE(daemon.pilotd.wait_for(qv::TrawlD2PilotdMessage::MY_STAT_NOTIFICATION, daemon_timeout));
    auto first = daemon.connect();
    ASSERT_EQ(first->exchange({check_request(1, lp::LOOKUP_ALLMATCH, "words", "alpha")}, daemon_timeout).size(), 1u);

    for (int episode = 1; episode <= 2; ++episode) {
        wait_until_one_connection();
        std::vector<std::unique_ptr<trawl_client_t>> flood;
        for (int i = 0; i < 60; ++i) {
            try {
                flood.push_back(daemon.connect());
            } catch (const std::exception& e) {
                FAIL() << e.what() << "\n" << daemon.pilotd.stderr_text();
            }
        }
        const auto failing = std::chrono::steady_clock::now() + daemon_timeout;
        while (count_of(daemon.pilotd.stderr_text(), error_line) < static_cast<size_t>(episode) &&
               std::chrono::steady_clock::now() < failing)
            std::this_thread::sleep_for(10ms);
        // Several retries fail meanwhile; the line stays single.
        std::this_thread::sleep_for(400ms);
        const std::optional<int> exited = daemon.pilotd.wait_exit(0ms);
        ASSERT_FALSE(exited.has_value()) << "exit status " << *exited << "\n" << daemon.pilotd.stderr_text();
        EXPECT_EQ(count_of(daemon.pilotd.stderr_text(), error_line), static_cast<size_t>(episode))
            << daemon.pilotd.stderr_text();
        // A connection accepted before goes on.
        const auto answers =
            first->exchange({check_request(2, lp::LOOKUP_ALLMATCH, "words", "alpha")}, daemon_timeout);
        ASSERT_EQ(answers.count(2), 1u) << daemon.pilotd.stderr_text();
        EXPECT_TRUE(answers.at(2).result());

        flood.clear();
        // Descriptors free again: a new connection is served.
        const auto deadline = std::chrono::steady_clock::now() + daemon_timeout;
        bool served = false;
        while (!served && std::chrono::steady_clock::now() < deadline) {
            try {
                served = answers_check(daemon, lp::LOOKUP_ALLMATCH, "words", "alpha", true);
            } catch (const std::exception& e) {
                FAIL() << e.what() << "\n" << daemon.pilotd.stderr_text();
            }
        }
        EXPECT_TRUE(served);
    }
    EXPECT_FALSE(daemon.pilotd.wait_exit(0ms).has_value());
    daemon.stop();
}

// A client that sends lookups and never reads stops being read once 16 MiB
// of answers wait for it; it still gets every answer, in order, when it
// reads at last.
TEST(Hardening, NonReadingClientIsNotReadFurther)
{
    daemon_fixture_t daemon(daemon_options());
    // Each lookup answers about 100 KB.
    std::string lines;
    for (int i = 0; i < 1000; ++i)
        lines += "value-" + std::to_string(i) + "-" + std::string(90, 'v') + "\n";
    const std::string words = daemon.dir.write("words.txt", lines);
    start_with_lists(daemon, {{lp::LOOKUP_ALLMATCH, "words", words}}, "LOG_LEVEL_WARNING");
    const long before = memory_mib(daemon.pilotd.pid(), "VmRSS");

    // 2,000 lookups: 200 MB of answers if nothing held the client back.
    const int requests = 2000;
    std::string batch;
    for (int serial = 1; serial <= requests; ++serial)
        batch += frame_of(lookup_request(static_cast<uint32_t>(serial), lp::LOOKUP_ALLMATCH, "words"));
    const int fd = raw_connect(daemon.socket_path);
    ASSERT_TRUE(write_bytes(fd, batch));
    std::this_thread::sleep_for(1500ms);

    const long peak = memory_mib(daemon.pilotd.pid(), "VmHWM");
    expect_growth_below("VmRSS, peak", before, peak, 80);
    // Other clients are served meanwhile.
    EXPECT_TRUE(answers_check(daemon, lp::LOOKUP_ALLMATCH, "words", "VALUE-7-" + std::string(90, 'V'), true));

    // Now read everything: each serial once, in order, each answer whole.
    frame_buffer_t incoming;
    int expected = 1;
    std::string body;
    char chunk[65536];
    while (expected <= requests) {
        uint32_t bad = 0;
        const frame_buffer_t::status_t status = incoming.next(body, bad);
        if (status == frame_buffer_t::status_t::frame) {
            lp::ServerMessage response;
            ASSERT_TRUE(response.ParseFromString(body));
            ASSERT_EQ(response.serial(), static_cast<uint32_t>(expected));
            ASSERT_EQ(response.data_size(), 1000);
            ++expected;
            continue;
        }
        ASSERT_EQ(status, frame_buffer_t::status_t::incomplete);
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        incoming.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    daemon.stop();
}

// A client that never reads while it is owed lookups whose answer is 3.8 MB
// costs the daemon about the unsent bound and one answer, not one answer per
// request: for a list tag, whose answers share the list's encoded entries,
// and for a database tag, whose answers are counted while they are posted.
TEST(Hardening, OwedLargeAnswersOfANonReadingClientCostLittle)
{
    struct case_t {
        std::string name;
        lp::LookupType type;
        int values;              // in each answer
        std::string last_value;  // the answer's last value
    };
    const std::string list_value = "value-37999-" + std::string(88, 'v');
    const std::string db_value(3800000, '0');
    const std::vector<case_t> cases = {
        {"list", lp::LOOKUP_ALLMATCH, 38000, list_value},
        {"sqlite", lp::LOOKUP_SQLITE, 1, db_value},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_fixture_t daemon(daemon_options());
        std::string lines;
        for (int i = 0; i < 38000; ++i)
            lines += "value-" + std::to_string(i) + "-" + std::string(88, 'v') + "\n";
        const std::string words = daemon.dir.write("words.txt", lines);
        // An empty file is an empty database.
        const std::string db = daemon.dir.write("empty.db", "");
        daemon.start();
        const std::string text = "run_as_user { uid: 0 }\nsocket_path: \"" + daemon.socket_path +
                                 "\"\nlog_level: LOG_LEVEL_WARNING\nactual_log { type: STDERR }\n"
                                 "db_idle_timeout: 60000\n" +
                                 list_sections_text({{lp::LOOKUP_ALLMATCH, "big", words}}) +
                                 db_sections_text({{lp::LOOKUP_SQLITE, "big", "file://" + db,
                                                    "SELECT hex(zeroblob(1900000))", std::nullopt}});
        ASSERT_TRUE(daemon.apply(1, text)) << daemon.pilotd.stderr_text();
        // The tag is loaded and its answer made once before the figures start.
        const auto first = daemon.connect()->exchange({lookup_request(1, c.type, "big")}, daemon_timeout);
        ASSERT_EQ(first.count(1), 1u);
        ASSERT_EQ(first.at(1).data_size(), c.values) << first.at(1).DebugString().substr(0, 200);
        std::this_thread::sleep_for(300ms);
        const long before = memory_mib(daemon.pilotd.pid(), "VmRSS");

        const int requests = 200;
        std::string batch;
        for (int serial = 1; serial <= requests; ++serial)
            batch += frame_of(lookup_request(static_cast<uint32_t>(serial), c.type, "big"));
        const int fd = raw_connect(daemon.socket_path);
        ASSERT_TRUE(write_bytes(fd, batch));
        // Other clients are served meanwhile, after the daemon took what it takes.
        std::this_thread::sleep_for(1000ms);
        EXPECT_TRUE(answers_check(daemon, lp::LOOKUP_ALLMATCH, "big", "VALUE-7-" + std::string(88, 'V'), true));
        const long after = memory_mib(daemon.pilotd.pid(), "VmRSS");
        expect_growth_below("VmRSS, " + c.name, before, after, 64);

        // The first answers arrive whole, in order.
        for (uint32_t serial = 1; serial <= 3; ++serial) {
            lp::ServerMessage response;
            ASSERT_TRUE(read_response(fd, response));
            EXPECT_EQ(response.serial(), serial);
            ASSERT_EQ(response.data_size(), c.values);
            EXPECT_EQ(response.data(c.values - 1), c.last_value);
        }
        ::close(fd);
        daemon.stop();
    }
}

// A 64 MiB request made of unknown fields leaves nothing behind once it is
// answered: the idle connection returns to a modest size.
TEST(Hardening, IdleConnectionKeepsNothingOfALargeRequest)
{
    daemon_fixture_t daemon(daemon_options());
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    start_with_lists(daemon, {{lp::LOOKUP_ALLMATCH, "words", words}}, "LOG_LEVEL_WARNING");
    const long before = memory_mib(daemon.pilotd.pid(), "VmRSS");

    // Field 15 as a varint of one byte: two bytes per unknown field.
    std::string body = check_request(1, lp::LOOKUP_ALLMATCH, "words", "ALPHA").SerializeAsString();
    const size_t fields = (size_t(max_frame_body) - body.size()) / 2;
    body.reserve(max_frame_body);
    for (size_t i = 0; i < fields; ++i)
        body += "\x78\x01";
    const int fd = raw_connect(daemon.socket_path);
    ASSERT_TRUE(write_bytes(fd, frame_of(body)));
    lp::ServerMessage response;
    ASSERT_TRUE(read_response(fd, response));
    EXPECT_TRUE(response.result());
    std::this_thread::sleep_for(300ms);
    const long after = memory_mib(daemon.pilotd.pid(), "VmRSS");
    expect_growth_below("VmRSS, idle connection", before, after, 64);
    EXPECT_TRUE(answers_check(daemon, lp::LOOKUP_ALLMATCH, "words", "alpha", true));
    ::close(fd);
    daemon.stop();
}

// Frames that announce 64 MiB and send a few bytes hold only those bytes.
TEST(Hardening, PartialFramesReserveOnlyWhatArrived)
{
    daemon_fixture_t daemon(daemon_options());
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    start_with_lists(daemon, {{lp::LOOKUP_ALLMATCH, "words", words}}, "LOG_LEVEL_WARNING");
    // Untouched pages of a reserved buffer are not resident: the address
    // space the daemon took is what shows a reservation.
    const long before = memory_mib(daemon.pilotd.pid(), "VmData");

    const uint32_t announced = 64 * 1024 * 1024;
    const std::string partial = std::string(reinterpret_cast<const char*>(&announced), 4) + "0123456789";
    std::vector<int> connections;
    for (int i = 0; i < 40; ++i) {
        connections.push_back(raw_connect(daemon.socket_path));
        ASSERT_TRUE(write_bytes(connections.back(), partial));
    }
    // A round trip after all of them: the daemon has read what they sent.
    EXPECT_TRUE(answers_check(daemon, lp::LOOKUP_ALLMATCH, "words", "alpha", true));
    std::this_thread::sleep_for(300ms);
    const long after = memory_mib(daemon.pilotd.pid(), "VmData");
    expect_growth_below("VmData", before, after, 64);

    // A large frame that arrives in pieces is still read whole.
    const lp::ClientMessage big = check_request(9, lp::LOOKUP_ALLMATCH, "words", std::string(3 << 20, 'x'));
    const std::string frame = frame_of(big);
    const int fd = raw_connect(daemon.socket_path);
    for (size_t at = 0; at < frame.size(); at += 100000) {
        ASSERT_TRUE(write_bytes(fd, frame.substr(at, 100000)));
        std::this_thread::sleep_for(1ms);
    }
    frame_buffer_t incoming;
    std::string body;
    char chunk[4096];
    uint32_t bad = 0;
    while (incoming.next(body, bad) != frame_buffer_t::status_t::frame) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        incoming.append(chunk, static_cast<size_t>(n));
    }
    lp::ServerMessage response;
    ASSERT_TRUE(response.ParseFromString(body));
    EXPECT_EQ(response.serial(), 9u);
    EXPECT_TRUE(response.has_result());
    EXPECT_FALSE(response.result());
    ::close(fd);
    for (const int c : connections)
        ::close(c);
    daemon.stop();
}

// Distinct large check values do not pile up in the answer caches.
TEST(Hardening, AnswerCachesStayBounded)
{
    daemon_fixture_t daemon(daemon_options());
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    start_with_lists(daemon, {{lp::LOOKUP_ALLMATCH, "words", words}}, "LOG_LEVEL_WARNING");
    const long before = memory_mib(daemon.pilotd.pid(), "VmRSS");

    // 600 distinct values of 1 MiB: 600 MiB cached if nothing bounded them.
    auto client = daemon.connect();
    std::string value(1 << 20, 'v');
    // In batches of ten, each well within the exchange's time limit in a
    // sanitized build on a loaded machine.
    for (int round = 0; round < 60; ++round) {
        std::vector<lp::ClientMessage> batch;
        for (int i = 0; i < 10; ++i) {
            const std::string number = std::to_string(round * 10 + i);
            value.replace(0, number.size(), number);
            batch.push_back(check_request(static_cast<uint32_t>(i + 1), lp::LOOKUP_ALLMATCH, "words", value));
        }
        ASSERT_EQ(client->exchange(batch, daemon_timeout).size(), batch.size());
    }
    const long peak = memory_mib(daemon.pilotd.pid(), "VmHWM");
    expect_growth_below("VmRSS, peak", before, peak, 120);
    daemon.stop();
}

// The cache keeps at most 16 MiB of values per tag: the value that would
// pass the bound empties it first; a longer value is never cached.
TEST(Hardening, AnswerCacheBoundsEmptyItAndSkipHugeValues)
{
    daemon_fixture_t daemon(daemon_options());
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    start_with_lists(daemon, {{lp::LOOKUP_ALLMATCH, "words", words}});
    auto client = daemon.connect();
    auto value = [](int i) { return std::string(1 << 20, static_cast<char>('a' + i)); };
    auto ask = [&](const std::string& v) {
        const auto answers = client->exchange({check_request(1, lp::LOOKUP_ALLMATCH, "words", v)}, daemon_timeout);
        return answers.count(1) == 1 && answers.at(1).has_result() && !answers.at(1).result();
    };
    auto cached = [&](const std::string& v) {
        const size_t mark = daemon.pilotd.stderr_text().size();
        EXPECT_TRUE(ask(v));
        return daemon.pilotd.stderr_text().find("found in \"NOT found\" cache.", mark) != std::string::npos;
    };
    // Sixteen values of 1 MiB fill the bound exactly and stay.
    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(ask(value(i)));
    EXPECT_TRUE(cached(value(0)));
    EXPECT_TRUE(cached(value(15)));
    // The seventeenth empties the cache before it is added.
    ASSERT_TRUE(ask(value(16)));
    EXPECT_TRUE(cached(value(16)));
    EXPECT_FALSE(cached(value(0)));

    // Longer than the bound on its own: answered, never cached.
    const std::string huge((16 << 20) + 1, 'h');
    EXPECT_FALSE(cached(huge));
    EXPECT_FALSE(cached(huge));
    EXPECT_TRUE(cached(value(16)));
    daemon.stop();
}

// At most 65,536 values per tag: the next one empties the cache first.
TEST(Hardening, AnswerCacheBoundsTheNumberOfValues)
{
    daemon_fixture_t daemon(daemon_options());
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    start_with_lists(daemon, {{lp::LOOKUP_ALLMATCH, "words", words}});
    auto client = daemon.connect();
    std::vector<lp::ClientMessage> batch;
    for (uint32_t i = 0; i < 65536; ++i) {
        batch.push_back(check_request(i + 1, lp::LOOKUP_ALLMATCH, "words", "v" + std::to_string(i)));
        if (batch.size() == 8192) {
            ASSERT_EQ(client->exchange(batch, daemon_timeout).size(), batch.size());
            batch.clear();
        }
    }
    // Each probe in turn, so that the log shows which one was cached.
    const std::string cached_line = "found in \"NOT found\" cache.";
    auto cached = [&](const std::string& value) {
        const size_t before = count_of(daemon.pilotd.stderr_text(), cached_line);
        const auto answers = client->exchange({check_request(1, lp::LOOKUP_ALLMATCH, "words", value)}, daemon_timeout);
        EXPECT_EQ(answers.count(1), 1u);
        return count_of(daemon.pilotd.stderr_text(), cached_line) > before;
    };
    EXPECT_TRUE(cached("v0"));
    EXPECT_TRUE(cached("v65535"));
    EXPECT_FALSE(cached("v65536"));
    EXPECT_TRUE(cached("v65536"));
    EXPECT_FALSE(cached("v0"));
    daemon.stop();
}

// A FIFO, a directory, a device and a file that fails to read are refused
// with error 22, each time, without blocking other tags; a tag whose file
// becomes readable loads on its next request.
TEST(Hardening, ListFilesMustBeRegularAndReadWhole)
{
    daemon_fixture_t daemon;
    const std::string words = daemon.dir.write("words.txt", "alpha\n");
    const std::string fifo = daemon.dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct case_t {
        std::string tag, path, error;
    };
    const std::vector<case_t> cases = {
        {"fifo", fifo, "Cannot open file"},
        {"directory", daemon.dir.path(), "Cannot open file"},
        {"zero", "/dev/zero", "Cannot open file"},
        {"missing", daemon.dir.file("missing.txt"), "Cannot open file"},
        // A regular file whose first read fails (EIO).
        {"unreadable", "/proc/self/mem", "Cannot read file"},
    };
    std::vector<list_tag_t> tags{{lp::LOOKUP_ALLMATCH, "words", words}};
    for (const case_t& c : cases)
        tags.push_back({lp::LOOKUP_MASK, c.tag, c.path});
    start_with_lists(daemon, tags);
    auto client = daemon.connect();

    for (const case_t& c : cases) {
        SCOPED_TRACE(c.tag);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const size_t mark = daemon.pilotd.stderr_text().size();
            const auto answers = client->exchange({check_request(1, lp::LOOKUP_MASK, c.tag, "x"),
                                                   lookup_request(2, lp::LOOKUP_MASK, c.tag),
                                                   check_request(3, lp::LOOKUP_ALLMATCH, "words", "ALPHA")},
                                                  daemon_timeout);
            ASSERT_EQ(answers.size(), 3u);
            EXPECT_EQ(answers.at(1).error().code(), qv::EC_IO_ERROR);
            EXPECT_EQ(answers.at(2).error().code(), qv::EC_IO_ERROR);
            EXPECT_TRUE(answers.at(3).result());
            const std::string line = "Error: Datasource [" + c.tag + ".mask]: " + c.error + " \"" + c.path + "\"";
            EXPECT_EQ(count_of(daemon.pilotd.stderr_text().substr(mark), line), 2u)
                << daemon.pilotd.stderr_text().substr(mark);
        }
    }
    // The FIFO becomes a regular file: the next request reads it.
    ASSERT_EQ(::unlink(fifo.c_str()), 0);
    daemon.dir.write("fifo", "*.exe\n");
    const auto answers = client->exchange({check_request(1, lp::LOOKUP_MASK, "fifo", "a.EXE")}, daemon_timeout);
    ASSERT_EQ(answers.count(1), 1u);
    EXPECT_FALSE(answers.at(1).has_error());
    EXPECT_TRUE(answers.at(1).result());
    daemon.stop();
}

// A check value holding a NUL byte is compared whole by every list type.
TEST(Hardening, ValuesWithNulAreComparedWhole)
{
    daemon_fixture_t daemon;
    const std::string masks = daemon.dir.write("masks.txt", "*.exe\n");
    const std::string words = daemon.dir.write("words.txt", "a.exe\n");
    const std::string nets = daemon.dir.write("nets.txt", "10.0.0.0/8\n");
    const std::string patterns = daemon.dir.write("patterns.txt", "^a\\.exe$\n");
    start_with_lists(daemon, {{lp::LOOKUP_MASK, "masks", masks},
                              {lp::LOOKUP_ALLMATCH, "words", words},
                              {lp::LOOKUP_CIDR, "nets", nets},
                              {lp::LOOKUP_REGEX, "patterns", patterns}});
    const std::string nul("\0", 1);
    struct case_t {
        lp::LookupType type;
        std::string tag, value;
        bool found;
    } cases[] = {
        {lp::LOOKUP_MASK, "masks", "a.exe", true},
        {lp::LOOKUP_MASK, "masks", "a.exe" + nul + "zzz", false},
        {lp::LOOKUP_MASK, "masks", "zzz" + nul + "a.exe", false},
        {lp::LOOKUP_ALLMATCH, "words", "a.exe" + nul + "zzz", false},
        {lp::LOOKUP_CIDR, "nets", "10.1.2.3", true},
        {lp::LOOKUP_CIDR, "nets", "10.1.2.3" + nul + "zzz", false},
        {lp::LOOKUP_REGEX, "patterns", "a.exe" + nul + "zzz", false},
    };
    for (const case_t& c : cases)
        EXPECT_TRUE(answers_check(daemon, c.type, c.tag, c.value, c.found)) << c.tag << " " << c.value.size();
    daemon.stop();
}

// Control bytes from a client or a list file never start a line of their
// own in the log: they are written as \n, \t or \xHH.
TEST(Hardening, ClientAndFileTextIsEscapedInLogLines)
{
    daemon_fixture_t daemon;
    const std::string nets = daemon.dir.write("nets.txt", "10.0.0.0/8\nbad\x01net\n");
    const std::string words = daemon.dir.write("words.txt", "one\ttwo\n");
    start_with_lists(daemon, {{lp::LOOKUP_CIDR, "nets", nets}, {lp::LOOKUP_ALLMATCH, "words", words}});
    // The colon makes it an IPv6 text.
    const std::string forged = "1.2.3.4\nError: forged line\r\x7f";
    auto client = daemon.connect();
    const auto answers = client->exchange(
        {check_request(1, lp::LOOKUP_CIDR, "nets", forged, "us\ner", "do\x1bmain"),
         lookup_request(2, lp::LOOKUP_ALLMATCH, "words")},
        daemon_timeout);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_FALSE(answers.at(1).result());
    EXPECT_EQ(data_of(answers.at(2)), std::vector<std::string>{"one\ttwo"});

    const std::string log = daemon.pilotd.stderr_text();
    const std::string escaped = "1.2.3.4\\nError: forged line\\r\\x7f";
    EXPECT_EQ(count_of(log, "\nError: forged"), 0u) << log;
    EXPECT_EQ(count_of(log, "Error: Datasource [nets.cidr]: Invalid IPv6 address: \"" + escaped + "\"\n"), 1u)
        << log;
    EXPECT_EQ(count_of(log, "Error: Datasource [nets.cidr]: Invalid IPv4 address: \"bad\\x01net\"\n"), 1u);
    EXPECT_EQ(count_of(log, "Debug: Client 0x1 <-- CHECK_REQUEST 1 [cidr] tag=\"nets\", user=\"us\\ner\", "
                            "domain=\"do\\x1bmain\", check=\"" + escaped + "\"\n"),
              1u);
    EXPECT_EQ(count_of(log, "Request \"" + escaped + "\" is not cached, searching...\n"), 1u);
    EXPECT_EQ(count_of(log, "Debug: Datasource [words.allmatch]: Got \"one\\ttwo\"\n"), 1u);
    EXPECT_EQ(count_of(log, "Debug: Client 0x1 --> LOOKUP_RESPONSE 2: data: one\\ttwo\n"), 1u);
    daemon.stop();
}

// Only a socket at socket_path is replaced: anything else fails the
// configuration with status 102 and stays as it was.
TEST(Hardening, SocketPathHoldingSomethingElseIsKept)
{
    struct case_t {
        std::string name;
        std::function<void(const std::string& path, temp_dir_t& dir)> make;
    };
    const std::vector<case_t> cases = {
        {"regular file", [](const std::string& path, temp_dir_t&) { std::ofstream(path) << "precious"; }},
        {"symbolic link",
         [](const std::string& path, temp_dir_t& dir) {
             dir.write("target.txt", "precious");
             ASSERT_EQ(::symlink(dir.file("target.txt").c_str(), path.c_str()), 0);
         }},
        {"directory", [](const std::string& path, temp_dir_t&) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); }},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_fixture_t daemon;
        c.make(daemon.socket_path, daemon.dir);
        struct stat before {};
        ASSERT_EQ(::lstat(daemon.socket_path.c_str(), &before), 0);
        daemon.start();
        ASSERT_TRUE(daemon.pilotd.serve_config(1, parse_config_text(daemon.config_text()), daemon_timeout));
        const std::optional<int> status = daemon.pilotd.wait_exit(daemon_timeout);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 102);
        EXPECT_EQ(count_of(daemon.pilotd.stderr_text(), "Error: Not a socket: File exists [system:17]: \"" +
                                                            daemon.socket_path + "\"\n"),
                  1u)
            << daemon.pilotd.stderr_text();
        struct stat after {};
        ASSERT_EQ(::lstat(daemon.socket_path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        if (S_ISREG(after.st_mode)) {
            EXPECT_EQ(read_file(daemon.socket_path), "precious");
        }
    }
}

// The socket gets mode 0666 from bind itself, whatever the umask; the
// daemon's umask is its own again afterwards.
TEST(Hardening, SocketModeIsSetAtBindUnderAnyUmask)
{
    const mode_t old_umask = ::umask(022);
    daemon_fixture_t daemon;
    daemon.start_configured();
    ::umask(old_umask);
    struct stat st {};
    ASSERT_EQ(::lstat(daemon.socket_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(status_field(daemon.pilotd.pid(), "Umask"), "\t0022");
    EXPECT_NO_THROW(trawl_client_t{daemon.socket_path});
    daemon.stop();
}

// After the switch the daemon has the run-as user's groups, not root's.
TEST(Hardening, UserSwitchDropsRootsGroups)
{
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    gid_t expected_groups[64];
    int count = 64;
    ASSERT_GE(::getgrouplist("nobody", gid, expected_groups, &count), 0);
    std::set<gid_t> expected(expected_groups, expected_groups + count);

    for (const std::string& user : {"uid: " + std::to_string(uid), std::string("name: \"nobody\"")}) {
        SCOPED_TRACE(user);
        pilotd_standin_options_t options;
        options.groups = {0, 42};
        daemon_fixture_t daemon(options);
        ::chmod(daemon.dir.path().c_str(), 0755);
        daemon.start();
        EXPECT_EQ(status_field(daemon.pilotd.pid(), "Groups"), "\t0 42 ");
        std::string text = daemon.config_text();
        text.replace(text.find("uid: 0"), 6, user);
        ASSERT_TRUE(daemon.apply(1, text)) << daemon.pilotd.stderr_text();

        std::istringstream groups(status_field(daemon.pilotd.pid(), "Groups"));
        std::set<gid_t> actual;
        for (gid_t g; groups >> g;)
            actual.insert(g);
        EXPECT_EQ(actual, expected);
        const std::string ids = "\t" + std::to_string(uid) + "\t" + std::to_string(uid) + "\t" +
                                std::to_string(uid) + "\t" + std::to_string(uid);
        EXPECT_EQ(status_field(daemon.pilotd.pid(), "Uid"), ids);
        const std::string gids = "\t" + std::to_string(gid) + "\t" + std::to_string(gid) + "\t" +
                                 std::to_string(gid) + "\t" + std::to_string(gid);
        EXPECT_EQ(status_field(daemon.pilotd.pid(), "Gid"), gids);
        EXPECT_TRUE(daemon.wait_for_stderr("Debug: Run as user " + std::to_string(uid) + ":" + std::to_string(gid)));
        daemon.stop();
    }
}

// A run-as user who may write the log's directory plants a symbolic link at
// the log path to a file only root may write: the daemon never follows it,
// neither as root at the first configuration nor after the switch, and
// writes nothing to the link's target.
TEST(Hardening, LogPathLinkPlantedByTheRunAsUserIsNotFollowed)
{
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    auto as_nobody = [&](const std::function<void()>& body) {
        const velbo_test::child_result_t planted = velbo_test::run_in_child([&] {
            if (::setgid(gid) != 0 || ::setuid(uid) != 0)
                throw std::runtime_error("cannot become nobody");
            body();
        });
        ASSERT_TRUE(planted.exited && planted.status == 0) << velbo_test::describe(planted);
    };

    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "at the first configuration" : "at a later configuration");
        daemon_fixture_t daemon;
        const std::string logs = daemon.dir.path() + "/logs";
        ASSERT_EQ(::mkdir(logs.c_str(), 0700), 0);
        ASSERT_EQ(::chown(logs.c_str(), uid, gid), 0);
        const std::string target = daemon.dir.write("root-only", "precious\n", 0600);
        const std::string log_path = logs + "/trawld.log";
        const std::string text = "run_as_user { name: \"nobody\" }\nsocket_path: \"" + daemon.socket_path +
                                 "\"\nlog_level: LOG_LEVEL_DEBUG\nactual_log { type: FILE path: \"" + log_path +
                                 "\" }\n";
        auto plant = [&] {
            as_nobody([&] {
                ::unlink(log_path.c_str());
                if (::symlink(target.c_str(), log_path.c_str()) != 0)
                    throw std::runtime_error("symlink failed");
            });
        };
        daemon.start();
        int old_log = -1;
        if (first) {
            plant();
            ASSERT_TRUE(daemon.pilotd.serve_config(1, parse_config_text(text), daemon_timeout));
        } else {
            ASSERT_TRUE(daemon.apply(1, text)) << daemon.pilotd.stderr_text();
            // The log the daemon holds, read after it was replaced by the link.
            old_log = ::open(log_path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(old_log, 0);
            plant();
            ASSERT_TRUE(daemon.pilotd.send_config(2, parse_config_text(text)));
        }
        const std::optional<int> status = daemon.pilotd.wait_exit(daemon_timeout);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 102);
        std::string written = daemon.pilotd.stderr_text();
        if (old_log >= 0) {
            char chunk[4096];
            for (ssize_t n; (n = ::read(old_log, chunk, sizeof chunk)) > 0;)
                written.append(chunk, static_cast<size_t>(n));
            ::close(old_log);
        }
        EXPECT_EQ(count_of(written, "Error: Cannot create log: Too many levels of symbolic links [system:40]: \"" +
                                        log_path + "\"\n"),
                  1u)
            << written;
        EXPECT_EQ(read_file(target), "precious\n");
        struct stat st {};
        ASSERT_EQ(::lstat(log_path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
}
