#include "lists/lp_regex_set.h"

#include <algorithm>
#include <exception>

#include <boost/regex/pending/unicode_iterator.hpp>
#include <hs.h>
#include <unicode/uchar.h>

namespace {

void append_utf8(std::string& out, UChar32 c)
{
    const uint32_t u = static_cast<uint32_t>(c);
    if (u < 0x80) {
        out += static_cast<char>(u);
    } else if (u < 0x800) {
        out += static_cast<char>(0xc0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3f));
    } else if (u < 0x10000) {
        out += static_cast<char>(0xe0 | (u >> 12));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (u & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (u >> 18));
        out += static_cast<char>(0x80 | ((u >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (u & 0x3f));
    }
}

bool is_ascii_alnum(UChar32 c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool one_of(UChar32 c, const char* set)
{
    for (; *set; ++set) {
        if (c == static_cast<unsigned char>(*set))
            return true;
    }
    return false;
}

// Reads the Perl syntax far enough to find runs of literal characters that
// every match contains. Anything it does not know for certain ends a run;
// syntax that could change how the rest reads (inline modifiers, quoting,
// verbs, look-around) gives up on the whole pattern.
class factor_parser_t {
public:
    explicit factor_parser_t(const std::vector<UChar32>& p) : p(p) {}

    std::vector<std::string> run()
    {
        std::vector<std::string> factors;
        const bool alternation = sequence(factors, false);
        if (failed || i != p.size() || alternation)
            return {};
        std::sort(factors.begin(), factors.end());
        factors.erase(std::unique(factors.begin(), factors.end()), factors.end());
        return factors;
    }

private:
    enum class atom_t { literal, other, group, assertion };

    // Parses up to an unmatched ")" or the end; appends the required
    // factors; answers whether this level holds an alternation.
    bool sequence(std::vector<std::string>& out, bool nested)
    {
        std::vector<std::string> factors;
        std::string literal_run;
        bool alternation = false;
        auto flush = [&] {
            if (!literal_run.empty())
                factors.push_back(std::move(literal_run));
            literal_run.clear();
        };
        while (i < p.size() && !failed) {
            const UChar32 c = p[i];
            if (c == ')') {
                if (!nested)
                    failed = true;
                break;
            }
            if (c == '|') {
                alternation = true;
                flush();
                ++i;
                continue;
            }
            UChar32 literal = 0;
            std::vector<std::string> group_factors;
            bool group_alternation = false;
            atom_t atom = atom_t::other;
            if (c == '\\') {
                if (i + 1 >= p.size()) {
                    failed = true;
                    break;
                }
                const UChar32 d = p[i + 1];
                i += 2;
                if (d >= 0x80) {
                    failed = true;
                } else if (is_ascii_alnum(d)) {
                    if (one_of(d, "bBAzZGK"))
                        atom = atom_t::assertion;
                    else if (!one_of(d, "dDwWsShHvVntrfeaRXClLuU"))
                        failed = true;
                } else if (one_of(d, "`'<>")) {
                    // Buffer start and end, word start and end.
                    atom = atom_t::assertion;
                } else if (one_of(d, ".^$|()[]{}*+?\\/-@#%&~!\"=,:;_ ")) {
                    atom = atom_t::literal;
                    literal = d;
                }
                // Any other escaped character stays unknown: no literal.
            } else if (c == '[') {
                skip_class();
            } else if (c == '(') {
                ++i;
                if (i < p.size() && p[i] == '?') {
                    if (i + 1 < p.size() && p[i + 1] == ':')
                        i += 2;
                    else
                        failed = true;
                }
                if (!failed) {
                    group_alternation = sequence(group_factors, true);
                    if (i >= p.size() || p[i] != ')')
                        failed = true;
                    else
                        ++i;
                }
                atom = atom_t::group;
            } else if (c == '^' || c == '$') {
                ++i;
                atom = atom_t::assertion;
            } else if (one_of(c, "*+?{")) {
                failed = true;
            } else if (c == '.' || c == ']' || c == '}') {
                ++i;
            } else {
                ++i;
                atom = atom_t::literal;
                literal = c;
            }
            if (failed)
                break;

            unsigned long min = 1;
            const bool quantified = quantifier(min);
            if (failed)
                break;
            switch (atom) {
            case atom_t::literal:
                if (!quantified || min >= 1)
                    append_utf8(literal_run, u_tolower(literal));
                if (quantified)
                    flush();
                break;
            case atom_t::group:
                flush();
                if (min >= 1 && !group_alternation) {
                    for (std::string& factor : group_factors)
                        factors.push_back(std::move(factor));
                }
                break;
            case atom_t::other:
            case atom_t::assertion:
                flush();
                break;
            }
        }
        flush();
        if (!alternation) {
            for (std::string& factor : factors)
                out.push_back(std::move(factor));
        }
        return alternation;
    }

    // Reads a quantifier after an atom, if there is one, and its smallest count.
    bool quantifier(unsigned long& min)
    {
        if (i >= p.size())
            return false;
        const UChar32 c = p[i];
        if (c == '*' || c == '?') {
            min = 0;
            ++i;
        } else if (c == '+') {
            min = 1;
            ++i;
        } else if (c == '{') {
            ++i;
            if (!number(min)) {
                failed = true;
                return true;
            }
            if (i < p.size() && p[i] == ',') {
                ++i;
                unsigned long max = 0;
                number(max);
            }
            if (i >= p.size() || p[i] != '}') {
                failed = true;
                return true;
            }
            ++i;
        } else {
            return false;
        }
        // Lazy or possessive.
        if (i < p.size() && (p[i] == '?' || p[i] == '+'))
            ++i;
        if (i < p.size() && one_of(p[i], "*+?{"))
            failed = true;
        return true;
    }

    bool number(unsigned long& value)
    {
        const size_t start = i;
        value = 0;
        while (i < p.size() && p[i] >= '0' && p[i] <= '9') {
            if (value < 1000000)
                value = value * 10 + static_cast<unsigned long>(p[i] - '0');
            ++i;
        }
        return i != start;
    }

    // Skips a bracket expression, nested classes such as [:alpha:] included.
    void skip_class()
    {
        size_t j = i + 1;
        if (j < p.size() && p[j] == '^')
            ++j;
        if (j < p.size() && p[j] == ']')
            ++j;
        while (j < p.size()) {
            const UChar32 c = p[j];
            if (c == ']') {
                i = j + 1;
                return;
            }
            if (c == '\\') {
                j += 2;
            } else if (c == '[' && j + 1 < p.size() && one_of(p[j + 1], ":=.")) {
                const UChar32 kind = p[j + 1];
                size_t k = j + 2;
                while (k + 1 < p.size() && !(p[k] == kind && p[k + 1] == ']'))
                    ++k;
                if (k + 1 >= p.size())
                    break;
                j = k + 2;
            } else {
                ++j;
            }
        }
        failed = true;
    }

    const std::vector<UChar32>& p;
    size_t i = 0;
    bool failed = false;
};

using utf8_iterator = boost::u8_to_u32_iterator<std::string::const_iterator, UChar32>;

static_assert(sizeof(lp_code_point_iterator_t) == sizeof(utf8_iterator) &&
                  alignof(lp_code_point_iterator_t) == alignof(utf8_iterator),
              "a search over code points fills the matcher's stack as one over UTF-8 text does");

int on_literal(unsigned int id, unsigned long long, unsigned long long, unsigned int, void* context)
{
    static_cast<std::vector<uint32_t>*>(context)->push_back(id);
    return 0;
}

} // namespace

std::shared_ptr<boost::u32regex> lp_regex_compile(const std::string& pattern)
{
    // Decoded as make_u32regex decodes, with one spare character after the
    // end: the parser of Boost 1.74 reads one past an unterminated bracket
    // expression that ends in a range ("[a-b").
    std::vector<UChar32> chars(utf8_iterator(pattern.begin(), pattern.begin(), pattern.end()),
                               utf8_iterator(pattern.end(), pattern.begin(), pattern.end()));
    const size_t size = chars.size();
    chars.push_back(0);
    auto regex = std::make_shared<boost::u32regex>();
    const UChar32* first = size != 0 ? chars.data() : nullptr;
    regex->assign(first, first + size,
                  boost::regex_constants::perl | boost::regex_constants::icase | boost::regex_constants::collate);
    return regex;
}

std::vector<std::string> lp_regex_required_factors(const std::string& pattern)
{
    std::vector<UChar32> chars;
    try {
        chars.assign(utf8_iterator(pattern.begin(), pattern.begin(), pattern.end()),
                     utf8_iterator(pattern.end(), pattern.begin(), pattern.end()));
    } catch (const std::out_of_range&) {
        return {};
    }
    return factor_parser_t(chars).run();
}

void lp_regex_set_t::hs_free_t::operator()(hs_database* db) const
{
    hs_free_database(db);
}

void lp_regex_set_t::hs_free_t::operator()(hs_scratch* space) const
{
    hs_free_scratch(space);
}

lp_regex_set_t::lp_regex_set_t() = default;

lp_regex_set_t::~lp_regex_set_t() = default;

void lp_regex_set_t::add(const std::string& text, std::shared_ptr<boost::u32regex> compiled)
{
    const auto inserted = patterns.emplace(text, std::move(compiled));
    if (!inserted.second)
        return;
    order.push_back({&inserted.first->first, inserted.first->second.get()});
    if (filter_built) {
        // A pattern added after the first check: rebuild from the texts.
        factors.clear();
        for (const pattern_t& pattern : order)
            factors.push_back(lp_regex_required_factors(*pattern.text));
        filter_built = false;
    } else {
        factors.push_back(lp_regex_required_factors(text));
    }
}

void lp_regex_set_t::texts(std::vector<std::string>& out) const
{
    out.reserve(out.size() + order.size());
    for (const pattern_t& pattern : order)
        out.push_back(*pattern.text);
}

void lp_regex_set_t::build_filter()
{
    filter_built = true;
    always.clear();
    literal_first.clear();
    pattern_of.clear();
    database.reset();
    scratch.reset();

    // A factor that many patterns share filters little: each pattern keeps
    // its rarest factor among the tag's patterns, preferring factors of
    // three bytes or more, then the longer.
    std::unordered_map<std::string, uint32_t> shared_by;
    for (const auto& list : factors) {
        for (const std::string& factor : list)
            ++shared_by[factor];
    }
    std::unordered_map<std::string, std::vector<uint32_t>> chosen;
    for (uint32_t index = 0; index < factors.size(); ++index) {
        const std::string* best = nullptr;
        auto better = [&](const std::string& a, const std::string& b) {
            const bool a_long = a.size() >= 3, b_long = b.size() >= 3;
            if (a_long != b_long)
                return a_long;
            const uint32_t a_shared = shared_by[a], b_shared = shared_by[b];
            if (a_shared != b_shared)
                return a_shared < b_shared;
            return a.size() > b.size();
        };
        for (const std::string& factor : factors[index]) {
            if (!best || better(factor, *best))
                best = &factor;
        }
        if (best)
            chosen[*best].push_back(index);
        else
            always.push_back(index);
    }

    std::vector<const char*> expressions;
    std::vector<size_t> lengths;
    std::vector<unsigned int> flags, ids;
    for (const auto& literal : chosen) {
        ids.push_back(static_cast<unsigned int>(expressions.size()));
        expressions.push_back(literal.first.data());
        lengths.push_back(literal.first.size());
        flags.push_back(HS_FLAG_SINGLEMATCH);
        literal_first.push_back(static_cast<uint32_t>(pattern_of.size()));
        pattern_of.insert(pattern_of.end(), literal.second.begin(), literal.second.end());
    }
    literal_first.push_back(static_cast<uint32_t>(pattern_of.size()));

    bool usable = expressions.empty();
    if (!expressions.empty()) {
        hs_database_t* compiled = nullptr;
        hs_compile_error_t* error = nullptr;
        if (hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(),
                                 static_cast<unsigned int>(expressions.size()), HS_MODE_BLOCK, nullptr, &compiled,
                                 &error) == HS_SUCCESS) {
            database.reset(compiled);
            hs_scratch_t* space = nullptr;
            if (hs_alloc_scratch(compiled, &space) == HS_SUCCESS) {
                scratch.reset(space);
                usable = true;
            }
        } else {
            hs_free_compile_error(error);
        }
    }
    if (!usable) {
        // Without the matcher every pattern runs.
        database.reset();
        scratch.reset();
        literal_first.assign(1, 0);
        pattern_of.clear();
        always.resize(order.size());
        for (uint32_t index = 0; index < order.size(); ++index)
            always[index] = index;
    }
    std::vector<std::vector<std::string>>().swap(factors);
}

bool lp_regex_set_t::search(const std::string& value)
{
    if (order.empty())
        return false;
    if (!filter_built)
        build_filter();
    try {
        value_chars.assign(utf8_iterator(value.begin(), value.begin(), value.end()),
                           utf8_iterator(value.end(), value.begin(), value.end()));
    } catch (const std::out_of_range&) {
        return search_unfiltered(value);
    }

    candidates.clear();
    if (database) {
        folded.clear();
        for (const UChar32 c : value_chars)
            append_utf8(folded, u_tolower(c));
        literal_hits.clear();
        if (hs_scan(database.get(), folded.data(), static_cast<unsigned int>(folded.size()), 0, scratch.get(),
                    on_literal, &literal_hits) != HS_SUCCESS)
            return search_unfiltered(value);
        for (const uint32_t id : literal_hits)
            candidates.insert(candidates.end(), pattern_of.begin() + literal_first[id],
                              pattern_of.begin() + literal_first[id + 1]);
    }
    candidates.insert(candidates.end(), always.begin(), always.end());
    std::sort(candidates.begin(), candidates.end());
    return search_chars(candidates);
}

bool lp_regex_set_t::search_chars(const std::vector<uint32_t>& indexes)
{
    for (const uint32_t index : indexes) {
        if (search_one(*order[index].regex))
            return true;
    }
    return false;
}

bool lp_regex_set_t::search_one(const boost::u32regex& regex)
{
    static const UChar32 no_chars = 0;
    const UChar32* first = value_chars.empty() ? &no_chars : value_chars.data();
    return boost::u32regex_search(lp_code_point_iterator_t(first),
                                  lp_code_point_iterator_t(first + value_chars.size()), match, regex);
}

bool lp_regex_set_t::search_unfiltered(const std::string& value)
{
    if (order.empty())
        return false;
    try {
        value_chars.assign(utf8_iterator(value.begin(), value.begin(), value.end()),
                           utf8_iterator(value.end(), value.begin(), value.end()));
    } catch (const std::out_of_range&) {
        // Not valid UTF-8: each pattern decodes the value as it searches, so
        // a match found before the search reaches the bad sequence answers,
        // and reaching it (a sequence cut off at the end is reached by any
        // match that ends there) throws.
        for (const pattern_t& pattern : order) {
            if (boost::u32regex_search(value, *pattern.regex))
                return true;
        }
        return false;
    }
    for (const pattern_t& pattern : order) {
        if (search_one(*pattern.regex))
            return true;
    }
    return false;
}
