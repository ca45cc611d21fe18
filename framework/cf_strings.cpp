#include "cf_strings.h"

#include <limits>
#include <locale>
#include <vector>

#include <boost/algorithm/hex.hpp>

const std::string idn_ace_prefix = "xn--";

namespace {

const char upper_hex[] = "0123456789ABCDEF";

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    throw boost::algorithm::non_hex_input();
}

const std::ctype<char>& global_ctype(const std::locale& locale)
{
    return std::use_facet<std::ctype<char>>(locale);
}

// Punycode parameters.
const punycode_uint base = 36;
const punycode_uint tmin = 1;
const punycode_uint tmax = 26;
const punycode_uint skew = 38;
const punycode_uint damp = 700;
const punycode_uint initial_bias = 72;
const punycode_uint initial_n = 0x80;
const char delimiter = '-';
const punycode_uint maxint = std::numeric_limits<punycode_uint>::max();

bool is_basic(punycode_uint cp)
{
    return cp < 0x80;
}

// Digit value of a character, base when it is none.
punycode_uint decode_digit(punycode_uint c)
{
    if (c - '0' < 10)
        return c - '0' + 26;
    if (c - 'A' < 26)
        return c - 'A';
    if (c - 'a' < 26)
        return c - 'a';
    return base;
}

// Character of a digit value (0 to 35), upper case when flag is set.
char encode_digit(punycode_uint d, bool flag)
{
    return static_cast<char>(d + 22 + 75 * (d < 26) - (flag << 5));
}

// A basic code point forced to upper or lower case.
char encode_basic(punycode_uint bcp, bool flag)
{
    bcp -= (bcp - 'a' < 26) << 5;
    return static_cast<char>(bcp + ((!flag && (bcp - 'A' < 26)) << 5));
}

// UTF-8 to code points; malformed, overlong and surrogate sequences and
// values above U+10FFFF are skipped one lead byte at a time.
std::vector<punycode_uint> utf8_decode(const char* data, size_t length)
{
    std::vector<punycode_uint> out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    size_t i = 0;
    while (i < length) {
        unsigned char lead = p[i];
        size_t extra;
        punycode_uint cp;
        punycode_uint minimum;
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
            minimum = 0x10000;
        } else {
            ++i;
            continue;
        }
        bool good = i + extra < length;
        for (size_t k = 1; good && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                good = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (good && cp >= minimum && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF)) {
            out.push_back(cp);
            i += extra + 1;
        } else {
            ++i;
        }
    }
    return out;
}

void utf8_append(std::string& out, punycode_uint cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

const size_t max_ascii_label = 256;
const size_t max_unicode_label = 63;
const size_t max_label_bytes = 64;

std::string label_to_ascii(const char* data, size_t length)
{
    bool needs = false;
    for (size_t i = 0; i < length && !needs; ++i)
        needs = idn_needs_encoding(data[i]);
    if (!needs)
        return std::string(data, length);
    if (length >= max_label_bytes)
        return std::string();

    std::vector<punycode_uint> points = utf8_decode(data, length);
    char encoded[max_ascii_label];
    punycode_uint encoded_length = max_ascii_label;
    if (punycode_encode(static_cast<punycode_uint>(points.size()), points.data(), nullptr,
                        &encoded_length, encoded) != punycode_success)
        return std::string();
    return idn_ace_prefix + std::string(encoded, encoded_length);
}

std::string label_to_unicode(const char* data, size_t length)
{
    if (length < idn_ace_prefix.size() ||
        idn_ace_prefix.compare(0, idn_ace_prefix.size(), data, idn_ace_prefix.size()) != 0)
        return std::string(data, length);
    const char* rest = data + idn_ace_prefix.size();
    size_t rest_length = length - idn_ace_prefix.size();
    if (rest_length > max_ascii_label)
        return std::string();

    punycode_uint points[max_unicode_label];
    punycode_uint count = max_unicode_label;
    if (punycode_decode(static_cast<punycode_uint>(rest_length), rest, &count, points, nullptr) !=
        punycode_success)
        return std::string();
    std::string out;
    for (punycode_uint i = 0; i < count; ++i) {
        punycode_uint cp = points[i];
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            continue;
        utf8_append(out, cp);
    }
    return out;
}

template <class Convert>
std::string convert_labels(const char* data, size_t length, Convert convert)
{
    // Every separator is kept, so a leading label that ends up empty
    // cannot turn the name into its parent domain.
    std::string out;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < length && data[end] != '.')
            ++end;
        if (start > 0)
            out += '.';
        out += convert(data + start, end - start);
        if (end >= length)
            break;
        start = end + 1;
    }
    return out;
}

} // namespace

std::string url_encode(const char* data, size_t length, int keep)
{
    std::locale locale;
    const std::ctype<char>& ctype = global_ctype(locale);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const char c = data[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        if (static_cast<int>(byte) == keep || ctype.is(std::ctype_base::alnum, c) || c == '*' ||
            c == '+' || c == '-' || c == '.' || c == '_') {
            out += c;
        } else {
            out += '%';
            out += upper_hex[byte >> 4];
            out += upper_hex[byte & 0x0F];
        }
    }
    return out;
}

std::string url_decode(const char* data, size_t length)
{
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (c == '%') {
            if (length - i < 3)
                return std::string();
            const int high = hex_value(data[i + 1]);
            const int low = hex_value(data[i + 2]);
            out += static_cast<char>((high << 4) | low);
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

bool idn_needs_encoding(char c)
{
    std::locale locale;
    return !(global_ctype(locale).is(std::ctype_base::alnum, c) || c == '-' || c == '.');
}

std::string idn_to_ascii(const char* data, size_t length)
{
    return convert_labels(data, length, label_to_ascii);
}

std::string idn_to_unicode(const char* data, size_t length)
{
    return convert_labels(data, length, label_to_unicode);
}

punycode_uint punycode_adapt(punycode_uint delta, punycode_uint numpoints, bool firsttime)
{
    delta = firsttime ? delta / damp : delta >> 1;
    delta += delta / numpoints;
    punycode_uint k = 0;
    for (; delta > ((base - tmin) * tmax) / 2; k += base)
        delta /= base - tmin;
    return k + (base - tmin + 1) * delta / (delta + skew);
}

punycode_status punycode_encode(punycode_uint input_length, const punycode_uint input[],
                                const unsigned char case_flags[], punycode_uint* output_length,
                                char output[])
{
    const punycode_uint max_out = *output_length;
    punycode_uint out = 0;

    for (punycode_uint j = 0; j < input_length; ++j) {
        if (is_basic(input[j])) {
            if (max_out - out < 2)
                return punycode_big_output;
            output[out++] = case_flags ? encode_basic(input[j], case_flags[j])
                                       : static_cast<char>(input[j]);
        }
    }

    // h: code points handled, b: basic code points.
    punycode_uint h = out;
    const punycode_uint b = out;
    if (b > 0)
        output[out++] = delimiter;

    punycode_uint n = initial_n;
    punycode_uint delta = 0;
    punycode_uint bias = initial_bias;
    while (h < input_length) {
        // The smallest code point not yet handled.
        punycode_uint m = maxint;
        for (punycode_uint j = 0; j < input_length; ++j) {
            if (input[j] >= n && input[j] < m)
                m = input[j];
        }
        if (m - n > (maxint - delta) / (h + 1))
            return punycode_overflow;
        delta += (m - n) * (h + 1);
        n = m;

        for (punycode_uint j = 0; j < input_length; ++j) {
            if (input[j] < n) {
                if (++delta == 0)
                    return punycode_overflow;
            }
            if (input[j] == n) {
                punycode_uint q = delta;
                for (punycode_uint k = base;; k += base) {
                    if (out >= max_out)
                        return punycode_big_output;
                    const punycode_uint t =
                        k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
                    if (q < t)
                        break;
                    output[out++] = encode_digit(t + (q - t) % (base - t), false);
                    q = (q - t) / (base - t);
                }
                output[out++] = encode_digit(q, case_flags && case_flags[j]);
                bias = punycode_adapt(delta, h + 1, h == b);
                delta = 0;
                ++h;
            }
        }
        ++delta;
        ++n;
    }

    *output_length = out;
    return punycode_success;
}

punycode_status punycode_decode(punycode_uint input_length, const char input[],
                                punycode_uint* output_length, punycode_uint output[],
                                unsigned char case_flags[])
{
    const punycode_uint max_out = *output_length;

    // The basic code points come before the last delimiter.
    punycode_uint b = 0;
    for (punycode_uint j = 0; j < input_length; ++j) {
        if (input[j] == delimiter)
            b = j;
    }
    if (b > max_out)
        return punycode_big_output;

    punycode_uint out = 0;
    for (; out < b; ++out) {
        const punycode_uint c = static_cast<unsigned char>(input[out]);
        if (!is_basic(c))
            return punycode_bad_input;
        if (case_flags)
            case_flags[out] = c - 'A' < 26;
        output[out] = c;
    }

    punycode_uint n = initial_n;
    punycode_uint i = 0;
    punycode_uint bias = initial_bias;
    for (punycode_uint in = b > 0 ? b + 1 : 0; in < input_length; ++out) {
        // One generalised variable-length integer into i.
        const punycode_uint oldi = i;
        punycode_uint w = 1;
        for (punycode_uint k = base;; k += base) {
            if (in >= input_length)
                return punycode_bad_input;
            const punycode_uint digit = decode_digit(static_cast<unsigned char>(input[in++]));
            if (digit >= base)
                return punycode_bad_input;
            if (digit > (maxint - i) / w)
                return punycode_overflow;
            i += digit * w;
            const punycode_uint t = k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
            if (digit < t)
                break;
            if (w > maxint / (base - t))
                return punycode_overflow;
            w *= base - t;
        }

        bias = punycode_adapt(i - oldi, out + 1, oldi == 0);

        if (i / (out + 1) > maxint - n)
            return punycode_overflow;
        n += i / (out + 1);
        i %= (out + 1);

        if (out >= max_out)
            return punycode_big_output;

        if (case_flags) {
            for (punycode_uint j = out; j > i; --j)
                case_flags[j] = case_flags[j - 1];
            const punycode_uint last = static_cast<unsigned char>(input[in - 1]);
            case_flags[i] = last - 'A' < 26;
        }
        for (punycode_uint j = out; j > i; --j)
            output[j] = output[j - 1];
        output[i++] = n;
    }

    *output_length = out;
    return punycode_success;
}
