// What the four list-file back-ends share, through the real daemon: reading
// and trimming the file, the answer caches and their Debug lines, errors of
// the "File" setting, and rereading after a new configuration.
#include <sstream>

#include <gtest/gtest.h>

#include "lists/dbg_duration.h"
#include "support/daemon_lists_fixture.h"

namespace {

using ListFiles = lists_fixture_t;

// "<label><n> <unit>" with <n> replaced by <t>, when the text is an
// elapsed time after one of the labels; otherwise the text unchanged.
std::string without_elapsed_time(const std::string& text)
{
    for (const std::string label : {"search_for :: ", "duration: "}) {
        if (text.compare(0, label.size(), label) != 0)
            continue;
        for (const std::string unit : {" milliseconds", " microseconds", " nanoseconds"}) {
            if (text.size() <= label.size() + unit.size() ||
                text.compare(text.size() - unit.size(), unit.size(), unit) != 0)
                continue;
            const std::string number = text.substr(label.size(), text.size() - label.size() - unit.size());
            if (number.find_first_not_of("-0123456789") == std::string::npos)
                return label + "<t>";
        }
    }
    return text;
}

// The text after "Datasource [<tag>.<type>]: " of every line about the tag,
// after the level word, with elapsed times replaced by <t>.
std::vector<std::string> datasource_lines(const std::string& log, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    const std::string head = "Datasource [" + prefix + "]: ";
    while (std::getline(in, line)) {
        const size_t at = line.find(head);
        if (at != std::string::npos)
            lines.push_back(line.substr(0, at) + without_elapsed_time(line.substr(at + head.size())));
    }
    return lines;
}

} // namespace

TEST_F(ListFiles, LinesAreTrimmedAndBlankAndCommentLinesSkipped)
{
    const std::string path = write_file("words.txt",
                                        "first\n"
                                        "\n"
                                        "   \n"
                                        "# comment\n"
                                        "   # indented comment\n"
                                        "\tsecond\t\r\n"
                                        "third # not a comment\r\n"
                                        "  #\n"
                                        "last");
    const std::string only_comments = write_file("comments.txt", "\n# one\n   \n\t\r\n  # two\n");
    start({{lp::LOOKUP_ALLMATCH, "words", path}, {lp::LOOKUP_MASK, "nothing", only_comments}});

    const size_t mark = log_mark();
    EXPECT_EQ(lookup(lp::LOOKUP_ALLMATCH, "words"),
              (std::vector<std::string>{"first", "second", "third # not a comment", "last"}));
    EXPECT_EQ(datasource_lines(log_since(mark), "words.allmatch"),
              (std::vector<std::string>{
                  "Debug: File is \"" + path + "\"",
                  "Debug: File is NOT cached.",
                  "Debug: Got \"first\"",
                  "Debug: Got \"second\"",
                  "Debug: Got \"third # not a comment\"",
                  "Debug: Got \"last\"",
              }));
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "words", "second"));
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "words", "second\r"));
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "words", "# comment"));

    // Only blank and comment lines: nothing listed, nothing found, no error.
    const lp::ServerMessage listed = ask_lookup(lp::LOOKUP_MASK, "nothing");
    EXPECT_FALSE(listed.has_error());
    EXPECT_EQ(listed.data_size(), 0);
    EXPECT_FALSE(check(lp::LOOKUP_MASK, "nothing", "*"));
    EXPECT_FALSE(check(lp::LOOKUP_MASK, "nothing", "# one"));
    EXPECT_EQ(count_of(log(), "[nothing.mask]: Got "), 0u);
}

TEST_F(ListFiles, MissingFileFailsEachRequestUntilItExists)
{
    const std::string path = path_of("later.txt");
    start({{lp::LOOKUP_CIDR, "later", path}});
    const std::string error_line = "Error: Datasource [later.cidr]: Cannot open file \"" + path + "\"\n";

    const lp::ServerMessage listed = ask_lookup(lp::LOOKUP_CIDR, "later");
    ASSERT_TRUE(listed.has_error());
    EXPECT_EQ(listed.error().code(), qv::EC_IO_ERROR);
    EXPECT_EQ(listed.error().what(), "IO error");
    EXPECT_EQ(listed.data_size(), 0);

    const lp::ServerMessage checked = ask_check(lp::LOOKUP_CIDR, "later", "192.0.2.1");
    ASSERT_TRUE(checked.has_error());
    EXPECT_EQ(checked.error().code(), qv::EC_IO_ERROR);
    EXPECT_FALSE(checked.has_result());
    EXPECT_EQ(count_of(log(), error_line), 2u) << log();
    EXPECT_EQ(count_of(log(), "Request \"192.0.2.1\" NOT found."), 0u);

    // The failed check was not cached: once the file exists it is read.
    write_file("later.txt", "192.0.2.0/24\n");
    EXPECT_TRUE(check(lp::LOOKUP_CIDR, "later", "192.0.2.1"));
    EXPECT_EQ(lookup(lp::LOOKUP_CIDR, "later"), std::vector<std::string>{"192.0.2.0/24"});
    EXPECT_EQ(count_of(log(), error_line), 2u);
    EXPECT_EQ(count_of(log(), "[later.cidr]: File is NOT cached."), 3u);
}

TEST_F(ListFiles, MissingOrEmptyFileSettingIsABadConfiguration)
{
    const std::vector<list_tag_t> tags = {
        {lp::LOOKUP_ALLMATCH, "unset", std::nullopt}, {lp::LOOKUP_REGEX, "empty", std::string()},
        {lp::LOOKUP_CIDR, "unset", std::nullopt},     {lp::LOOKUP_MASK, "empty", std::string()},
    };
    start(tags);
    for (const list_tag_t& tag : tags) {
        SCOPED_TRACE(tag.tag + " of type " + std::to_string(tag.type));
        const lp::ServerMessage listed = ask_lookup(tag.type, tag.tag);
        ASSERT_TRUE(listed.has_error());
        EXPECT_EQ(listed.error().code(), qv::EC_BAD_CONFIG);
        const lp::ServerMessage checked = ask_check(tag.type, tag.tag, "x");
        ASSERT_TRUE(checked.has_error());
        EXPECT_EQ(checked.error().code(), qv::EC_BAD_CONFIG);
        EXPECT_FALSE(checked.has_result());
    }
    for (const char* prefix : {"unset.allmatch", "empty.regex", "unset.cidr", "empty.mask"})
        EXPECT_EQ(count_of(log(), std::string("Error: Datasource [") + prefix +
                                      "]: Mandatory \"File\" parameter is not specified\n"),
                  2u)
            << prefix;
}

TEST_F(ListFiles, RepeatedChecksAreAnsweredFromTheCaches)
{
    const std::string path = write_file("cached.txt", "alpha\n");
    start({{lp::LOOKUP_ALLMATCH, "cached", path}});

    size_t mark = log_mark();
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "cached", "ALPHA"));
    EXPECT_EQ(datasource_lines(log_since(mark), "cached.allmatch"),
              (std::vector<std::string>{
                  "Debug: Request \"ALPHA\" is not cached, searching...",
                  "Debug: File is \"" + path + "\"",
                  "Debug: File is NOT cached.",
                  "Debug: Got \"alpha\"",
                  "Debug: search_for :: <t>",
                  "Debug: Request \"ALPHA\" found.",
                  "Debug: duration: <t>",
              }));

    mark = log_mark();
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "cached", "ALPHA"));
    EXPECT_EQ(datasource_lines(log_since(mark), "cached.allmatch"),
              (std::vector<std::string>{
                  "Debug: Request \"ALPHA\" found in \"found\" cache.",
                  "Debug: duration: <t>",
              }));

    mark = log_mark();
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "cached", "beta"));
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "cached", "beta"));
    EXPECT_EQ(datasource_lines(log_since(mark), "cached.allmatch"),
              (std::vector<std::string>{
                  "Debug: Request \"beta\" is not cached, searching...",
                  "Debug: File is \"" + path + "\"",
                  "Debug: search_for :: <t>",
                  "Debug: Request \"beta\" NOT found.",
                  "Debug: duration: <t>",
                  "Debug: Request \"beta\" found in \"NOT found\" cache.",
                  "Debug: duration: <t>",
              }));

    // The tag spelled otherwise names the same tag and the same answers.
    mark = log_mark();
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "Cac_HED", "ALPHA"));
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "cached", "beta"));
    EXPECT_EQ(datasource_lines(log_since(mark), "cached.allmatch"),
              (std::vector<std::string>{
                  "Debug: Request \"ALPHA\" found in \"found\" cache.",
                  "Debug: duration: <t>",
                  "Debug: Request \"beta\" found in \"NOT found\" cache.",
                  "Debug: duration: <t>",
              }));

    // The caches compare the request text byte for byte.
    mark = log_mark();
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "cached", "alpha"));
    EXPECT_EQ(count_of(log_since(mark), "Request \"alpha\" is not cached, searching..."), 1u);
}

// Thousands of found and not-found answers share one table per tag: after
// it has grown many times, every value still gets its own answer, and the
// second time from the cache.
TEST_F(ListFiles, ManyCachedAnswersKeepTheirOwn)
{
    std::string lines;
    for (int i = 0; i < 4000; i += 2)
        lines += "w" + std::to_string(i) + "\n";
    start({{lp::LOOKUP_ALLMATCH, "many", write_file("many.txt", lines)}});

    constexpr uint32_t values = 10000;
    std::vector<lp::ClientMessage> requests;
    for (uint32_t i = 0; i < values; ++i)
        requests.push_back(check_request(i + 1, lp::LOOKUP_ALLMATCH, "many", "w" + std::to_string(i)));
    for (int round = 0; round < 2; ++round) {
        const size_t mark = log_mark();
        const auto answers = client->exchange(requests, std::chrono::seconds(30));
        ASSERT_EQ(answers.size(), values);
        for (uint32_t i = 0; i < values; ++i) {
            const lp::ServerMessage& answer = answers.at(i + 1);
            ASSERT_FALSE(answer.has_error()) << i;
            EXPECT_EQ(answer.result(), i % 2 == 0 && i < 4000) << "w" << i << " in round " << round;
        }
        const std::string logged = log_since(mark);
        EXPECT_EQ(count_of(logged, "is not cached, searching..."), round == 0 ? values : 0u);
        EXPECT_EQ(count_of(logged, "found in \"found\" cache."), round == 0 ? 0u : 2000u);
        EXPECT_EQ(count_of(logged, "found in \"NOT found\" cache."), round == 0 ? 0u : values - 2000);
    }
}

TEST_F(ListFiles, LookupsReadTheFileOnce)
{
    const std::string path = write_file("once.txt", "one\ntwo\n");
    start({{lp::LOOKUP_MASK, "once", path}});
    EXPECT_EQ(lookup(lp::LOOKUP_MASK, "once"), (std::vector<std::string>{"one", "two"}));

    const size_t mark = log_mark();
    EXPECT_EQ(lookup(lp::LOOKUP_MASK, "once"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(datasource_lines(log_since(mark), "once.mask"),
              (std::vector<std::string>{
                  "Debug: File is \"" + path + "\"",
                  "Debug: File is already cached.",
              }));
}

TEST_F(ListFiles, NewConfigurationRereadsTheFileAndEmptiesTheCaches)
{
    const std::string path = write_file("edited.txt", "one\n");
    const std::vector<list_tag_t> tags = {{lp::LOOKUP_ALLMATCH, "edited", path}};
    start(tags);
    EXPECT_EQ(lookup(lp::LOOKUP_ALLMATCH, "edited"), std::vector<std::string>{"one"});
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "edited", "one"));
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "edited", "two"));

    // An edit alone changes nothing.
    write_file("edited.txt", "two\n");
    EXPECT_EQ(lookup(lp::LOOKUP_ALLMATCH, "edited"), std::vector<std::string>{"one"});
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "edited", "two"));
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "edited", "one"));

    reconfigure(tags);
    size_t mark = log_mark();
    EXPECT_TRUE(check(lp::LOOKUP_ALLMATCH, "edited", "two"));
    EXPECT_EQ(count_of(log_since(mark), "Request \"two\" is not cached, searching..."), 1u);
    EXPECT_EQ(count_of(log_since(mark), "[edited.allmatch]: File is NOT cached."), 1u);
    mark = log_mark();
    EXPECT_FALSE(check(lp::LOOKUP_ALLMATCH, "edited", "one"));
    EXPECT_EQ(count_of(log_since(mark), "Request \"one\" NOT found."), 1u);
    EXPECT_EQ(lookup(lp::LOOKUP_ALLMATCH, "edited"), std::vector<std::string>{"two"});
}

TEST_F(ListFiles, TagsSharingAFileEachReadIt)
{
    const std::string path = write_file("shared.txt", "10.0.0.0/8\n");
    start({{lp::LOOKUP_CIDR, "left", path}, {lp::LOOKUP_CIDR, "right", path}});
    EXPECT_EQ(lookup(lp::LOOKUP_CIDR, "left"), std::vector<std::string>{"10.0.0.0/8"});
    EXPECT_TRUE(check(lp::LOOKUP_CIDR, "right", "10.1.1.1"));
    EXPECT_EQ(lookup(lp::LOOKUP_CIDR, "right"), std::vector<std::string>{"10.0.0.0/8"});
    EXPECT_EQ(count_of(log(), "[left.cidr]: File is NOT cached."), 1u);
    EXPECT_EQ(count_of(log(), "[right.cidr]: File is NOT cached."), 1u);
}

TEST_F(ListFiles, PathsInMessagesAreQuotedAndEscaped)
{
    const std::string path = write_file("odd \"name\" & co.txt", "x\n");
    const std::string missing = path_of("gone & \"lost\".txt");
    start({{lp::LOOKUP_MASK, "odd", path}, {lp::LOOKUP_MASK, "gone", missing}});
    EXPECT_EQ(lookup(lp::LOOKUP_MASK, "odd"), std::vector<std::string>{"x"});
    EXPECT_EQ(ask_lookup(lp::LOOKUP_MASK, "gone").error().code(), qv::EC_IO_ERROR);
    const std::string dir = daemon->dir.path();
    EXPECT_EQ(count_of(log(), "[odd.mask]: File is \"" + dir + "/odd &\"name&\" && co.txt\"\n"), 1u) << log();
    EXPECT_EQ(count_of(log(), "[gone.mask]: Cannot open file \"" + dir + "/gone && &\"lost&\".txt\"\n"), 1u);
}

TEST(ListElapsedText, UnitFollowsTheSize)
{
    const struct {
        int64_t microseconds;
        const char* text;
    } cases[] = {
        {1500, "t: 1500 microseconds"}, {2500, "t: 2 milliseconds"}, {2000, "t: 2 milliseconds"},
        {1999, "t: 1999 microseconds"}, {2, "t: 2 microseconds"},    {1, "t: 1000 nanoseconds"},
        {0, "t: 0 nanoseconds"},        {-3, "t: -3000 nanoseconds"}, {7654321, "t: 7654 milliseconds"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dbg_elapsed_text("t: ", c.microseconds), c.text) << c.microseconds;
}
