#include <cstdint>
#include <locale>
#include <string>
#include <vector>

#include <boost/algorithm/hex.hpp>
#include <gtest/gtest.h>

#include "cf_strings.h"

namespace {

std::string encode(const std::string& s, int keep = -1)
{
    return url_encode(s.data(), s.size(), keep);
}

std::string decode(const std::string& s)
{
    return url_decode(s.data(), s.size());
}

std::string to_ascii(const std::string& s)
{
    return idn_to_ascii(s.data(), s.size());
}

std::string to_unicode(const std::string& s)
{
    return idn_to_unicode(s.data(), s.size());
}

std::string repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

} // namespace

TEST(UrlEncode, Table)
{
    struct {
        std::string in;
        int keep;
        std::string out;
    } cases[] = {
        {"", -1, ""},
        {"a b", -1, "a%20b"},
        {"a/b", -1, "a%2Fb"},
        {"a+b", -1, "a+b"},
        {"x:y?z", -1, "x%3Ay%3Fz"},
        {"AZaz09*-._", -1, "AZaz09*-._"},
        {"\xE9", -1, "%E9"},
        {std::string("\0\x7F\xFF", 3), -1, "%00%7F%FF"},
        {"p@ss/w:rd", '/', "p%40ss/w%3Ard"},
        {"%", -1, "%25"},
        {"\xE9\xE9", 0xE9, "\xE9\xE9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(encode(c.in, c.keep), c.out) << "input " << c.in << " keep " << c.keep;
}

TEST(UrlDecode, Table)
{
    struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"a%2Fb", "a/b"},
        {"%2f", "/"},
        {"a+b", "a b"},
        {"abc%4", ""},
        {"abc%", ""},
        {"%41%42c", "ABc"},
        {"plain", "plain"},
        {"x%00y", std::string("x\0y", 3)},
        {"%e9%C3%A9", "\xE9\xC3\xA9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.in), c.out) << "input " << c.in;
}

TEST(UrlDecode, BadHexDigitThrows)
{
    EXPECT_THROW(decode("%zz"), boost::algorithm::non_hex_input);
    EXPECT_THROW(decode("ab%4g"), boost::algorithm::non_hex_input);
    EXPECT_THROW(decode("%g4xyz"), boost::algorithm::non_hex_input);
}

TEST(UrlCodec, RoundTrip)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const std::string inputs[] = {"", "user name/with:odd?chars&=#", all, "p%ss", "\xC3\xBC"};
    for (const std::string& in : inputs) {
        std::string expected = in;
        for (char& c : expected)
            if (c == '+')
                c = ' ';
        EXPECT_EQ(decode(encode(in)), expected);
    }
}

namespace {

struct punycode_sample_t {
    const char* name;
    std::string encoded;
    std::vector<punycode_uint> points;
};

// RFC 3492, section 7.1.
const punycode_sample_t rfc_samples[] = {
    {"A", "egbpdaj6bu4bxfgehfvwxn",
     {0x0644, 0x064A, 0x0647, 0x0645, 0x0627, 0x0628, 0x062A, 0x0643, 0x0644, 0x0645, 0x0648, 0x0634, 0x0639, 0x0631, 0x0628, 0x064A, 0x061F}},
    {"B", "ihqwcrb4cv8a8dqg056pqjye",
     {0x4ED6, 0x4EEC, 0x4E3A, 0x4EC0, 0x4E48, 0x4E0D, 0x8BF4, 0x4E2D, 0x6587}},
    {"C", "ihqwctvzc91f659drss3x8bo0yb",
     {0x4ED6, 0x5011, 0x7232, 0x4EC0, 0x9EBD, 0x4E0D, 0x8AAA, 0x4E2D, 0x6587}},
    {"D", "Proprostnemluvesky-uyb24dma41a",
     {0x0050, 0x0072, 0x006F, 0x010D, 0x0070, 0x0072, 0x006F, 0x0073, 0x0074, 0x011B, 0x006E, 0x0065, 0x006D, 0x006C, 0x0075, 0x0076, 0x00ED, 0x010D, 0x0065, 0x0073, 0x006B, 0x0079}},
    {"E", "4dbcagdahymbxekheh6e0a7fei0b",
     {0x05DC, 0x05DE, 0x05D4, 0x05D4, 0x05DD, 0x05E4, 0x05E9, 0x05D5, 0x05D8, 0x05DC, 0x05D0, 0x05DE, 0x05D3, 0x05D1, 0x05E8, 0x05D9, 0x05DD, 0x05E2, 0x05D1, 0x05E8, 0x05D9, 0x05EA}},
    {"F", "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd",
     {0x092F, 0x0939, 0x0932, 0x094B, 0x0917, 0x0939, 0x093F, 0x0928, 0x094D, 0x0926, 0x0940, 0x0915, 0x094D, 0x092F, 0x094B, 0x0902, 0x0928, 0x0939, 0x0940, 0x0902, 0x092C, 0x094B, 0x0932, 0x0938, 0x0915, 0x0924, 0x0947, 0x0939, 0x0948, 0x0902}},
    {"G", "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa",
     {0x306A, 0x305C, 0x307F, 0x3093, 0x306A, 0x65E5, 0x672C, 0x8A9E, 0x3092, 0x8A71, 0x3057, 0x3066, 0x304F, 0x308C, 0x306A, 0x3044, 0x306E, 0x304B}},
    {"H", "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c",
     {0xC138, 0xACC4, 0xC758, 0xBAA8, 0xB4E0, 0xC0AC, 0xB78C, 0xB4E4, 0xC774, 0xD55C, 0xAD6D, 0xC5B4, 0xB97C, 0xC774, 0xD574, 0xD55C, 0xB2E4, 0xBA74, 0xC5BC, 0xB9C8, 0xB098, 0xC88B, 0xC744, 0xAE4C}},
    {"I", "b1abfaaepdrnnbgefbadotcwatmq2g4l",
     {0x043F, 0x043E, 0x0447, 0x0435, 0x043C, 0x0443, 0x0436, 0x0435, 0x043E, 0x043D, 0x0438, 0x043D, 0x0435, 0x0433, 0x043E, 0x0432, 0x043E, 0x0440, 0x044F, 0x0442, 0x043F, 0x043E, 0x0440, 0x0443, 0x0441, 0x0441, 0x043A, 0x0438}},
    {"J", "PorqunopuedensimplementehablarenEspaol-fmd56a",
     {0x0050, 0x006F, 0x0072, 0x0071, 0x0075, 0x00E9, 0x006E, 0x006F, 0x0070, 0x0075, 0x0065, 0x0064, 0x0065, 0x006E, 0x0073, 0x0069, 0x006D, 0x0070, 0x006C, 0x0065, 0x006D, 0x0065, 0x006E, 0x0074, 0x0065, 0x0068, 0x0061, 0x0062, 0x006C, 0x0061, 0x0072, 0x0065, 0x006E, 0x0045, 0x0073, 0x0070, 0x0061, 0x00F1, 0x006F, 0x006C}},
    {"K", "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g",
     {0x0054, 0x1EA1, 0x0069, 0x0073, 0x0061, 0x006F, 0x0068, 0x1ECD, 0x006B, 0x0068, 0x00F4, 0x006E, 0x0067, 0x0074, 0x0068, 0x1EC3, 0x0063, 0x0068, 0x1EC9, 0x006E, 0x00F3, 0x0069, 0x0074, 0x0069, 0x1EBF, 0x006E, 0x0067, 0x0056, 0x0069, 0x1EC7, 0x0074}},
    {"L", "3B-ww4c5e180e575a65lsy2b",
     {0x0033, 0x5E74, 0x0042, 0x7D44, 0x91D1, 0x516B, 0x5148, 0x751F}},
    {"M", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n",
     {0x5B89, 0x5BA4, 0x5948, 0x7F8E, 0x6075, 0x002D, 0x0077, 0x0069, 0x0074, 0x0068, 0x002D, 0x0053, 0x0055, 0x0050, 0x0045, 0x0052, 0x002D, 0x004D, 0x004F, 0x004E, 0x004B, 0x0045, 0x0059, 0x0053}},
    {"N", "Hello-Another-Way--fc4qua05auwb3674vfr0b",
     {0x0048, 0x0065, 0x006C, 0x006C, 0x006F, 0x002D, 0x0041, 0x006E, 0x006F, 0x0074, 0x0068, 0x0065, 0x0072, 0x002D, 0x0057, 0x0061, 0x0079, 0x002D, 0x305D, 0x308C, 0x305E, 0x308C, 0x306E, 0x5834, 0x6240}},
    {"O", "2-u9tlzr9756bt3uc0v",
     {0x3072, 0x3068, 0x3064, 0x5C4B, 0x6839, 0x306E, 0x4E0B, 0x0032}},
    {"P", "MajiKoi5-783gue6qz075azm5e",
     {0x004D, 0x0061, 0x006A, 0x0069, 0x3067, 0x004B, 0x006F, 0x0069, 0x3059, 0x308B, 0x0035, 0x79D2, 0x524D}},
    {"Q", "de-jg4avhby1noc0d",
     {0x30D1, 0x30D5, 0x30A3, 0x30FC, 0x0064, 0x0065, 0x30EB, 0x30F3, 0x30D0}},
    {"R", "d9juau41awczczp",
     {0x305D, 0x306E, 0x30B9, 0x30D4, 0x30FC, 0x30C9, 0x3067}},
    {"S", "-> $1.00 <--",
     {0x002D, 0x003E, 0x0020, 0x0024, 0x0031, 0x002E, 0x0030, 0x0030, 0x0020, 0x003C, 0x002D}},
};

} // namespace

TEST(Punycode, EncodesRfcSamples)
{
    for (const auto& s : rfc_samples) {
        char out[256];
        punycode_uint length = sizeof out;
        ASSERT_EQ(punycode_encode(static_cast<punycode_uint>(s.points.size()), s.points.data(),
                                  nullptr, &length, out),
                  punycode_success)
            << s.name;
        EXPECT_EQ(std::string(out, length), s.encoded) << s.name;
    }
}

TEST(Punycode, DecodesRfcSamples)
{
    for (const auto& s : rfc_samples) {
        std::vector<punycode_uint> out(256);
        punycode_uint length = static_cast<punycode_uint>(out.size());
        ASSERT_EQ(punycode_decode(static_cast<punycode_uint>(s.encoded.size()), s.encoded.data(),
                                  &length, out.data(), nullptr),
                  punycode_success)
            << s.name;
        out.resize(length);
        EXPECT_EQ(out, s.points) << s.name;
    }
}

TEST(Punycode, OutputLimits)
{
    const punycode_sample_t& arabic = rfc_samples[0];
    const punycode_uint n = static_cast<punycode_uint>(arabic.points.size());

    // Exactly enough room succeeds, one byte less does not.
    std::vector<char> out(arabic.encoded.size());
    punycode_uint length = static_cast<punycode_uint>(out.size());
    EXPECT_EQ(punycode_encode(n, arabic.points.data(), nullptr, &length, out.data()),
              punycode_success);
    length = static_cast<punycode_uint>(out.size() - 1);
    EXPECT_EQ(punycode_encode(n, arabic.points.data(), nullptr, &length, out.data()),
              punycode_big_output);

    std::vector<punycode_uint> points(n);
    length = n;
    EXPECT_EQ(punycode_decode(static_cast<punycode_uint>(arabic.encoded.size()),
                              arabic.encoded.data(), &length, points.data(), nullptr),
              punycode_success);
    length = n - 1;
    EXPECT_EQ(punycode_decode(static_cast<punycode_uint>(arabic.encoded.size()),
                              arabic.encoded.data(), &length, points.data(), nullptr),
              punycode_big_output);
}

TEST(Punycode, DecodeErrors)
{
    struct {
        std::string in;
        punycode_status status;
    } cases[] = {
        {"\xC3\xBC-abc", punycode_bad_input},  // non-basic before the delimiter
        {"abc-d+e", punycode_bad_input},       // not a digit
        {"abc-z", punycode_bad_input},         // the number ends early
        {"99999999999999a", punycode_overflow},
    };
    for (const auto& c : cases) {
        std::vector<punycode_uint> out(256);
        punycode_uint length = static_cast<punycode_uint>(out.size());
        EXPECT_EQ(punycode_decode(static_cast<punycode_uint>(c.in.size()), c.in.data(), &length,
                                  out.data(), nullptr),
                  c.status)
            << c.in;
    }
}

TEST(Punycode, EncodeOverflow)
{
    // A delta beyond 32 bits.
    const punycode_uint points[] = {0x10FFFF, 0x10FFFF, 0x10FFFF, 0x10FFFF, 0x80,
                                    0x7FFFFFFF, 0xFFFFFFF0};
    char out[256];
    punycode_uint length = sizeof out;
    EXPECT_EQ(punycode_encode(7, points, nullptr, &length, out), punycode_overflow);
}

TEST(Punycode, CaseFlags)
{
    // Flags turn the last digit of a code point, and basic letters, to upper case.
    const punycode_uint points[] = {'a', 0xFC, 'b'};
    const unsigned char flags[] = {1, 1, 0};
    char out[16];
    punycode_uint length = sizeof out;
    ASSERT_EQ(punycode_encode(3, points, flags, &length, out), punycode_success);
    EXPECT_EQ(std::string(out, length), "Ab-xkA");

    punycode_uint decoded[16];
    unsigned char decoded_flags[16];
    punycode_uint count = 16;
    ASSERT_EQ(punycode_decode(length, out, &count, decoded, decoded_flags), punycode_success);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(decoded[0], static_cast<punycode_uint>('A'));
    EXPECT_EQ(decoded[1], 0xFCu);
    EXPECT_EQ(decoded[2], static_cast<punycode_uint>('b'));
    EXPECT_EQ(decoded_flags[0], 1);
    EXPECT_EQ(decoded_flags[1], 1);
    EXPECT_EQ(decoded_flags[2], 0);
}

TEST(Punycode, Adapt)
{
    // Values of RFC 3492's adapt from an independent implementation.
    struct {
        punycode_uint delta, points;
        bool first;
        punycode_uint bias;
    } cases[] = {
        {0, 1, true, 0},       {100, 2, false, 23},  {700, 1, true, 1},
        {5000, 10, false, 60}, {455, 3, true, 0},    {1000000, 20, false, 105},
    };
    for (const auto& c : cases)
        EXPECT_EQ(punycode_adapt(c.delta, c.points, c.first), c.bias) << c.delta;
}

TEST(Idn, AcePrefix)
{
    EXPECT_EQ(idn_ace_prefix, "xn--");
}

TEST(Idn, NeedsEncoding)
{
    for (char c : std::string("az09AZ-."))
        EXPECT_FALSE(idn_needs_encoding(c)) << c;
    for (char c : std::string("_ @/\x80\xFC"))
        EXPECT_TRUE(idn_needs_encoding(c)) << static_cast<int>(c);
}

TEST(Idn, ToAsciiSeveralLabels)
{
    struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"www.b\xC3\xBC" "cher.de", "www.xn--bcher-kva.de"},
        {"\xE2\x98\x82.\xE2\x98\x83.com", "xn--m3h.xn--n3h.com"},
        {"M\xC3\xBCnchen.example", "xn--Mnchen-3ya.example"},
        {"plain.example.com", "plain.example.com"},
        {"a_b.com", "xn--a_b-.com"},
        {"", ""},
        {"a..b.", "a..b."},
        {".a", ".a"},
        {".", "."},
        // Malformed UTF-8 is skipped.
        {"b\xFF\xC3\xBC" "ch\xC3" "er", "xn--bcher-kva"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(to_ascii(c.in), c.out) << c.in;
}

TEST(Idn, ToUnicodeSeveralLabels)
{
    struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"www.xn--bcher-kva.de", "www.b\xC3\xBC" "cher.de"},
        {"xn--m3h.xn--n3h.com", "\xE2\x98\x82.\xE2\x98\x83.com"},
        {"XN--bcher-kva.de", "XN--bcher-kva.de"},
        {"xn--.com", ".com"},
        {"plain.example", "plain.example"},
        // An RFC sample as one label of a name.
        {"xn--egbpdaj6bu4bxfgehfvwxn.test",
         "\xD9\x84\xD9\x8A\xD9\x87\xD9\x85\xD8\xA7\xD8\xA8\xD8\xAA\xD9\x83\xD9\x84\xD9\x85"
         "\xD9\x88\xD8\xB4\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A\xD8\x9F.test"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(to_unicode(c.in), c.out) << c.in;
}

TEST(Idn, RoundTripOfLabels)
{
    const std::string names[] = {
        "b\xC3\xBC" "cher.sub.example",
        "\xF0\x9F\x98\x80.\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.jp",
        "se\xC3\xB1or.ma\xC3\xB1" "ana",
    };
    for (const std::string& name : names)
        EXPECT_EQ(to_unicode(to_ascii(name)), name) << name;
}

TEST(Idn, UnconvertibleLabelsBecomeEmpty)
{
    // 63 bytes needing encoding still convert; 64 do not.
    const std::string ok = repeat("\xC3\xBC", 31) + "a";
    EXPECT_EQ(to_ascii(ok + ".com"), "xn--a-dhaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.com");
    EXPECT_EQ(to_ascii(repeat("\xC3\xBC", 32) + ".com"), ".com");
    EXPECT_EQ(to_ascii("www." + repeat("\xC3\xBC", 32) + ".com"), "www..com");
    // A long label without anything to encode is kept.
    EXPECT_EQ(to_ascii(repeat("a", 80)), repeat("a", 80));

    // 63 code points decode, 64 do not.
    EXPECT_EQ(to_unicode("xn--" + std::string("tda") + repeat("a", 62)), repeat("\xC3\xBC", 63));
    EXPECT_EQ(to_unicode("xn--tdaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.com"),
              ".com");
    // Bad input and a rest longer than 256 bytes.
    EXPECT_EQ(to_unicode("a.xn--ab+c.b"), "a..b");
    EXPECT_EQ(to_unicode("xn--" + repeat("a", 257) + ".org"), ".org");
}

TEST(Idn, ToUnicodeSkipsInvalidCodePoints)
{
    // Encode a surrogate and a value above U+10FFFF around a valid one.
    const punycode_uint points[] = {0xD800, 0xFC, 0x110000};
    char out[64];
    punycode_uint length = sizeof out;
    ASSERT_EQ(punycode_encode(3, points, nullptr, &length, out), punycode_success);
    EXPECT_EQ(to_unicode("xn--" + std::string(out, length)), "\xC3\xBC");
}
