#include "cf_lexmap.h"

#include <algorithm>
#include <cctype>

#include "cf_log.h"

namespace {

inline char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

void print_tree(int level, const std::string& prefix, const cf_lex_map_t& map)
{
    if (map.empty()) {
        cf_log_message(level, prefix + "<empty map>");
        return;
    }
    for (const cf_lex_map_t::entry_t& entry : map) {
        const std::string path = prefix + entry.first;
        const cf_lex_value_t& value = entry.second;
        if (const std::vector<std::string>* list = value.list()) {
            if (list->empty())
                cf_log_message(level, path + " = <empty list>");
            for (const std::string& item : *list)
                cf_log_message(level, path + " = \"" + item + "\"");
        }
        if (const cf_lex_map_t* nested = value.map()) {
            if (nested->empty())
                cf_log_message(level, path + " = <empty map>");
            else
                print_tree(level, path + ".", *nested);
        } else if (!value.list()) {
            cf_log_message(level, path + " = <nil>");
        }
    }
}

} // namespace

std::string normalize_lex_key(const std::string& key)
{
    std::string normal;
    normal.reserve(key.size());
    for (char c : key) {
        if (c != '_')
            normal += lower(c);
    }
    return normal;
}

bool is_normal_lex_key(const std::string& key)
{
    for (char c : key) {
        if (c == '_' || lower(c) != c)
            return false;
    }
    return true;
}

bool lex_keys_equal(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    for (;;) {
        while (i < a.size() && a[i] == '_')
            ++i;
        while (j < b.size() && b[j] == '_')
            ++j;
        if (i == a.size() || j == b.size())
            return i == a.size() && j == b.size();
        if (lower(a[i]) != lower(b[j]))
            return false;
        ++i;
        ++j;
    }
}

bool is_lex_identifier(const std::string& key)
{
    if (key.empty())
        return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return c == '_' || std::isalnum(static_cast<unsigned char>(c));
    });
}

std::string lex_key_to_camel_case(const std::string& key)
{
    std::string camel;
    camel.reserve(key.size());
    bool upper_next = true;
    for (char c : key) {
        if (upper_next) {
            camel += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            upper_next = false;
        } else if (c == '_') {
            upper_next = true;
        } else {
            camel += c;
        }
    }
    return camel;
}

cf_lex_value_t::cf_lex_value_t() = default;

cf_lex_value_t::cf_lex_value_t(const std::vector<std::string>& items)
    : list_(new std::vector<std::string>(items))
{
}

cf_lex_value_t::cf_lex_value_t(const cf_lex_map_t& map) : map_(new cf_lex_map_t(map)) {}

cf_lex_value_t::cf_lex_value_t(const qv::LexOption& option)
{
    if (option.has_value())
        list_.reset(new std::vector<std::string>(option.value().item().begin(),
                                                 option.value().item().end()));
    else if (option.has_map())
        map_.reset(new cf_lex_map_t(option.map()));
}

cf_lex_value_t::cf_lex_value_t(const cf_lex_value_t& other)
    : list_(other.list_ ? new std::vector<std::string>(*other.list_) : nullptr),
      map_(other.map_ ? new cf_lex_map_t(*other.map_) : nullptr)
{
}

cf_lex_value_t::cf_lex_value_t(cf_lex_value_t&& other) noexcept = default;

cf_lex_value_t& cf_lex_value_t::operator=(const cf_lex_value_t& other)
{
    if (this != &other) {
        cf_lex_value_t copy(other);
        *this = std::move(copy);
    }
    return *this;
}

cf_lex_value_t& cf_lex_value_t::operator=(cf_lex_value_t&& other) noexcept = default;

cf_lex_value_t::~cf_lex_value_t() = default;

std::vector<std::string>* cf_lex_value_t::mutable_list()
{
    if (!list_)
        list_.reset(new std::vector<std::string>);
    return list_.get();
}

cf_lex_map_t* cf_lex_value_t::mutable_map()
{
    if (!map_)
        map_.reset(new cf_lex_map_t);
    return map_.get();
}

bool cf_lex_value_t::operator==(const cf_lex_value_t& other) const
{
    if (static_cast<bool>(list_) != static_cast<bool>(other.list_) ||
        static_cast<bool>(map_) != static_cast<bool>(other.map_))
        return false;
    if (list_ && *list_ != *other.list_)
        return false;
    return !map_ || *map_ == *other.map_;
}

cf_lex_map_t::cf_lex_map_t(const qv::LexMap& record)
{
    from_proto(record);
}

void cf_lex_map_t::from_proto(const qv::LexMap& record)
{
    entries_.clear();
    for (const qv::LexOption& option : record.option()) {
        cf_lex_value_t& value = (*this)[option.key()];
        if (option.has_value()) {
            std::vector<std::string>* list = value.mutable_list();
            list->insert(list->end(), option.value().item().begin(), option.value().item().end());
        } else if (option.has_map()) {
            *value.mutable_map() = cf_lex_map_t(option.map());
        }
    }
}

void cf_lex_map_t::to_proto(qv::LexMap* record) const
{
    for (const entry_t& entry : entries_) {
        qv::LexOption* option = record->add_option();
        option->set_key(entry.first);
        if (const std::vector<std::string>* list = entry.second.list()) {
            qv::LexValue* value = option->mutable_value();
            for (const std::string& item : *list)
                value->add_item(item);
        } else if (const cf_lex_map_t* map = entry.second.map()) {
            map->to_proto(option->mutable_map());
        }
    }
}

cf_lex_value_t* cf_lex_map_t::find(const std::string& key)
{
    for (entry_t& entry : entries_) {
        if (lex_keys_equal(entry.first, key))
            return &entry.second;
    }
    return nullptr;
}

const cf_lex_value_t* cf_lex_map_t::find(const std::string& key) const
{
    return const_cast<cf_lex_map_t*>(this)->find(key);
}

cf_lex_value_t& cf_lex_map_t::operator[](const std::string& key)
{
    if (cf_lex_value_t* value = find(key))
        return *value;
    entries_.emplace_back(key, cf_lex_value_t());
    return entries_.back().second;
}

void cf_lex_map_t::erase(const std::string& key)
{
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&key](const entry_t& entry) {
                                      return lex_keys_equal(entry.first, key);
                                  }),
                   entries_.end());
}

void cf_lex_map_t::append(const std::string& key, const cf_lex_value_t& value)
{
    entries_.emplace_back(key, value);
}

bool cf_lex_map_t::operator==(const cf_lex_map_t& other) const
{
    if (entries_.size() != other.entries_.size())
        return false;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (!lex_keys_equal(entries_[i].first, other.entries_[i].first) ||
            entries_[i].second != other.entries_[i].second)
            return false;
    }
    return true;
}

void print_lex_map(int level, const std::string& prefix, const cf_lex_map_t& map)
{
    if (level < cf_log_threshold)
        return;
    print_tree(level, prefix, map);
}
