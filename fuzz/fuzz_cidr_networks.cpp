// CIDR lists: the interval look-up answers as cidr_match over every network.
// Input: records of one family byte, one prefix byte and the address bytes;
// the last record is the value.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lists/lp_cidr_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<lp_cidr_entry_t> entries;
    size_t at = 0;
    while (at + 2 <= size) {
        lp_cidr_entry_t entry;
        const bool v6 = data[at] & 1;
        const int width = v6 ? 16 : 4;
        if (at + 2 + static_cast<size_t>(width) > size)
            break;
        entry.family = v6 ? AF_INET6 : AF_INET;
        const int prefix = data[at + 1] % (v6 ? 129 : 33);
        std::memcpy(entry.address, data + at + 2, static_cast<size_t>(width));
        if (v6) {
            entry.whole_words = prefix / 32;
            entry.rest_bits = prefix % 32;
            if (entry.rest_bits != 0)
                entry.mask = htonl(0xffffffffu << (32 - entry.rest_bits));
        } else if (prefix != 0) {
            entry.mask = htonl(0xffffffffu << (32 - prefix));
        }
        entries.push_back(entry);
        at += 2 + static_cast<size_t>(width);
    }
    if (entries.empty())
        return 0;
    const lp_cidr_entry_t value = entries.back();
    entries.pop_back();

    lp_cidr_networks_t networks;
    bool expected = false;
    for (const lp_cidr_entry_t& entry : entries) {
        networks.add(entry);
        expected = expected || cidr_match(value, entry);
    }
    if (networks.contains(value) != expected)
        std::abort();
    return 0;
}
