// URL percent-coding and internationalised domain names (Punycode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Percent-encodes every byte but alphanumerics, "*+-._" and the byte keep
// (0 to 255; -1 for none).
std::string url_encode(const char* data, size_t length, int keep);

// Decodes "%XX" escapes and "+" (a blank). A bad hexadecimal digit throws
// boost::algorithm::non_hex_input; a truncated escape gives the empty text.
std::string url_decode(const char* data, size_t length);

// The ACE prefix of encoded labels, "xn--".
extern const std::string idn_ace_prefix;

// True for a byte that makes a label need Punycode.
bool idn_needs_encoding(char c);

// UTF-8 names to and from their ASCII form, label by label; a label that
// cannot be converted becomes empty.
std::string idn_to_ascii(const char* data, size_t length);
std::string idn_to_unicode(const char* data, size_t length);

// Punycode (RFC 3492).
enum punycode_status {
    punycode_success = 0,
    punycode_bad_input = 1,
    punycode_big_output = 2,
    punycode_overflow = 3,
};

typedef uint32_t punycode_uint;

// Encodes input_length code points into at most *output_length ASCII
// characters (no terminator); *output_length becomes the number written.
// case_flags may be null; otherwise a non-zero flag asks for an upper-case
// form of that code point.
punycode_status punycode_encode(punycode_uint input_length, const punycode_uint input[],
                                const unsigned char case_flags[], punycode_uint* output_length,
                                char output[]);

// Decodes input_length ASCII characters into at most *output_length code
// points; *output_length becomes the number written. case_flags may be null;
// otherwise it receives one flag per code point.
punycode_status punycode_decode(punycode_uint input_length, const char input[],
                                punycode_uint* output_length, punycode_uint output[],
                                unsigned char case_flags[]);

// Bias adaptation.
punycode_uint punycode_adapt(punycode_uint delta, punycode_uint numpoints, bool firsttime);
