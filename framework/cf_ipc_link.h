// Length-prefixed protobuf messages over a connected stream socket.
//
// Every frame is a 4-byte unsigned length in host byte order followed by
// that many bytes of one serialised message. The link runs one endless read
// loop that reads in large chunks and hands every complete body in them to
// on_message, and one write pump that batches queued frames with at most one
// write in flight. Once its buffers have grown, neither path allocates; idle
// buffers above 1 MiB give their storage back. A partial frame's buffer
// grows with the bytes that arrive, not with the length the frame
// announces, and with an unsent limit the read loop waits while too much
// output is queued. Large shared tails of frames are written from where they
// are, not copied.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <poll.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message.h>

#include "cf_errors.h"

enum cf_buffer_mode_t {
    CF_BUFFER_KEEP = 0,    // keep contents
    CF_BUFFER_SECURE = 1,  // keep contents, wipe released bytes
    CF_BUFFER_DISCARD = 2, // contents need not survive
};

// A growable byte buffer. Grows by a factor of 1.5 and never shrinks its
// allocation; the destructor frees without wiping.
struct cf_ipc_buffer_t {
    cf_ipc_buffer_t() = default;
    cf_ipc_buffer_t(const cf_ipc_buffer_t&) = delete;
    cf_ipc_buffer_t& operator=(const cf_ipc_buffer_t&) = delete;

    size_t capacity = 0;
    size_t size = 0;
    std::unique_ptr<uint8_t[]> data;

    void resize(size_t new_size, cf_buffer_mode_t mode);
    // Wipes the first size bytes.
    void cleanse() noexcept;
    // Exchanges data and capacity with other; sizes stay.
    void swap_storage(cf_ipc_buffer_t& other) noexcept;
};

// Fixed memory for the one pending read or the one pending write of a link,
// so that starting an operation does not allocate. Larger or concurrent
// requests fall back to operator new.
class cf_ipc_handler_memory_t : private boost::noncopyable {
public:
    cf_ipc_handler_memory_t() = default;
    void* allocate(size_t size);
    void deallocate(void* pointer) noexcept;

private:
    alignas(std::max_align_t) unsigned char storage[512];
    bool in_use = false;
};

template <class T>
struct cf_ipc_handler_allocator_t {
    using value_type = T;

    explicit cf_ipc_handler_allocator_t(cf_ipc_handler_memory_t& m) noexcept : memory(&m) {}
    template <class U>
    cf_ipc_handler_allocator_t(const cf_ipc_handler_allocator_t<U>& other) noexcept
        : memory(other.memory)
    {
    }

    T* allocate(size_t n) { return static_cast<T*>(memory->allocate(sizeof(T) * n)); }
    void deallocate(T* pointer, size_t) noexcept { memory->deallocate(pointer); }

    template <class U>
    bool operator==(const cf_ipc_handler_allocator_t<U>& other) const noexcept
    {
        return memory == other.memory;
    }
    template <class U>
    bool operator!=(const cf_ipc_handler_allocator_t<U>& other) const noexcept
    {
        return memory != other.memory;
    }

    cf_ipc_handler_memory_t* memory;
};

// A completion handler whose operation state lives in a cf_ipc_handler_memory_t.
template <class Handler>
struct cf_ipc_alloc_handler_t {
    using allocator_type = cf_ipc_handler_allocator_t<Handler>;

    allocator_type get_allocator() const noexcept { return allocator_type(*memory); }

    template <class... Args>
    void operator()(Args&&... args)
    {
        handler(std::forward<Args>(args)...);
    }

    cf_ipc_handler_memory_t* memory;
    Handler handler;
};

template <class Handler>
cf_ipc_alloc_handler_t<Handler> cf_make_ipc_handler(cf_ipc_handler_memory_t& memory, Handler h)
{
    return cf_ipc_alloc_handler_t<Handler>{&memory, std::move(h)};
}

template <class Socket>
struct basic_socket_traits {};

// The message link. A derived class also derives from
// std::enable_shared_from_this, is owned by std::shared_ptr, assigns socket
// and calls start_read once. Every pending operation holds the object
// through shared_link. The link never closes the socket; the owner ends the
// link by closing it, after which every pending completion does nothing.
template <class Socket, class Traits = basic_socket_traits<Socket>>
class cf_basic_ipc_link_t : private boost::noncopyable {
public:
    virtual ~cf_basic_ipc_link_t()
    {
        if (send_buffer_secure)
            send_buffer.cleanse();
        if (write_buffer_secure)
            write_buffer.cleanse();
    }

    // Starts the read loop.
    void start_read() { read_more(); }

    // Queues one message as a frame and starts the write pump (with batched
    // writes, from a handler posted once for all the frames queued until it
    // runs). The message is serialised here; nothing is queued when it throws.
    void async_send_message(const google::protobuf::Message& message)
    {
        async_send_message(message, nullptr, 0);
    }

    // As above, with `tail` serialised fields appended to the message's bytes
    // in the same frame (a parser merges them into the message).
    void async_send_message(const google::protobuf::Message& message, const void* tail, size_t tail_size)
    {
        queue_frame(message, tail, tail_size, false);
        start_pump();
    }

    // As above for a tail that `owner` keeps alive: one of at least
    // shared_tail_size bytes is not copied but written from where it is, and
    // the link holds `owner` until then. Secure buffers never wipe it.
    template <class Owner>
    void async_send_message(const google::protobuf::Message& message, const void* tail, size_t tail_size,
                            const std::shared_ptr<Owner>& owner)
    {
        const bool shared = owner && tail_size >= shared_tail_size;
        if (shared)
            send_tails.reserve(send_tails.size() + 1);
        queue_frame(message, tail, tail_size, shared);
        if (shared) {
            send_tails.push_back(shared_tail_t{send_buffer.size, static_cast<const uint8_t*>(tail), tail_size,
                                               std::shared_ptr<const void>(owner)});
            send_tail_bytes += tail_size;
        }
        start_pump();
    }

    bool is_open() const { return socket && socket->native_handle() != -1; }

    // Bytes queued and in flight, not yet written, shared tails included.
    size_t unsent_bytes() const
    {
        return send_buffer.size + write_buffer.size + send_tail_bytes + write_tail_bytes;
    }
    // With batched writes, a send does not start a write at once: the frames
    // queued by the handlers that run before the posted pump leave in one write.
    void set_batched_writes(bool on) { batched_writes = on; }
    // While more than `limit` bytes are unsent, no further frame is read;
    // reading resumes once writes have drained them to `limit` or less.
    // 0 (the default) sets no limit.
    void set_unsent_limit(size_t limit) { unsent_limit = limit; }
    // True while the read loop waits for unsent output to drain.
    bool read_paused() const { return read_waiting; }
    // When the read that delivered the frame being handed to on_message
    // completed; frames held back keep their read's time.
    std::chrono::steady_clock::time_point read_time() const { return last_read_time; }

    // Tails shorter than this are copied into the frame.
    static constexpr size_t shared_tail_size = 64 * 1024;

protected:
    explicit cf_basic_ipc_link_t(size_t max_message_size) : max_message_size(max_message_size) {}

    // One received body, exactly its bytes.
    virtual void on_message(google::protobuf::io::ZeroCopyInputStream& body) = 0;
    // A read or write failed, or a frame length was refused. Never called
    // with operation_aborted. End of stream from a peer that has closed its
    // socket comes as eof.
    virtual void on_error(const boost::system::error_code& ec) = 0;
    // End of stream from a peer that shut down only its sending side and
    // still reads: no frame follows, but what is sent still arrives. By
    // default an end of stream like any other.
    virtual void on_input_end() { on_error(boost::asio::error::eof); }
    virtual std::shared_ptr<cf_basic_ipc_link_t> shared_link() = 0;
    // Queued frames moved into write_buffer; the write starts next.
    virtual void on_write_start() {}
    // A write finished and write_buffer was emptied.
    virtual void on_write_complete() {}
    // The pump found nothing queued.
    virtual void on_all_sent() {}
    // While true, no further frame is delivered, as with a congested output;
    // checked after every frame and again whenever a write completes.
    virtual bool intake_full() const { return false; }

    // Ends the read loop for good while the socket stays open for writing:
    // no further frame is delivered, not even one already read.
    void stop_reading() { reading_stopped = true; }

    size_t max_message_size;
    std::shared_ptr<Socket> socket;
    cf_ipc_buffer_t read_buffer;
    cf_ipc_buffer_t send_buffer;
    // Non-empty exactly while a write is in flight.
    cf_ipc_buffer_t write_buffer;
    // The frames queued in send_buffer are wiped when released; the flag
    // moves to write_buffer_secure with the batch.
    bool send_buffer_secure = false;
    bool write_buffer_secure = false;

private:
    static constexpr size_t header_size = 4;
    // Every read offers at least this much room; a partial frame's buffer
    // grows by at most this much per read beyond the storage it already has,
    // so that an announced length reserves nothing.
    static constexpr size_t read_step = 64 * 1024;
    // Idle buffers larger than this give their storage back.
    static constexpr size_t keep_capacity = 1024 * 1024;

    // A tail written from its owner's storage; its bytes belong at `offset`
    // of the batch's buffer.
    struct shared_tail_t {
        size_t offset;
        const uint8_t* data;
        size_t size;
        std::shared_ptr<const void> owner;
    };

    // The pieces of a batch with shared tails, as a buffer sequence that
    // refers to them rather than copying them into the write operation.
    struct piece_list_t {
        using value_type = boost::asio::const_buffer;
        using const_iterator = std::vector<boost::asio::const_buffer>::const_iterator;
        const_iterator begin() const { return pieces->begin(); }
        const_iterator end() const { return pieces->end(); }
        const std::vector<boost::asio::const_buffer>* pieces;
    };

    // Appends the frame's header and message, and the tail unless it is
    // shared. Nothing is queued when it throws.
    void queue_frame(const google::protobuf::Message& message, const void* tail, size_t tail_size, bool shared)
    {
        const size_t head_size = message.ByteSizeLong();
        const size_t n = head_size + tail_size;
        // An empty body would be a frame that every reader refuses.
        if (n == 0 || n > max_message_size || n > static_cast<size_t>(INT_MAX))
            throw boost::system::system_error(
                qv::make_error_code(qv::EC_BAD_MESSAGE_SIZE), "async_send_message");
        const size_t copied = shared ? 0 : tail_size;
        const size_t p = send_buffer.size;
        send_buffer.resize(p + header_size + head_size + copied,
                           send_buffer_secure ? CF_BUFFER_SECURE : CF_BUFFER_KEEP);
        const uint32_t length = static_cast<uint32_t>(n);
        uint8_t* const out = send_buffer.data.get() + p;
        std::memcpy(out, &length, header_size);
        message.SerializeWithCachedSizesToArray(out + header_size);
        if (copied != 0)
            std::memcpy(out + header_size + head_size, tail, copied);
    }

    void start_pump()
    {
        if (!batched_writes || write_buffer.size != 0 || !is_open()) {
            pump();
        } else if (!pump_posted) {
            pump_posted = true;
            auto self = shared_link();
            auto handler = cf_make_ipc_handler(post_memory, [self]() {
                self->pump_posted = false;
                self->pump();
            });
            // Posted to the io_context itself, the handler's memory is used;
            // through the type-erased executor asio would allocate.
            const auto executor = socket->get_executor();
            if (const auto* io = executor.template target<boost::asio::io_context::executor_type>())
                boost::asio::post(*io, std::move(handler));
            else
                boost::asio::post(executor, std::move(handler));
        }
    }

    bool output_congested() const { return unsent_limit != 0 && unsent_bytes() > unsent_limit; }

    static void release_if_large(cf_ipc_buffer_t& buffer) noexcept
    {
        if (buffer.size == 0 && buffer.capacity > keep_capacity) {
            buffer.data.reset();
            buffer.capacity = 0;
        }
    }

    void forward_error(const boost::system::error_code& ec)
    {
        if (ec == boost::asio::error::operation_aborted)
            return;
        on_error(ec);
    }

    // Reads after the bytes already buffered.
    void read_more()
    {
        const size_t have = read_buffer.size;
        const size_t part = std::max(read_buffer.capacity - have, read_step);
        read_buffer.resize(have + part, CF_BUFFER_KEEP);
        read_buffer.size = have;
        auto self = shared_link();
        socket->async_read_some(boost::asio::buffer(read_buffer.data.get() + have, part),
            cf_make_ipc_handler(read_memory,
                [self](const boost::system::error_code& ec, size_t n) { self->on_read(ec, n); }));
    }

    void on_read(const boost::system::error_code& ec, size_t n)
    {
        if (!is_open() || reading_stopped)
            return;
        if (ec == boost::asio::error::eof && peer_reads_on()) {
            drop_input();
            on_input_end();
            return;
        }
        if (ec) {
            forward_error(ec);
            return;
        }
        read_buffer.size += n;
        last_read_time = std::chrono::steady_clock::now();
        deliver_frames();
    }

    // After an end of stream: true when the peer only shut down its sending
    // side (no hang-up reported), so that what is written still reaches it.
    bool peer_reads_on() const
    {
        pollfd watched{socket->native_handle(), POLLIN | POLLRDHUP, 0};
        return ::poll(&watched, 1, 0) == 1 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
    }

    // Bytes read that will never be delivered.
    void drop_input() noexcept
    {
        read_buffer.size = 0;
        release_if_large(read_buffer);
    }

    // Hands every complete frame in the buffer to on_message, in order, until
    // the owner closes the link or stops reading, or output congests; keeps
    // the rest and reads on unless reading paused.
    void deliver_frames()
    {
        const uint8_t* const data = read_buffer.data.get();
        size_t offset = 0;
        bool paused = false;
        while (read_buffer.size - offset >= header_size) {
            uint32_t length;
            std::memcpy(&length, data + offset, header_size);
            if (length == 0 || length > max_message_size || length > static_cast<uint32_t>(INT_MAX)) {
                on_error(qv::make_error_code(qv::EC_BAD_MESSAGE_SIZE));
                drop_input();
                return;
            }
            if (read_buffer.size - offset - header_size < length)
                break;
            google::protobuf::io::ArrayInputStream body(
                data + offset + header_size, static_cast<int>(length));
            offset += header_size + length;
            on_message(body);
            if (!is_open())
                return;
            if (reading_stopped) {
                drop_input();
                return;
            }
            if (output_congested() || intake_full()) {
                paused = true;
                break;
            }
        }
        const size_t rest = read_buffer.size - offset;
        if (offset != 0 && rest != 0)
            std::memmove(read_buffer.data.get(), data + offset, rest);
        read_buffer.size = rest;
        release_if_large(read_buffer);
        if (paused)
            read_waiting = true;
        else
            read_more();
    }

    void pump()
    {
        if (write_buffer.size != 0)
            return;
        // Closed (or never opened): frames stay queued and are never written.
        if (!is_open())
            return;
        if (send_buffer.size == 0) {
            release_if_large(send_buffer);
            release_if_large(write_buffer);
            on_all_sent();
            return;
        }
        write_buffer_secure = send_buffer_secure;
        send_buffer_secure = false;
        write_buffer.swap_storage(send_buffer);
        write_buffer.size = send_buffer.size;
        send_buffer.size = 0;
        write_tails.swap(send_tails);
        write_tail_bytes = send_tail_bytes;
        send_tail_bytes = 0;
        on_write_start();
        auto self = shared_link();
        auto handler = cf_make_ipc_handler(write_memory,
            [self](const boost::system::error_code& ec, size_t) { self->on_write_done(ec); });
        if (write_tails.empty()) {
            boost::asio::async_write(*socket, boost::asio::buffer(write_buffer.data.get(), write_buffer.size),
                                     std::move(handler));
            return;
        }
        // The buffer's bytes with each shared tail in its place.
        const uint8_t* const bytes = write_buffer.data.get();
        size_t at = 0;
        for (const shared_tail_t& tail : write_tails) {
            write_pieces.emplace_back(bytes + at, tail.offset - at);
            write_pieces.emplace_back(tail.data, tail.size);
            at = tail.offset;
        }
        if (at < write_buffer.size)
            write_pieces.emplace_back(bytes + at, write_buffer.size - at);
        boost::asio::async_write(*socket, piece_list_t{&write_pieces}, std::move(handler));
    }

    void on_write_done(const boost::system::error_code& ec)
    {
        if (!is_open())
            return;
        if (ec) {
            // The pump stops: write_buffer keeps its size, later sends only queue.
            forward_error(ec);
            return;
        }
        if (write_buffer_secure) {
            write_buffer_secure = false;
            write_buffer.cleanse();
        }
        write_buffer.resize(0, CF_BUFFER_DISCARD);
        write_tails.clear();
        write_tail_bytes = 0;
        write_pieces.clear();
        on_write_complete();
        pump();
        if (read_waiting && is_open() && !reading_stopped && !output_congested() && !intake_full()) {
            read_waiting = false;
            deliver_frames();
        }
    }

    // Shared tails of the frames in send_buffer and in write_buffer, in order,
    // with their total sizes; the pieces of the write in flight.
    std::vector<shared_tail_t> send_tails;
    std::vector<shared_tail_t> write_tails;
    size_t send_tail_bytes = 0;
    size_t write_tail_bytes = 0;
    std::vector<boost::asio::const_buffer> write_pieces;

    size_t unsent_limit = 0;
    std::chrono::steady_clock::time_point last_read_time;
    // The read loop stopped after a frame because output was congested.
    bool read_waiting = false;
    // The owner ended reading for good.
    bool reading_stopped = false;
    bool batched_writes = false;
    // A pump is posted and has not run yet.
    bool pump_posted = false;
    cf_ipc_handler_memory_t read_memory;
    cf_ipc_handler_memory_t write_memory;
    cf_ipc_handler_memory_t post_memory;
};

using cf_unix_socket_t =
    boost::asio::basic_stream_socket<boost::asio::local::stream_protocol, boost::asio::any_io_executor>;
using cf_unix_ipc_link_t = cf_basic_ipc_link_t<cf_unix_socket_t>;

constexpr size_t CF_IPC_MAX_MESSAGE_SIZE = 64 * 1024 * 1024;
