// The CIDR and regex list matchers against the plain matching they replace:
// cidr_match over every network, and boost::u32regex_search over the value's
// UTF-8 bytes for every pattern in file order.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lists/lp_cidr_client.h"
#include "lists/lp_regex_set.h"

namespace {

// An entry as parsing a line with the given prefix length makes it.
lp_cidr_entry_t network(int family, const unsigned char* address, int prefix)
{
    lp_cidr_entry_t entry;
    entry.family = family;
    std::memcpy(entry.address, address, family == AF_INET ? 4 : 16);
    if (family == AF_INET) {
        if (prefix != 0)
            entry.mask = htonl(0xffffffffu << (32 - prefix));
    } else {
        entry.whole_words = prefix / 32;
        entry.rest_bits = prefix % 32;
        if (entry.rest_bits != 0)
            entry.mask = htonl(0xffffffffu << (32 - entry.rest_bits));
    }
    return entry;
}

struct cidr_round_t {
    std::mt19937_64& random;
    std::vector<lp_cidr_entry_t> entries;
    // A few bases so that networks nest, overlap and touch.
    unsigned char v4_bases[4][4];
    unsigned char v6_bases[4][16];

    explicit cidr_round_t(std::mt19937_64& random) : random(random)
    {
        for (auto& base : v4_bases)
            for (unsigned char& byte : base)
                byte = static_cast<unsigned char>(random());
        for (auto& base : v6_bases)
            for (unsigned char& byte : base)
                byte = static_cast<unsigned char>(random());
    }

    // Random bytes after the first `keep` bits of a base.
    void scramble(unsigned char* bytes, int size, int keep)
    {
        for (int bit = keep; bit < size * 8; ++bit) {
            if (random() & 1)
                bytes[bit / 8] ^= static_cast<unsigned char>(0x80 >> (bit % 8));
        }
    }

    lp_cidr_entry_t random_network()
    {
        unsigned char bytes[16] = {};
        if (random() % 3 != 0) {
            std::memcpy(bytes, v4_bases[random() % 4], 4);
            scramble(bytes, 4, static_cast<int>(random() % 25));
            return network(AF_INET, bytes, static_cast<int>(random() % 33));
        }
        std::memcpy(bytes, v6_bases[random() % 4], 16);
        scramble(bytes, 16, static_cast<int>(random() % 100));
        // A short IPv6 prefix now and then, /0 included.
        const int prefix = random() % 50 == 0 ? static_cast<int>(random() % 8) : 8 + static_cast<int>(random() % 121);
        return network(AF_INET6, bytes, prefix);
    }

    // Addresses inside, at and next to the edges of a listed network, or
    // anywhere near the bases.
    lp_cidr_entry_t random_address()
    {
        lp_cidr_entry_t value;
        const lp_cidr_entry_t& near = entries[random() % entries.size()];
        value.family = near.family;
        const int size = near.family == AF_INET ? 4 : 16;
        std::memcpy(value.address, near.address, static_cast<size_t>(size));
        const int prefix = near.family == AF_INET ? (near.mask == 0xffffffffu ? 32 : __builtin_popcount(near.mask))
                                                   : near.whole_words * 32 + near.rest_bits;
        switch (random() % 4) {
        case 0:  // anywhere in the network
            scramble(value.address, size, prefix);
            break;
        case 1:  // its first or last address, or one beside them
            {
                // All host bits the same, then step one address either way.
                const bool high = random() & 1;
                for (int bit = prefix; bit < size * 8; ++bit) {
                    const unsigned char flag = static_cast<unsigned char>(0x80 >> (bit % 8));
                    value.address[bit / 8] = static_cast<unsigned char>(
                        high ? value.address[bit / 8] | flag : value.address[bit / 8] & ~flag);
                }
                const int step = static_cast<int>(random() % 3) - 1;
                for (int byte = size - 1; byte >= 0 && step != 0; --byte) {
                    const int sum = value.address[byte] + step;
                    value.address[byte] = static_cast<unsigned char>(sum);
                    if (sum >= 0 && sum <= 255)
                        break;
                }
            }
            break;
        case 2:  // near the prefix the network was drawn from
            scramble(value.address, size, static_cast<int>(random() % (size * 8 + 1)));
            break;
        default:  // anywhere
            for (int i = 0; i < size; ++i)
                value.address[i] = static_cast<unsigned char>(random());
        }
        return value;
    }
};

bool any_match(const std::vector<lp_cidr_entry_t>& entries, const lp_cidr_entry_t& value)
{
    for (const lp_cidr_entry_t& entry : entries) {
        if (cidr_match(value, entry))
            return true;
    }
    return false;
}

} // namespace

TEST(CidrNetworks, AnswersAsCidrMatchOverEveryNetwork)
{
    std::mt19937_64 random(0xc1d2);
    uint64_t checked = 0, found = 0;
    for (int seed = 0; seed < 2; ++seed) {
        for (const size_t count : {1, 2, 5, 17, 60, 250, 1000, 4000}) {
            cidr_round_t round(random);
            lp_cidr_networks_t networks;
            for (size_t i = 0; i < count; ++i) {
                round.entries.push_back(round.random_network());
                networks.add(round.entries.back());
            }
            const size_t addresses = std::min<size_t>(200000, 40000000 / count);
            for (size_t i = 0; i < addresses; ++i) {
                const lp_cidr_entry_t value = round.random_address();
                const bool expected = any_match(round.entries, value);
                ASSERT_EQ(networks.contains(value), expected) << "round of " << count << ", address " << i;
                found += expected;
                ++checked;
            }
        }
    }
    // Both answers are common, so both are checked.
    EXPECT_GE(checked, 2000000u);
    EXPECT_GT(found, checked / 5);
    EXPECT_LT(found, checked * 4 / 5);
}

TEST(CidrNetworks, NetworksAddedAfterChecksCount)
{
    std::mt19937_64 random(7);
    cidr_round_t round(random);
    lp_cidr_networks_t networks;
    for (int batch = 0; batch < 5; ++batch) {
        for (int i = 0; i < 40; ++i) {
            round.entries.push_back(round.random_network());
            networks.add(round.entries.back());
        }
        for (int i = 0; i < 20000; ++i) {
            const lp_cidr_entry_t value = round.random_address();
            ASSERT_EQ(networks.contains(value), any_match(round.entries, value)) << "batch " << batch;
        }
    }
}

TEST(CidrNetworks, EdgesOfTheAddressSpace)
{
    const unsigned char zero[16] = {};
    unsigned char ones[16];
    std::memset(ones, 0xff, sizeof ones);
    lp_cidr_entry_t v4_zero = network(AF_INET, zero, 32), v4_ones = network(AF_INET, ones, 32);
    lp_cidr_entry_t v6_zero = network(AF_INET6, zero, 128), v6_ones = network(AF_INET6, ones, 128);
    lp_cidr_entry_t unparsed;

    lp_cidr_networks_t empty;
    for (const lp_cidr_entry_t* value : {&v4_zero, &v4_ones, &v6_zero, &v6_ones, &unparsed})
        EXPECT_FALSE(empty.contains(*value));

    // Every IPv6 address, and the last IPv4 address alone.
    lp_cidr_networks_t all;
    all.add(network(AF_INET6, ones, 0));
    all.add(network(AF_INET, ones, 32));
    all.add(network(AF_INET, ones, 0));
    EXPECT_TRUE(all.contains(v6_zero));
    EXPECT_TRUE(all.contains(v6_ones));
    EXPECT_TRUE(all.contains(v4_ones));
    EXPECT_FALSE(all.contains(v4_zero));
    EXPECT_FALSE(all.contains(unparsed));

    // Networks at both ends of the space.
    lp_cidr_networks_t ends;
    ends.add(network(AF_INET, zero, 1));
    ends.add(network(AF_INET, ones, 1));
    ends.add(network(AF_INET6, zero, 1));
    ends.add(network(AF_INET6, ones, 127));
    EXPECT_TRUE(ends.contains(v4_zero));
    EXPECT_TRUE(ends.contains(v4_ones));
    EXPECT_TRUE(ends.contains(v6_zero));
    EXPECT_TRUE(ends.contains(v6_ones));
    unsigned char below[16];
    std::memset(below, 0xff, sizeof below);
    below[15] = 0xfd;
    EXPECT_FALSE(ends.contains(network(AF_INET6, below, 128)));
    below[0] = 0x7f;  // in ::/1
    EXPECT_TRUE(ends.contains(network(AF_INET6, below, 128)));
}

TEST(RegexFactors, LiteralsEveryMatchContains)
{
    const struct {
        const char* pattern;
        std::vector<std::string> factors;  // sorted
    } cases[] = {
        {"abc", {"abc"}},
        {"AbC", {"abc"}},
        {"^svc-12-[a-z]{3,8}@corp\\.example\\.net$", {"@corp.example.net", "svc-12-"}},
        {"admin7\\b", {"admin7"}},
        {"(ops|dev)-team-4", {"-team-4"}},
        {"ab*c", {"a", "c"}},
        {"ab+c", {"ab", "c"}},
        {"ab?c", {"a", "c"}},
        {"ab{0,3}c", {"a", "c"}},
        {"ab{2}c", {"ab", "c"}},
        {"ab{2,}?c", {"ab", "c"}},
        {"(foo)?bar", {"bar"}},
        {"(foo)+bar", {"bar", "foo"}},
        {"(?:foo)bar", {"bar", "foo"}},
        {"x(y(z|w))v", {"v", "x", "y"}},
        {"[abc]def", {"def"}},
        {"[]x]yz", {"yz"}},
        {"[^]x]yz", {"yz"}},
        {"[[:alpha:]]z", {"z"}},
        {"[a\\]b]cd", {"cd"}},
        {"\\d+xyz\\s", {"xyz"}},
        {"ab\\bcd", {"ab", "cd"}},
        // Escaped punctuation that asserts a position is no literal.
        {"ab\\`cd", {"ab", "cd"}},
        {"ab\\'cd", {"ab", "cd"}},
        {"\\<ab\\>cd", {"ab", "cd"}},
        {"a\\(b\\)c\\|d\\*\\+\\?\\{\\}\\[\\]\\^\\$\\/\\\\e", {"a(b)c|d*+?{}[]^$/\\e"}},
        {"a.b", {"a", "b"}},
        {"a b#c", {"a b#c"}},
        // Folded per code point as the case-blind matching does.
        {"\xc4\xb0stanbul", {"istanbul"}},            // İ
        {"\xe2\x84\xaa" "elvin", {"kelvin"}},         // the Kelvin sign
        {"Stra\xc3\x9f" "e", {"stra\xc3\x9f" "e"}},   // ß
        {"\xc5\xbf" "ecure", {"\xc5\xbf" "ecure"}},   // ſ stays
        // Nothing certain: the pattern always runs.
        {"", {}},
        {"a|b", {}},
        {"foo|barbaz", {}},
        {"(?i)abc", {}},
        {"(?x) a b c", {}},
        {"(?=abc)abc", {}},
        {"(*ACCEPT)abc", {}},
        {"\\Qa.b\\E", {}},
        {"\\x41bc", {}},
        {"\\p{L}abc", {}},
        {"(a)\\1bc", {}},
        {"abc[def", {}},
        {"abc(", {}},
        {"abc)", {}},
        {"abc\\", {}},
        {"a{x}bc", {}},
        {"\\`", {}},
        {"\\'", {}},
        {"*abc", {}},
        {"a**bc", {}},
        {"\xff" "abc", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lp_regex_required_factors(c.pattern), c.factors) << '"' << c.pattern << '"';
}

namespace {

// Variants of text that match it without regard to case: letters in either
// case, and the characters that fold like them.
std::string case_variant(std::mt19937_64& random, const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const unsigned pick = static_cast<unsigned>(random() % 4);
        if (c == 'k' && pick == 0)
            out += "\xe2\x84\xaa";  // Kelvin sign
        else if (c == 's' && pick == 0)
            out += "\xc5\xbf";  // ſ
        else if (c == 'i' && pick == 0)
            out += "\xc4\xb0";  // İ
        else if (c == 'i' && pick == 1)
            out += "\xc4\xb1";  // ı
        else if (c >= 'a' && c <= 'z' && pick == 2)
            out += static_cast<char>(c - 'a' + 'A');
        else
            out += c;
    }
    return out;
}

// The answer of boost::u32regex_search over the value's UTF-8 bytes, pattern
// by pattern in file order: 1 found, 0 not found, -1 thrown.
struct reference_answer_t {
    // Of the first pattern that finds a match or throws; 0 when none does.
    int first = 0;
    bool any_found = false;
};

reference_answer_t reference_answer(const std::vector<std::shared_ptr<boost::u32regex>>& regexes,
                                    const std::string& value)
{
    reference_answer_t answer;
    for (const auto& regex : regexes) {
        int outcome = -1;
        try {
            outcome = boost::u32regex_search(value, *regex) ? 1 : 0;
        } catch (const std::exception&) {
        }
        if (answer.first == 0)
            answer.first = outcome;
        if (outcome == 1) {
            answer.any_found = true;
            break;
        }
    }
    return answer;
}

int outcome_of(lp_regex_set_t& set, bool (lp_regex_set_t::*search)(const std::string&), const std::string& value)
{
    try {
        return (set.*search)(value) ? 1 : 0;
    } catch (const std::exception&) {
        return -1;
    }
}

// Trying every pattern in file order answers as the reference does, throws
// included. The filtered search answers the same wherever no pattern throws
// before one matches; otherwise it may throw, or answer from the patterns
// it tried: true only if one of them matches, false only if none does.
::testing::AssertionResult answers_as_reference(lp_regex_set_t& set, const reference_answer_t& expected,
                                                const std::string& value)
{
    const int unfiltered = outcome_of(set, &lp_regex_set_t::search_unfiltered, value);
    const int filtered = outcome_of(set, &lp_regex_set_t::search, value);
    const bool filtered_sound = expected.first != -1 ? filtered == expected.first
                                                     : filtered == -1 || filtered == (expected.any_found ? 1 : 0);
    if (unfiltered == expected.first && filtered_sound)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "value \"" << value << "\" (" << value.size() << " bytes): reference "
                                         << expected.first << (expected.any_found ? " (one found)" : "")
                                         << ", every pattern " << unfiltered << ", filtered " << filtered;
}

} // namespace

TEST(RegexSet, SearchAnswersAsTheRegexSearchOverUtf8)
{
    std::mt19937_64 random(0x5e7);
    const std::vector<std::string> words = {"kiosk", "sis", "ikis", "login", "mail", "smtp", "Kelvin", "İzmir",
                                            "ılık", "ſeks", "straße", "corp", "example", "admin", "ops", "dev",
                                            "team", "svc", "net", "org", "k", "s", "i", "x1", "ß", "ǅ"};
    auto word = [&] { return words[random() % words.size()]; };
    auto number = [&] { return std::to_string(random() % 40); };

    // Patterns in the shapes lists use, with literals shared by many of them.
    std::vector<std::string> pattern_texts;
    for (int i = 0; i < 200; ++i) {
        const std::string a = case_variant(random, word()), b = case_variant(random, word());
        const std::string n = number();
        switch (i % 10) {
        case 0: pattern_texts.push_back("^" + a + "-" + n + "-[a-z]{2,8}@" + b + "\\.example\\.net$"); break;
        case 1: pattern_texts.push_back(a + n + "\\b"); break;
        case 2: pattern_texts.push_back("(" + a + "|" + b + ")-team-" + n); break;
        case 3: pattern_texts.push_back("^[a-z]+\\." + n + "@(mail|smtp)\\.example\\.org$"); break;
        case 4: pattern_texts.push_back(a + "[0-9]*" + b); break;
        case 5: pattern_texts.push_back("(?:" + a + ")?" + b + "+" + n); break;
        case 6: pattern_texts.push_back("\\w+\\." + a + "\\." + b); break;
        case 7: pattern_texts.push_back(a + ".{0,3}" + b); break;
        case 8: pattern_texts.push_back("(?i)" + a + n); break;
        default: pattern_texts.push_back(a + n + "|" + b + "$"); break;
        }
    }
    lp_regex_set_t set;
    std::vector<std::shared_ptr<boost::u32regex>> regexes;
    for (const std::string& text : pattern_texts) {
        regexes.push_back(lp_regex_compile(text));
        set.add(text, regexes.back());
    }

    // Values built from the same words in other cases and spellings, and
    // values of random pieces.
    std::vector<std::string> values = {"", "K", "\xe2\x84\xaa", "\xc4\xb0", "\xc4\xb1", "\xc5\xbf", "ss", "SS"};
    for (int i = 0; i < 30000; ++i) {
        std::string value;
        switch (i % 6) {
        case 0: value = word() + "-" + number() + "-abc@" + word() + ".example.net"; break;
        case 1: value = "user" + number() + "." + number() + "@mail.example.org"; break;
        case 2: value = word() + "-team-" + number(); break;
        case 3: value = word() + number() + " " + word() + word(); break;
        case 4: value = "x." + word() + "." + word(); break;
        default:
            for (int j = 0, n = static_cast<int>(random() % 5); j < n; ++j)
                value += word() + (random() % 2 ? "" : number());
        }
        values.push_back(case_variant(random, value));
    }
    // Long values, where the matcher's budget of states depends on how it
    // steps through the text.
    for (int i = 0; i < 20; ++i) {
        std::string value;
        while (value.size() < 500 + 200 * static_cast<size_t>(i))
            value += word() + (random() % 3 ? "" : random() % 2 ? "." : " ");
        values.push_back(case_variant(random, value));
    }
    // Not valid UTF-8, after and before what a pattern matches.
    values.push_back("kiosk7 \xff");
    values.push_back("\xc3" "kiosk7");
    values.push_back("ops-team-3\xe2\x84");

    size_t found = 0, failed = 0;
    for (const std::string& value : values) {
        const reference_answer_t expected = reference_answer(regexes, value);
        ASSERT_TRUE(answers_as_reference(set, expected, value));
        found += expected.first == 1;
        failed += expected.first == -1;
    }
    EXPECT_GT(found, values.size() / 10);
    EXPECT_LT(found, values.size() * 9 / 10);
    EXPECT_GE(failed, 1u);
}

TEST(RegexSet, BacktrackingSearchesHaveTheBudgetOfTheRegexSearchOverUtf8)
{
    // Values around the lengths where the matcher gives up, by its count of
    // states or by its stack, in the search over UTF-8 text.
    const struct {
        const char* pattern;
        const char* unit;
        size_t from, to, step;
    } cases[] = {
        {"(.{2}|.)*?(x|y)", "a", 16, 24, 2},
        {"(.{2}|.)*?(x|y)", "\xc3\xa4", 16, 24, 2},  // ä: two bytes, one code point
        {"(x+x+)+y", "x", 10, 16, 2},
        // Skipped by the literal filter unless the value holds "yq".
        {"(x+x+)+yq", "x", 10, 16, 2},
        {"(a|b)*c", "ab", 100, 170, 5},
    };
    size_t answered = 0, failed = 0;
    for (const auto& c : cases) {
        lp_regex_set_t set;
        const std::vector<std::shared_ptr<boost::u32regex>> regexes = {lp_regex_compile(c.pattern)};
        set.add(c.pattern, regexes.front());
        for (size_t count = c.from; count <= c.to; count += c.step) {
            std::string value;
            for (size_t i = 0; i < count; ++i)
                value += c.unit;
            for (const std::string& v : {value, value + "yq"}) {
                const reference_answer_t expected = reference_answer(regexes, v);
                EXPECT_TRUE(answers_as_reference(set, expected, v)) << c.pattern;
                answered += expected.first != -1;
                failed += expected.first == -1;
            }
        }
    }
    // Both sides of the limits are reached.
    EXPECT_GE(answered, 40u);
    EXPECT_GE(failed, 8u);
}

TEST(RegexSet, FoldedLettersMatchAsTheRegexDoes)
{
    // Each pattern alone, so that the answer is that pattern's.
    const struct {
        const char* pattern;
        const char* value;
        bool found;
    } cases[] = {
        {"\xc4\xb0stanbul", "istanbul", true},             // İ folds to i
        {"istanbul", "\xc4\xb0STANBUL", true},
        {"\xc4\xb1", "I", false},                          // ı stays ı
        {"\xc4\xb1", "\xc4\xb1", true},
        {"\xe2\x84\xaa" "elvin", "KELVIN", true},          // the Kelvin sign folds to k
        {"kelvin", "\xe2\x84\xaa" "elvin", true},
        {"\xc5\xbf" "ecure", "secure", false},             // ſ stays ſ
        {"secure", "\xc5\xbf" "ecure", false},
        {"\xc5\xbf" "ecure", "\xc5\xbf" "ECURE", true},
        {"stra\xc3\x9f" "e", "STRASSE", false},
        {"stra\xc3\x9f" "e", "STRA\xe1\xba\x9e" "E", true},  // ẞ folds to ß
    };
    for (const auto& c : cases) {
        lp_regex_set_t set;
        set.add(c.pattern, lp_regex_compile(c.pattern));
        EXPECT_EQ(set.search_unfiltered(c.value), c.found) << c.pattern << " / " << c.value;
        EXPECT_EQ(set.search(c.value), c.found) << c.pattern << " / " << c.value;
    }
}

TEST(RegexSet, CompileRefusesBadPatternsWithinTheirBytes)
{
    // Unterminated bracket expressions, some ending in a range, which the
    // regex parser once read past; and patterns that are not UTF-8.
    for (const char* pattern : {"[a-b", "x[0-9", "[[:alpha:]-z", "[a", "\xff", "ab\xff" "c"}) {
        SCOPED_TRACE(pattern);
        EXPECT_THROW(lp_regex_compile(pattern), std::exception);
    }
    EXPECT_TRUE(boost::u32regex_search(std::string("A-B"), *lp_regex_compile("^[a-b]-b$")));
    EXPECT_TRUE(boost::u32regex_search(std::string("anything"), *lp_regex_compile("")));
}

TEST(RegexSet, PatternsAddedAfterAChecksCount)
{
    lp_regex_set_t set;
    set.add("^alpha-[0-9]+$", lp_regex_compile("^alpha-[0-9]+$"));
    EXPECT_TRUE(set.search("ALPHA-12"));
    EXPECT_FALSE(set.search("beta-12"));
    set.add("beta", lp_regex_compile("beta"));
    EXPECT_TRUE(set.search("beta-12"));
    EXPECT_TRUE(set.search("alpha-3"));
    EXPECT_FALSE(set.search("gamma"));
}
