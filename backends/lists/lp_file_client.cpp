#include "lists/lp_file_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <locale>
#include <optional>
#include <sstream>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include "cf_errors.h"
#include "cf_log.h"
#include "cf_user.h"
#include "lists/dbg_duration.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

namespace {

// Memory for the answers posted to the event loop. Freed blocks are kept for
// the next answers, so that steady traffic allocates nothing. Used on the
// main thread only; never destroyed, since the event loop may free its last
// pending answers after the back-ends are gone.
class answer_memory_t {
public:
    static constexpr size_t block_size = 128;

    answer_memory_t() { free_blocks.reserve(kept_max); }

    void* allocate(size_t size)
    {
        if (size > block_size)
            return ::operator new(size);
        if (free_blocks.empty())
            return ::operator new(block_size);
        void* const block = free_blocks.back();
        free_blocks.pop_back();
        return block;
    }

    void deallocate(void* block, size_t size) noexcept
    {
        if (size <= block_size && free_blocks.size() < kept_max)
            free_blocks.push_back(block);
        else
            ::operator delete(block);
    }

private:
    static constexpr size_t kept_max = 4096;
    std::vector<void*> free_blocks;
};

answer_memory_t& answer_memory()
{
    static answer_memory_t* const memory = new answer_memory_t;
    return *memory;
}

template <class T>
struct answer_allocator_t {
    using value_type = T;

    answer_allocator_t() noexcept = default;
    template <class U>
    answer_allocator_t(const answer_allocator_t<U>&) noexcept {}

    T* allocate(size_t n) { return static_cast<T*>(answer_memory().allocate(sizeof(T) * n)); }
    void deallocate(T* block, size_t n) noexcept { answer_memory().deallocate(block, sizeof(T) * n); }

    template <class U>
    bool operator==(const answer_allocator_t<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const answer_allocator_t<U>&) const noexcept { return false; }
};

// A posted answer whose operation lives in answer_memory.
template <class Function>
struct pooled_answer_t {
    using allocator_type = answer_allocator_t<void>;
    allocator_type get_allocator() const noexcept { return allocator_type(); }
    void operator()() { function(); }
    Function function;
};

template <class Function>
void post_answer(boost::asio::io_context& io_context, Function function)
{
    boost::asio::post(io_context, pooled_answer_t<Function>{std::move(function)});
}

constexpr size_t read_chunk_size = 64 * 1024;

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
    const std::string& path = file_for_tag(tag);
    if (path.empty()) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Mandatory \"File\" parameter is not specified");
        throw boost::system::system_error(qv::make_error_code(qv::EC_BAD_CONFIG));
    }
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "File is " + quoted_path(path));

    const auto loaded = loaded_files.find(tag);
    if (loaded != loaded_files.end() && loaded->second == path)
        return true;
    if (cf_log_threshold <= CF_LOG_DEBUG)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "File is NOT cached.");

    // Without O_NONBLOCK a FIFO would block the event loop in open; only a
    // regular file is read.
    const cf_fd_closer_t file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Cannot open file " + quoted_path(path));
        throw boost::system::system_error(qv::make_error_code(qv::EC_IO_ERROR));
    }
    try {
        read_lines(tag, file.fd);
    } catch (const std::exception&) {
        // A read error or exhausted memory: no partial list stays in use,
        // and the next request tries again.
        forget_entries(tag);
        if (cf_log_threshold <= CF_LOG_ERROR)
            cf_log_message(CF_LOG_ERROR, log_prefix(tag) + "Cannot read file " + quoted_path(path));
        throw boost::system::system_error(qv::make_error_code(qv::EC_IO_ERROR));
    }
    loaded_files[tag] = path;
    return false;
}

void lp_file_client_t::read_lines(const std::string& tag, int fd)
{
    const std::locale locale;
    const auto is_space = boost::algorithm::is_space(locale);
    std::string line;
    auto take_line = [&] {
        boost::algorithm::trim_if(line, is_space);
        if (line.empty() || line[0] == '#')
            return;
        if (cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Got \"" + cf_log_escape(line) + "\"");
        add_entry(tag, line);
    };

    std::unique_ptr<char[]> chunk(new char[read_chunk_size]);
    for (;;) {
        const ssize_t n = ::read(fd, chunk.get(), read_chunk_size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "read");
        }
        if (n == 0)
            break;
        const char* begin = chunk.get();
        const char* const end = begin + n;
        while (const char* newline = static_cast<const char*>(std::memchr(begin, '\n', end - begin))) {
            line.append(begin, newline);
            take_line();
            line.clear();
            begin = newline + 1;
        }
        line.append(begin, end);
    }
    // A last line without a newline is a line too.
    if (!line.empty())
        take_line();
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

lp_encoded_entries_ptr_t lp_file_client_t::listed(const std::string& tag, boost::system::error_code& ec)
{
    // As load with an entries vector, but the list is built and encoded
    // once per tag and shared by the answers.
    try {
        const bool cached = read_file(tag);
        if (cached && cf_log_threshold <= CF_LOG_DEBUG)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "File is already cached.");
        lp_encoded_entries_ptr_t& list = listed_entries[tag];
        if (!list) {
            auto entries = std::make_shared<lp_encoded_entries_t>();
            get_entries(tag, entries->values);
            lp::ServerMessage data_only;
            for (const std::string& value : entries->values)
                data_only.add_data(value);
            data_only.AppendPartialToString(&entries->encoded);
            list = std::move(entries);
        }
        return list;
    } catch (const boost::system::system_error& e) {
        ec = e.code();
        return nullptr;
    }
}

void lp_file_client_t::lookup(const std::string& tag, const std::string&, const std::string&,
                              const lp_lookup_handler_t& handler)
{
    boost::system::error_code ec;
    lp_encoded_entries_ptr_t list = listed(tag, ec);
    post_answer(inventory.io_context, [handler, ec, list]() {
        static const std::vector<std::string> nothing;
        handler(ec, list ? list->values : nothing);
    });
}

bool lp_file_client_t::lookup_encoded(const std::string& tag, const std::string&, const std::string&,
                                      const lp_encoded_lookup_handler_t& handler)
{
    boost::system::error_code ec;
    lp_encoded_entries_ptr_t list = listed(tag, ec);
    post_answer(inventory.io_context, [handler, ec, list = std::move(list)]() { handler(ec, list); });
    return true;
}

void lp_file_client_t::check(const std::string& tag, const std::string&, const std::string&,
                             const std::string& value, const lp_check_handler_t& handler)
{
    // Timing is only for the Debug lines.
    std::optional<dbg_duration> timer;
    const bool debug = cf_log_threshold <= CF_LOG_DEBUG;
    if (debug)
        timer.emplace("duration: ");

    answer_cache_t& cache = answer_caches[tag];
    const size_t hash = answer_cache_t::hash_of(value);
    const int cached = cache.find(value, hash);
    bool answer;
    if (cached >= 0) {
        answer = cached != 0;
        if (debug)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Request \"" + cf_log_escape(value) +
                                             (answer ? "\" found in \"found\" cache."
                                                     : "\" found in \"NOT found\" cache."));
    } else {
        if (debug)
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Request \"" + cf_log_escape(value) +
                                             "\" is not cached, searching...");
        try {
            load(tag, nullptr);
        } catch (const boost::system::system_error& e) {
            post_answer(inventory.io_context, [handler, ec = e.code()]() { handler(ec, false); });
            return;
        }
        answer = search_for(tag, value);
        if (debug) {
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + timer->elapsed_text("search_for :: ", timer->start));
            cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + "Request \"" + cf_log_escape(value) +
                                             (answer ? "\" found." : "\" NOT found."));
        }
        cache.insert(value, hash, answer);
    }
    if (debug)
        cf_log_message(CF_LOG_DEBUG, log_prefix(tag) + timer->elapsed_text(nullptr, timer->lap));
    post_answer(inventory.io_context, [handler, answer]() { handler(boost::system::error_code(), answer); });
}

int lp_file_client_t::answer_cache_t::find(const std::string& value, size_t hash) const
{
    if (slots.empty())
        return -1;
    const size_t mask = slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const uint32_t number = slots[i];
        if (number == 0)
            return -1;
        const entry_t& entry = entries[number - 1];
        if (entry.hash == hash && entry.size == value.size() &&
            std::memcmp(bytes.data() + entry.offset, value.data(), value.size()) == 0)
            return entry.answer ? 1 : 0;
    }
}

void lp_file_client_t::answer_cache_t::insert(const std::string& value, size_t hash, bool answer)
{
    if (value.size() > cache_max_bytes)
        return;
    if (entries.size() + 1 > cache_max_values || bytes.size() + value.size() > cache_max_bytes)
        clear();
    if ((entries.size() + 1) * 2 > slots.size())
        grow();
    // The buffer grows by doubling, but never past the bound.
    if (bytes.size() + value.size() > bytes.capacity())
        bytes.reserve(std::min(std::max(bytes.capacity() * 2, bytes.size() + value.size()), cache_max_bytes));
    entries.push_back(entry_t{hash, static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(value.size()), answer});
    bytes.append(value);
    const size_t mask = slots.size() - 1;
    size_t i = hash & mask;
    while (slots[i] != 0)
        i = (i + 1) & mask;
    slots[i] = static_cast<uint32_t>(entries.size());
}

void lp_file_client_t::answer_cache_t::clear()
{
    entries.clear();
    bytes.clear();
    std::fill(slots.begin(), slots.end(), 0);
}

void lp_file_client_t::answer_cache_t::grow()
{
    slots.assign(slots.empty() ? 64 : slots.size() * 2, 0);
    const size_t mask = slots.size() - 1;
    for (size_t n = 0; n < entries.size(); ++n) {
        size_t i = entries[n].hash & mask;
        while (slots[i] != 0)
            i = (i + 1) & mask;
        slots[i] = static_cast<uint32_t>(n + 1);
    }
}

void lp_file_client_t::reconfigure()
{
    listed_entries.clear();
    loaded_files.clear();
    answer_caches.clear();
}
