#include "cf_ipc_link.h"

#include <algorithm>

#include <openssl/crypto.h>

void cf_ipc_buffer_t::resize(size_t new_size, cf_buffer_mode_t mode)
{
    if (capacity < new_size) {
        const size_t grown = static_cast<size_t>(static_cast<double>(capacity) * 1.5);
        const size_t new_capacity = std::max(grown, new_size);
        std::unique_ptr<uint8_t[]> new_data(new uint8_t[new_capacity]);
        if (mode != CF_BUFFER_DISCARD && data) {
            std::memcpy(new_data.get(), data.get(), size);
            if (mode == CF_BUFFER_SECURE)
                OPENSSL_cleanse(data.get(), size);
        }
        data = std::move(new_data);
        capacity = new_capacity;
    } else if (mode == CF_BUFFER_SECURE && new_size < size) {
        OPENSSL_cleanse(data.get() + new_size, size - new_size);
    }
    size = new_size;
}

void cf_ipc_buffer_t::cleanse() noexcept
{
    if (data)
        OPENSSL_cleanse(data.get(), size);
}

void cf_ipc_buffer_t::swap_storage(cf_ipc_buffer_t& other) noexcept
{
    std::swap(data, other.data);
    std::swap(capacity, other.capacity);
}

void* cf_ipc_handler_memory_t::allocate(size_t size)
{
    if (!in_use && size <= sizeof storage) {
        in_use = true;
        return storage;
    }
    return ::operator new(size);
}

void cf_ipc_handler_memory_t::deallocate(void* pointer) noexcept
{
    if (pointer == storage)
        in_use = false;
    else
        ::operator delete(pointer);
}
