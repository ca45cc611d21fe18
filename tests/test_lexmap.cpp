#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cf_lexmap.h"
#include "cf_log.h"
#include "support/capture_log.h"

namespace {

using velbo_test::test_log;

typedef std::vector<std::string> items_t;

void add_list(qv::LexMap& record, const std::string& key, const items_t& items)
{
    qv::LexOption* option = record.add_option();
    option->set_key(key);
    qv::LexValue* value = option->mutable_value();
    for (const std::string& item : items)
        value->add_item(item);
}

qv::LexMap* add_map(qv::LexMap& record, const std::string& key)
{
    qv::LexOption* option = record.add_option();
    option->set_key(key);
    return option->mutable_map();
}

void add_key(qv::LexMap& record, const std::string& key)
{
    record.add_option()->set_key(key);
}

// A record with lists, an empty list, a bare key, nested and empty maps.
qv::LexMap sample_record()
{
    qv::LexMap record;
    add_list(record, "Run_As_User", {"nobody"});
    add_list(record, "empty", {});
    add_key(record, "bare");
    qv::LexMap* nested = add_map(record, "db");
    add_list(*nested, "host", {"a", "b"});
    add_map(*nested, "opts");
    qv::LexMap* deeper = add_map(*nested, "tls");
    add_list(*deeper, "ca", {"/etc/ca.pem"});
    return record;
}

class PrintLexMapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test_log().lines.clear();
        old_threshold = cf_log_threshold;
        cf_log_threshold = CF_LOG_DEBUG;
    }
    void TearDown() override { cf_log_threshold = old_threshold; }

    std::vector<std::string> texts(int level) const
    {
        std::vector<std::string> out;
        for (const auto& line : test_log().lines) {
            EXPECT_EQ(line.first, level) << line.second;
            out.push_back(line.second);
        }
        return out;
    }

    int old_threshold = 0;
};

} // namespace

TEST(LexKey, Normalize)
{
    const std::pair<std::string, std::string> cases[] = {
        {"My_Tag", "mytag"},
        {"__", ""},
        {"", ""},
        {"A-B", "a-b"},
        {"RUN_AS_USER", "runasuser"},
        {"runasuser", "runasuser"},
        {"_x_Y_", "xy"},
        {"\xC3\x84_b\xFF", "\xC3\x84" "b\xFF"},
        {"Tag 1.2", "tag 1.2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalize_lex_key(c.first), c.second) << c.first;
        EXPECT_EQ(normalize_lex_key(normalize_lex_key(c.first)), c.second) << c.first;
        EXPECT_EQ(is_normal_lex_key(c.first), c.first == c.second) << c.first;
        EXPECT_TRUE(is_normal_lex_key(c.second)) << c.first;
    }
}

TEST(LexKey, Equal)
{
    const struct {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"ab_c", "A_B_C__", true},
        {"ab", "abc", false},
        {"abc", "ab", false},
        {"_", "", true},
        {"", "", true},
        {"Run_As_User", "runasuser", true},
        {"__a", "A__", true},
        {"a_b", "a_c", false},
        {"a", "", false},
        {"", "_a", false},
        {"\xC3\x84", "\xC3\xA4", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lex_keys_equal(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(lex_keys_equal(c.b, c.a), c.equal) << c.b << " / " << c.a;
        EXPECT_EQ(normalize_lex_key(c.a) == normalize_lex_key(c.b), c.equal) << c.a;
    }
}

TEST(LexKey, Identifier)
{
    const std::pair<std::string, bool> cases[] = {
        {"", false},        {"run_as_user", true}, {"a-b", false}, {"_", true},
        {"Tag9", true},     {"a b", false},        {"a.b", false}, {"\xC3\xA4", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_lex_identifier(c.first), c.second) << c.first;
}

TEST(LexKey, CamelCase)
{
    const std::pair<std::string, std::string> cases[] = {
        {"run_as_user", "RunAsUser"},
        {"", ""},
        {"_x", "_x"},
        {"a__b", "A_b"},
        {"tag_", "Tag"},
        {"ldap_ca_path", "LdapCaPath"},
        {"Already", "Already"},
        {"x_1", "X1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lex_key_to_camel_case(c.first), c.second) << c.first;
}

TEST(LexValue, CopiesAreDeepAndCompareByContent)
{
    cf_lex_map_t inner;
    inner["k"] = cf_lex_value_t(items_t{"v"});
    cf_lex_value_t value(inner);
    value.mutable_list()->push_back("item");

    cf_lex_value_t copy(value);
    EXPECT_EQ(copy, value);
    ASSERT_NE(copy.map(), value.map());
    copy.mutable_map()->find("k")->mutable_list()->push_back("w");
    copy.mutable_list()->clear();
    EXPECT_NE(copy, value);
    EXPECT_EQ(value.list()->size(), 1u);
    EXPECT_EQ(value.map()->find("k")->list()->size(), 1u);

    cf_lex_value_t assigned;
    assigned = value;
    EXPECT_EQ(assigned, value);

    // Absent and empty parts differ.
    cf_lex_value_t empty;
    EXPECT_EQ(empty.list(), nullptr);
    EXPECT_EQ(empty.map(), nullptr);
    cf_lex_value_t empty_list(items_t{});
    EXPECT_NE(empty, empty_list);
    EXPECT_NE(empty, cf_lex_value_t(cf_lex_map_t()));
    EXPECT_NE(cf_lex_value_t(items_t{"a", "b"}), cf_lex_value_t(items_t{"b", "a"}));
}

TEST(LexMap, LookupIgnoresCaseAndUnderscores)
{
    cf_lex_map_t map;
    map["Run_As_User"].mutable_list()->push_back("nobody");
    map.append("other", cf_lex_value_t(items_t{"1"}));
    map.append("RUNASUSER", cf_lex_value_t(items_t{"second"}));

    ASSERT_NE(map.find("runasuser"), nullptr);
    EXPECT_EQ(*map.find("runasuser")->list(), items_t{"nobody"});
    EXPECT_EQ(map.find("missing"), nullptr);
    const cf_lex_map_t& const_map = map;
    EXPECT_EQ(const_map.find("OTHER")->list()->at(0), "1");

    // operator[] finds the first match or appends the key unchanged.
    map["run_as_user"].mutable_list()->push_back("more");
    EXPECT_EQ(map.size(), 3u);
    cf_lex_value_t& added = map["New_Key"];
    EXPECT_EQ(added, cf_lex_value_t());
    EXPECT_EQ(map.size(), 4u);
    EXPECT_EQ((map.end() - 1)->first, "New_Key");

    map.erase("run_as_user");
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.begin()->first, "other");
    EXPECT_EQ((map.begin() + 1)->first, "New_Key");
    map.clear();
    EXPECT_TRUE(map.empty());
}

TEST(LexMap, EqualityIsPositional)
{
    cf_lex_map_t a;
    a.append("x_y", cf_lex_value_t(items_t{"1"}));
    a.append("z", cf_lex_value_t());
    cf_lex_map_t b;
    b.append("XY", cf_lex_value_t(items_t{"1"}));
    b.append("Z", cf_lex_value_t());
    EXPECT_EQ(a, b);

    cf_lex_map_t swapped;
    swapped.append("z", cf_lex_value_t());
    swapped.append("x_y", cf_lex_value_t(items_t{"1"}));
    EXPECT_NE(a, swapped);

    b.append("extra", cf_lex_value_t());
    EXPECT_NE(a, b);
}

TEST(LexMap, FromProtoAccumulatesRepeatedKeys)
{
    qv::LexMap record;
    add_list(record, "a", {"x"});
    add_key(record, "b");
    add_list(record, "A", {"y"});
    add_list(record, "_a_", {"z"});
    add_list(record, "b", {});

    const cf_lex_map_t map(record);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.begin()->first, "a");
    EXPECT_EQ(*map.begin()->second.list(), (items_t{"x", "y", "z"}));
    EXPECT_EQ(map.begin()->second.map(), nullptr);
    ASSERT_NE(map.find("b")->list(), nullptr);
    EXPECT_TRUE(map.find("b")->list()->empty());
}

TEST(LexMap, FromProtoReplacesNestedMapsAndEmptiesFirst)
{
    qv::LexMap record;
    add_list(*add_map(record, "m"), "old", {"1"});
    add_list(record, "m", {"item"});
    add_list(*add_map(record, "M"), "new", {"2"});

    cf_lex_map_t map;
    map.append("stale", cf_lex_value_t());
    map.from_proto(record);
    ASSERT_EQ(map.size(), 1u);
    const cf_lex_value_t& m = map.begin()->second;
    ASSERT_NE(m.list(), nullptr);
    EXPECT_EQ(*m.list(), items_t{"item"});
    ASSERT_NE(m.map(), nullptr);
    EXPECT_EQ(m.map()->size(), 1u);
    EXPECT_EQ(m.map()->find("old"), nullptr);
    EXPECT_EQ(*m.map()->find("new")->list(), items_t{"2"});
}

TEST(LexMap, ValueFromOption)
{
    qv::LexMap record = sample_record();
    EXPECT_EQ(cf_lex_value_t(record.option(0)), cf_lex_value_t(items_t{"nobody"}));
    EXPECT_EQ(cf_lex_value_t(record.option(1)), cf_lex_value_t(items_t{}));
    EXPECT_EQ(cf_lex_value_t(record.option(2)), cf_lex_value_t());
    const cf_lex_value_t db(record.option(3));
    EXPECT_EQ(db.list(), nullptr);
    ASSERT_NE(db.map(), nullptr);
    EXPECT_EQ(*db.map(), cf_lex_map_t(record.option(3).map()));
}

TEST(LexMap, ToProtoRoundTrips)
{
    const qv::LexMap record = sample_record();
    const cf_lex_map_t map(record);
    qv::LexMap back;
    map.to_proto(&back);
    EXPECT_EQ(back.SerializeAsString(), record.SerializeAsString());
    EXPECT_TRUE(back.IsInitialized());
    EXPECT_EQ(cf_lex_map_t(back), map);

    // Appends to what the record holds.
    map.to_proto(&back);
    EXPECT_EQ(back.option_size(), 2 * record.option_size());
}

TEST(LexMap, ToProtoWritesOnlyTheListOfAValueWithBoth)
{
    cf_lex_value_t both(items_t{"i"});
    (*both.mutable_map())["k"] = cf_lex_value_t(items_t{"v"});
    cf_lex_map_t map;
    map.append("both", both);
    map.append("none", cf_lex_value_t());

    qv::LexMap record;
    map.to_proto(&record);
    ASSERT_EQ(record.option_size(), 2);
    EXPECT_EQ(record.option(0).key(), "both");
    ASSERT_TRUE(record.option(0).has_value());
    EXPECT_EQ(record.option(0).value().item(0), "i");
    EXPECT_FALSE(record.option(0).has_map());
    EXPECT_EQ(record.option(1).key(), "none");
    EXPECT_FALSE(record.option(1).has_value());
    EXPECT_FALSE(record.option(1).has_map());
}

TEST_F(PrintLexMapTest, LinesPerLeaf)
{
    print_lex_map(CF_LOG_INFO, "cfg: ", cf_lex_map_t(sample_record()));
    EXPECT_EQ(texts(CF_LOG_INFO), (std::vector<std::string>{
                                      "cfg: Run_As_User = \"nobody\"",
                                      "cfg: empty = <empty list>",
                                      "cfg: bare = <nil>",
                                      "cfg: db.host = \"a\"",
                                      "cfg: db.host = \"b\"",
                                      "cfg: db.opts = <empty map>",
                                      "cfg: db.tls.ca = \"/etc/ca.pem\"",
                                  }));
}

TEST_F(PrintLexMapTest, ValueWithListAndMap)
{
    cf_lex_value_t both(items_t{"i"});
    (*both.mutable_map())["k"] = cf_lex_value_t();
    cf_lex_value_t empty_both(items_t{});
    empty_both.mutable_map();
    cf_lex_map_t map;
    map.append("x", both);
    map.append("y", empty_both);
    print_lex_map(CF_LOG_WARNING, "", map);
    EXPECT_EQ(texts(CF_LOG_WARNING), (std::vector<std::string>{
                                         "x = \"i\"",
                                         "x.k = <nil>",
                                         "y = <empty list>",
                                         "y = <empty map>",
                                     }));
}

TEST_F(PrintLexMapTest, EmptyTree)
{
    print_lex_map(CF_LOG_ERROR, "opts ", cf_lex_map_t());
    EXPECT_EQ(texts(CF_LOG_ERROR), std::vector<std::string>{"opts <empty map>"});
}

TEST_F(PrintLexMapTest, NothingBelowThreshold)
{
    cf_log_threshold = CF_LOG_NOTICE;
    print_lex_map(CF_LOG_INFO, "p", cf_lex_map_t(sample_record()));
    EXPECT_TRUE(test_log().lines.empty());
    print_lex_map(CF_LOG_NOTICE, "p", cf_lex_map_t());
    EXPECT_EQ(texts(CF_LOG_NOTICE), std::vector<std::string>{"p<empty map>"});
}
