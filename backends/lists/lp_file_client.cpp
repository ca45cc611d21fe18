#include "lists/lp_file_client.h"

#include <fstream>
#include <locale>
#include <optional>
#include <sstream>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "lists/dbg_duration.h"
#include "lp_inventory.h"

namespace {

// A path as file-system messages show it: quoted, '"' and '&' escaped by '&'.
std::string quoted_path(const std::string& path)
{
    std::ostringstream text;
    text << boost::filesystem::path(path);
    return text.str();
}

} // namespace

lp_file_client_t::lp_file_client_t(lp_inventory_t& inventory_) : inventory(inventory_) {}

lp_file_client_t::~lp_file_client_t() = default;

bool lp_file_client_t::read_file(const std::string& tag)
{
    const std::string path = file_for_tag(tag);
    if (path.empty()) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Mandatory \"File\" parameter is not specified");
        throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_CONFIG));
    }
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "File is " + quoted_path(path));

    file_key_t key(tag, path);
    if (loaded_files.count(key) != 0)
        return true;
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "File is NOT cached.");
    std::ifstream in(path);
    if (!in.is_open()) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Cannot open file " + quoted_path(path));
        throw boost::system::system_error(qv::make_error_code(qv::EC_IO_ERROR));
    }
    loaded_files.insert(std::move(key));

    const std::locale locale;
    const auto is_space = boost::algorithm::is_space(locale);
    std::string line;
    while (std::getline(in, line)) {
        boost::algorithm::trim_if(line, is_space);
        if (line.empty() || line[0] == '#')
            continue;
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Got \"" + line + "\"");
        add_entry(tag, line);
    }
    return false;
}

void lp_file_client_t::load(const std::string& tag, std::vector<std::string>* entries)
{
    const bool cached = read_file(tag);
    if (entries) {
        if (cached && cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "File is already cached.");
        get_entries(tag, *entries);
    }
}

void lp_file_client_t::entries_changed(const std::string& tag)
{
    listed_entries.erase(tag);
}

void lp_file_client_t::lookup(const std::string& tag, const std::string&, const std::string&,
                              const lp_lookup_handler_t& handler)
{
    // As load with an entries vector, but the list is built once per tag
    // and shared by the answers.
    entry_list_t list;
    boost::system::error_code ec;
    try {
        const bool cached = read_file(tag);
        if (cached && cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "File is already cached.");
        entry_list_t& listed = listed_entries[tag];
        if (!listed) {
            auto entries = std::make_shared<std::vector<std::string>>();
            get_entries(tag, *entries);
            listed = std::move(entries);
        }
        list = listed;
    } catch (const boost::system::system_error& e) {
        ec = e.code();
    }
    boost::asio::post(inventory.io_context, [handler, ec, list]() {
        static const std::vector<std::string> nothing;
        handler(ec, list ? *list : nothing);
    });
}

void lp_file_client_t::check(const std::string& tag, const std::string&, const std::string&,
                             const std::string& value, const lp_check_handler_t& handler)
{
    // Timing is only for the Debug lines.
    std::optional<dbg_duration> timer;
    const bool debug = cf_log_threshold <= CF_LOG_DEBUG;
    if (debug)
        timer.emplace("duration: ");

    bool answer;
    const auto not_found = not_found_cache.find(tag);
    const auto found = found_cache.find(tag);
    if (not_found != not_found_cache.end() && not_found->second.count(value) != 0) {
        if (debug)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Request \"" + value +
                                             "\" found in \"NOT found\" cache.");
        answer = false;
    } else if (found != found_cache.end() && found->second.count(value) != 0) {
        if (debug)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Request \"" + value +
                                             "\" found in \"found\" cache.");
        answer = true;
    } else {
        if (debug)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Request \"" + value +
                                             "\" is not cached, searching...");
        try {
            load(tag, nullptr);
        } catch (const boost::system::system_error& e) {
            boost::asio::post(inventory.io_context, std::bind(handler, e.code(), false));
            return;
        }
        answer = search_for(tag, value);
        if (debug) {
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + timer->elapsed_text("search_for :: ", timer->start));
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Request \"" + value +
                                             (answer ? "\" found." : "\" NOT found."));
        }
        (answer ? found_cache : not_found_cache)[tag].insert(value);
    }
    if (debug)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + timer->elapsed_text(nullptr, timer->lap));
    boost::asio::post(inventory.io_context, std::bind(handler, boost::system::error_code(), answer));
}

void lp_file_client_t::reconfigure()
{
    listed_entries.clear();
    loaded_files.clear();
    not_found_cache.clear();
    found_cache.clear();
}
