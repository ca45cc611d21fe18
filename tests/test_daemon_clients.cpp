// Client requests through the real daemon: checks, dispatch, pipelining,
// the connection's answers to faulty requests and the end of a connection.
#include <sys/socket.h>

#include <csignal>

#include <gtest/gtest.h>

#include "support/daemon_exchange.h"
#include "support/daemon_fixture.h"
#include "support/daemon_ldap_fixture.h"
#include "support/slapd_server.h"

namespace {

class DaemonClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        words = daemon.dir.write("words.txt", "alpha\nBeta\ngamma\n");
        daemon.start_configured("allmatch { item { tag: \"MY_TAG\" file: \"" + words + "\" } }\n");
    }

    std::string err() { return daemon.pilotd.stderr_text(); }

    daemon_fixture_t daemon;
    std::string words;
};

// A client connection refused for a faulty request: closed without an
// answer, after a Warning with the connection's prefix and "Disconnected".
struct refusal_t {
    const char* name;
    std::string bytes;    // sent as they are
    std::string warning;  // the Warning text after the prefix
};

std::string body_of(const lp::ClientMessage& message)
{
    return message.SerializePartialAsString();
}

std::string frames_of(const std::vector<lp::ClientMessage>& requests)
{
    std::string bytes;
    for (const lp::ClientMessage& request : requests)
        bytes += frame_of(body_of(request));
    return bytes;
}

// Every answer until the daemon ends the stream, by serial; a serial
// answered twice fails the test. `closed` tells whether the stream ended
// within the timeout.
std::map<uint32_t, lp::ServerMessage> answers_until_closed(trawl_client_t& client, bool& closed,
                                                           std::chrono::milliseconds timeout = daemon_timeout)
{
    std::map<uint32_t, lp::ServerMessage> answers;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::optional<lp::ServerMessage> answer = client.receive(left);
        if (!answer)
            break;
        EXPECT_TRUE(answers.emplace(answer->serial(), *answer).second) << "serial " << answer->serial();
    }
    closed = client.closed();
    return answers;
}

// The refused requests and frames, each closing the connection without an
// answer of its own.
std::vector<refusal_t> refusals()
{
    lp::ClientMessage no_serial = make_lookup_request(1, lp::LOOKUP_ALLMATCH, "mytag", "");
    no_serial.clear_serial();
    lp::ClientMessage no_tag = make_lookup_request(1, lp::LOOKUP_ALLMATCH, "mytag", "");
    no_tag.clear_lookup_tag();
    lp::ClientMessage no_check = make_check_request(1, lp::LOOKUP_ALLMATCH, "mytag", "x");
    no_check.clear_check();
    lp::ClientMessage no_kind = make_lookup_request(1, lp::LOOKUP_ALLMATCH, "mytag", "");
    no_kind.clear_tag();

    return {
        {"no serial", frame_of(body_of(no_serial)),
         "LOOKUP_REQUEST: Check failed: req.has_serial(): Protocol violation [qv.Error:12]"},
        {"no lookup_tag", frame_of(body_of(no_tag)),
         "LOOKUP_REQUEST: Check failed: req.has_lookup_tag(): Protocol violation [qv.Error:12]"},
        {"no check", frame_of(body_of(no_check)),
         "CHECK_REQUEST: Check failed: req.has_check(): Protocol violation [qv.Error:12]"},
        {"lookup type 2 on the wire", frame_of(std::string("\x08\x01\x10\x07\x18\x02\x22\x01x", 9)),
         "LOOKUP_REQUEST: Check failed: req.has_lookup_type(): Protocol violation [qv.Error:12]"},
        {"no request kind", frame_of(body_of(no_kind)), "Invalid IPC message format [qv.Error:8]"},
        {"request kind 3", frame_of(std::string("\x08\x03\x10\x07", 4)), "Invalid IPC message format [qv.Error:8]"},
        {"body that does not parse", frame_of("\xff\xff\xff"), "Invalid IPC message format [qv.Error:8]"},
        {"frame length 0", std::string("\0\0\0\0", 4), "Invalid IPC message size"},
        {"frame length above 64 MiB", std::string("\x01\x00\x00\x04", 4), "Invalid IPC message size"},
    };
}

std::string prefix_of(int connection)
{
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "Client 0x%x ", connection);
    return prefix;
}

} // namespace

TEST_F(DaemonClients, PipelinedRequestsAreAnsweredBySerial)
{
    auto client = daemon.connect();
    const std::vector<lp::ClientMessage> requests = {
        make_lookup_request(5, lp::LOOKUP_ALLMATCH, "my_tag", "alice", "example.org"),
        make_check_request(6, lp::LOOKUP_ALLMATCH, "MyTag", "BETA"),
        make_check_request(7, lp::LOOKUP_ALLMATCH, "mytag", "delta"),
        make_lookup_request(8, lp::LOOKUP_ALLMATCH, "other", ""),
        make_check_request(9, lp::LOOKUP_ALLMATCH, "other", "x"),
    };
    const std::map<uint32_t, lp::ServerMessage> answers = client->exchange(requests, daemon_timeout);
    ASSERT_EQ(answers.size(), requests.size());

    const lp::ServerMessage& lookup = answers.at(5);
    EXPECT_EQ(lookup.tag(), lp::ServerMessage::LOOKUP_RESPONSE);
    EXPECT_EQ(data_of(lookup), (std::vector<std::string>{"alpha", "Beta", "gamma"}));
    EXPECT_FALSE(lookup.has_error());

    EXPECT_EQ(answers.at(6).tag(), lp::ServerMessage::CHECK_RESPONSE);
    EXPECT_TRUE(answers.at(6).has_result());
    EXPECT_TRUE(answers.at(6).result());
    EXPECT_TRUE(answers.at(7).has_result());
    EXPECT_FALSE(answers.at(7).result());

    for (uint32_t serial : {8u, 9u}) {
        const lp::ServerMessage& refused = answers.at(serial);
        ASSERT_TRUE(refused.has_error());
        EXPECT_EQ(refused.error().code(), qv::EC_INVALID_TAG);
        EXPECT_EQ(refused.error().what(), "Tag value is invalid");
        EXPECT_EQ(refused.data_size(), 0);
        EXPECT_FALSE(refused.has_result());
    }
    EXPECT_EQ(answers.at(8).tag(), lp::ServerMessage::LOOKUP_RESPONSE);
    EXPECT_EQ(answers.at(9).tag(), lp::ServerMessage::CHECK_RESPONSE);

    // The refused tags leave the connection usable.
    client->send_check(10, lp::LOOKUP_ALLMATCH, "my_tag", "Alpha");
    const std::optional<lp::ServerMessage> after = client->receive(daemon_timeout);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->serial(), 10u);
    EXPECT_TRUE(after->result());

    EXPECT_NE(err().find("Debug: Client 0x1 <-- LOOKUP_REQUEST 5 [allmatch] tag=\"mytag\", "
                         "user=\"alice\", domain=\"example.org\"\n"),
              std::string::npos)
        << err();
    EXPECT_NE(err().find("Debug: Client 0x1 <-- CHECK_REQUEST 6 [allmatch] tag=\"mytag\", user=\"\", "
                         "domain=\"\", check=\"BETA\"\n"),
              std::string::npos);
    EXPECT_EQ(count_of(err(), "Warning: Client 0x1 Tag value is invalid\n"), 2u);
    EXPECT_NE(err().find("Debug: Client 0x1 --> LOOKUP_RESPONSE 5: data: Beta\n"), std::string::npos);
    EXPECT_NE(err().find("Debug: Client 0x1 --> CHECK_RESPONSE 6: true\n"), std::string::npos);
    EXPECT_NE(err().find("Debug: Client 0x1 --> LOOKUP_RESPONSE 8: Tag value is invalid\n"), std::string::npos);
    EXPECT_NE(err().find("Debug: Client 0x1 --> CHECK_RESPONSE 9: Tag value is invalid\n"), std::string::npos);
}

TEST_F(DaemonClients, LookupTypeZeroMustBeOnTheWire)
{
    // tag 1, serial 7, lookup type 0, tag "x": passes the checks (and "x"
    // is no configured tag); without field 3 it is refused.
    auto client = daemon.connect();
    client->send_raw(frame_of(std::string("\x08\x01\x10\x07\x18\x00\x22\x01x", 9)));
    // Type 0 reaches the LDAP back-end, which knows no tag "x".
    const std::optional<lp::ServerMessage> answer = client->receive(daemon_timeout);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->serial(), 7u);
    ASSERT_TRUE(answer->has_error());
    EXPECT_EQ(answer->error().code(), qv::EC_INVALID_TAG);
    EXPECT_EQ(count_of(err(), "Warning: Client 0x1 Tag value is invalid\n"), 1u) << err();

    auto second = daemon.connect();
    second->send_raw(frame_of(std::string("\x08\x01\x10\x07\x22\x01x", 7)));
    EXPECT_TRUE(second->wait_closed(daemon_timeout));
    EXPECT_NE(err().find("Warning: Client 0x2 LOOKUP_REQUEST: Check failed: req.has_lookup_type(): "
                         "Protocol violation [qv.Error:12]\n"
                         "Debug: Client 0x2 Disconnected\n"),
              std::string::npos)
        << err();
}

TEST_F(DaemonClients, FaultyRequestsCloseTheConnectionWithoutAnAnswer)
{
    const std::vector<refusal_t> cases = refusals();
    int connection = 0;
    for (const refusal_t& c : cases) {
        SCOPED_TRACE(c.name);
        ++connection;
        auto client = daemon.connect();
        // A good request first: its answer arrives before the refusal.
        client->send_check(100, lp::LOOKUP_ALLMATCH, "mytag", "gamma");
        const std::optional<lp::ServerMessage> first = client->receive(daemon_timeout);
        ASSERT_TRUE(first);
        EXPECT_TRUE(first->result());
        client->send_raw(c.bytes);
        EXPECT_TRUE(client->wait_closed(daemon_timeout));
        const std::string prefix = prefix_of(connection);
        ASSERT_TRUE(daemon.wait_for_stderr("Debug: " + prefix + "Destroyed\n"));
        EXPECT_NE(err().find("Warning: " + prefix + c.warning + "\n"), std::string::npos) << err();
        // A frame refused by its length is reported by the link, the others
        // by the request checks, which then disconnect.
        if (c.warning == "Invalid IPC message size")
            EXPECT_EQ(err().find("Debug: " + prefix + "Disconnected"), std::string::npos);
        else
            EXPECT_NE(err().find("Warning: " + prefix + c.warning + "\nDebug: " + prefix + "Disconnected\n"),
                      std::string::npos)
                << err();
    }
    // The daemon goes on serving.
    auto client = daemon.connect();
    client->send_check(1, lp::LOOKUP_ALLMATCH, "mytag", "alpha");
    const std::optional<lp::ServerMessage> answer = client->receive(daemon_timeout);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->result());
}

// Requests followed by a refused frame in the same write are answered as
// if the frames had come one at a time; the frames after it are not read.
TEST_F(DaemonClients, RequestsBeforeARefusedFrameAreAnswered)
{
    const std::vector<lp::ClientMessage> before = {
        make_check_request(1, lp::LOOKUP_ALLMATCH, "mytag", "GAMMA"),
        make_lookup_request(2, lp::LOOKUP_ALLMATCH, "mytag", ""),
        make_check_request(3, lp::LOOKUP_ALLMATCH, "other", "x"),
    };
    const std::string after = frames_of({make_check_request(4, lp::LOOKUP_ALLMATCH, "mytag", "alpha")});
    int connection = 0;
    for (const refusal_t& c : refusals()) {
        SCOPED_TRACE(c.name);
        const std::string prefix = prefix_of(++connection);
        auto client = daemon.connect();
        ASSERT_TRUE(client->send_raw(frames_of(before) + c.bytes + after));
        bool closed = false;
        const auto answers = answers_until_closed(*client, closed);
        EXPECT_TRUE(closed);
        ASSERT_EQ(answers.size(), 3u) << err();
        EXPECT_TRUE(answers.at(1).result());
        EXPECT_EQ(data_of(answers.at(2)).size(), 3u);
        EXPECT_EQ(answers.at(3).error().code(), qv::EC_INVALID_TAG);
        ASSERT_TRUE(daemon.wait_for_stderr("Debug: " + prefix + "Destroyed\n"));
        EXPECT_EQ(count_of(err(), "Warning: " + prefix + c.warning + "\n"), 1u) << err();
        EXPECT_EQ(count_of(err(), prefix + "<-- CHECK_REQUEST 4 "), 0u);
        EXPECT_EQ(count_of(err(), prefix + "--> LOOKUP_RESPONSE 2: NOT OPEN"), 0u);
    }
}

// A client that writes its requests and shuts down its sending side gets
// every answer, then the end of the stream.
TEST_F(DaemonClients, HalfClosedClientsAreAnsweredBeforeTheClose)
{
    std::vector<lp::ClientMessage> batch;
    for (uint32_t serial = 1; serial <= 300; ++serial) {
        if (serial % 3 == 0)
            batch.push_back(make_lookup_request(serial, lp::LOOKUP_ALLMATCH, "mytag", ""));
        else
            batch.push_back(make_check_request(serial, lp::LOOKUP_ALLMATCH, serial % 2 ? "mytag" : "other", "beta"));
    }
    struct case_t {
        const char* name;
        std::vector<lp::ClientMessage> requests;
    };
    const case_t cases[] = {
        {"a check", {make_check_request(1, lp::LOOKUP_ALLMATCH, "mytag", "beta")}},
        {"a lookup", {make_lookup_request(1, lp::LOOKUP_ALLMATCH, "mytag", "")}},
        {"an unknown tag", {make_lookup_request(1, lp::LOOKUP_ALLMATCH, "other", "")}},
        {"a pipelined batch", batch},
        {"nothing", {}},
    };
    int connection = 0;
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string prefix = prefix_of(++connection);
        auto client = daemon.connect();
        ASSERT_TRUE(client->send_raw(frames_of(c.requests)));
        ASSERT_EQ(::shutdown(client->fd(), SHUT_WR), 0);
        bool closed = false;
        const auto answers = answers_until_closed(*client, closed);
        EXPECT_TRUE(closed);
        ASSERT_EQ(answers.size(), c.requests.size()) << err();
        for (const lp::ClientMessage& request : c.requests) {
            const lp::ServerMessage& answer = answers.at(request.serial());
            if (request.lookup_tag() == "other") {
                EXPECT_EQ(answer.error().code(), qv::EC_INVALID_TAG);
            } else if (request.tag() == lp::ClientMessage::CHECK_REQUEST) {
                EXPECT_TRUE(answer.result());
            } else {
                EXPECT_EQ(data_of(answer), (std::vector<std::string>{"alpha", "Beta", "gamma"}));
            }
        }
        ASSERT_TRUE(daemon.wait_for_stderr("Debug: " + prefix + "Destroyed\n"));
        EXPECT_EQ(count_of(err(), prefix + "Disconnected\n"), 1u);
        EXPECT_EQ(count_of(err(), prefix + "Warning"), 0u);
        EXPECT_EQ(count_of(err(), prefix + "--> LOOKUP_RESPONSE 1: NOT OPEN"), 0u);
    }
}

TEST_F(DaemonClients, ExtraFieldsAndAbsentUserAndDomain)
{
    auto client = daemon.connect();
    // Field 8 is not declared; user and domain are absent.
    lp::ClientMessage bare;
    bare.set_tag(lp::ClientMessage::LOOKUP_REQUEST);
    bare.set_serial(3);
    bare.set_lookup_type(lp::LOOKUP_ALLMATCH);
    bare.set_lookup_tag("mytag");
    const std::string body = bare.SerializePartialAsString() + std::string("\x40\x01", 2);
    client->send_raw(frame_of(body));
    const std::optional<lp::ServerMessage> answer = client->receive(daemon_timeout);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->serial(), 3u);
    EXPECT_EQ(data_of(*answer).size(), 3u);
    EXPECT_NE(err().find("tag=\"mytag\", user=\"\", domain=\"\"\n"), std::string::npos);
}

// A client that leaves with answers still to come: its connection is closed
// and destroyed once, and the daemon serves on.
TEST_F(DaemonClients, ClientLeavingWithAnswersPending)
{
    {
        auto client = daemon.connect();
        // Many requests, then close before reading.
        std::vector<lp::ClientMessage> requests;
        for (uint32_t serial = 1; serial <= 200; ++serial)
            requests.push_back(make_lookup_request(serial, lp::LOOKUP_ALLMATCH, "mytag", ""));
        std::string bytes;
        for (const lp::ClientMessage& request : requests)
            bytes += frame_of(body_of(request));
        client->send_raw(bytes);
    }
    ASSERT_TRUE(daemon.wait_for_stderr("Debug: Client 0x1 Destroyed\n"));
    EXPECT_EQ(count_of(err(), "Debug: Client 0x1 Destroyed\n"), 1u);
    EXPECT_EQ(count_of(err(), "Error: "), 0u) << err();
    auto client = daemon.connect();
    client->send_check(1, lp::LOOKUP_ALLMATCH, "mytag", "beta");
    ASSERT_TRUE(client->receive(daemon_timeout));
    EXPECT_NE(err().find("Debug: Client 0x2 Created\n"), std::string::npos);
}

TEST_F(DaemonClients, ANewConfigurationDropsATag)
{
    auto client = daemon.connect();
    client->send_check(1, lp::LOOKUP_ALLMATCH, "mytag", "alpha");
    ASSERT_TRUE(client->receive(daemon_timeout));
    ASSERT_TRUE(daemon.push(2, daemon.config_text()));
    client->send_check(2, lp::LOOKUP_ALLMATCH, "mytag", "alpha");
    const std::optional<lp::ServerMessage> answer = client->receive(daemon_timeout);
    ASSERT_TRUE(answer);
    ASSERT_TRUE(answer->has_error());
    EXPECT_EQ(answer->error().code(), qv::EC_INVALID_TAG);
}

namespace {

const std::string people = "ou=people,dc=example,dc=test";

class DaemonClientsLdap : public ldap_fixture_t {
protected:
    DaemonClientsLdap()
    {
        velbo_test::slapd_options_t options;
        options.ldif = velbo_test::ldif_ou(people) + velbo_test::ldif_user("uid=alice," + people, "alice", "pw");
        server = std::make_unique<velbo_test::slapd_server_t>(options);
        server->start();
    }
    ~DaemonClientsLdap() override { server->resume(); }

    std::unique_ptr<velbo_test::slapd_server_t> server;
};

} // namespace

// An LDAP answer that comes after the client's end of input: a client that
// only shut down its sending side gets it before the close; one that closed
// its socket has it dropped.
TEST_F(DaemonClientsLdap, AnswersThatComeLaterReachAHalfClosedClientOnly)
{
    start({{"people", server->ldap_url() + "/" + people + "?cn?sub?(uid=$u)"}});
    // A pooled connection first, so that the lookups below wait for the server.
    ASSERT_EQ(lookup("people", "alice"), std::vector<std::string>{"alice"});
    int connection = 1;
    for (const bool half : {true, false}) {
        SCOPED_TRACE(half ? "shutdown of the sending side" : "close");
        const std::string prefix = prefix_of(++connection);
        auto other = daemon->connect();
        server->pause();
        ASSERT_TRUE(other->send_lookup(7, lp::LOOKUP_LDAP, "people", "alice"));
        ASSERT_TRUE(daemon->wait_for_stderr(prefix + "<-- LOOKUP_REQUEST 7 "));
        if (half)
            ASSERT_EQ(::shutdown(other->fd(), SHUT_WR), 0);
        else
            other.reset();
        ASSERT_TRUE(daemon->wait_for_stderr(prefix + "Disconnected"));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(count_of(log(), prefix + "Destroyed"), 0u);
        server->resume();
        ASSERT_TRUE(daemon->wait_for_stderr(prefix + "Destroyed", 3 * daemon_timeout));
        const std::string text = log();
        const size_t disconnected = text.find(prefix + "Disconnected");
        const size_t answer = text.find(prefix + (half ? "--> LOOKUP_RESPONSE 7: data: alice" : "--> LOOKUP_RESPONSE 7: NOT OPEN"));
        ASSERT_NE(answer, std::string::npos) << text;
        EXPECT_LT(disconnected, answer);
        EXPECT_LT(answer, text.find(prefix + "Destroyed"));
        if (!half)
            continue;
        bool closed = false;
        const auto answers = answers_until_closed(*other, closed);
        EXPECT_TRUE(closed);
        ASSERT_EQ(answers.count(7), 1u);
        EXPECT_EQ(data_of(answers.at(7)), std::vector<std::string>{"alice"});
    }
}
