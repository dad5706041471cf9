// cbcheck's verification of the numbered sequence, and its records from a
// byte stream (standard input), apart from its main so that they can be
// driven alone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "can4linux.h"

// Identifiers 0..last_id, lengths 0..8, one sequence number per length
// cycle carried in the data (little-endian, 1, 2, 4 or 8 octets checked).
struct SeqCheck {
    uint32_t expected_id = 0;
    int expected_len = 0;
    long long seq = 0;
    uint32_t last_id = 2042; // 0x1FFFFFFA with extended identifiers
    bool debug = false;
};

inline void check_record(SeqCheck &c, const canmsg_t &r, FILE *out)
{
    if (c.debug) {
        fprintf(out, "%10ld/0x%08lx : %d : ", static_cast<long>(static_cast<int32_t>(r.id)),
                static_cast<unsigned long>(r.id), r.length);
        for (int k = 0; k < r.length && k < 8; ++k)
            fprintf(out, "%02x ", r.data[k]);
        fprintf(out, "\n");
        fflush(out);
    }
    if (r.id != c.expected_id) {
        fprintf(out, "wrong message Id received: %0lx, expected %0x, in seq %lld\n",
                static_cast<unsigned long>(r.id), c.expected_id, c.seq);
        c.expected_id = r.id;
    }
    if (r.length != c.expected_len) {
        fprintf(out, "wrong message length: %d, expected %d, in seq %lld\n", r.length, c.expected_len, c.seq);
    } else {
        if (r.length == 1 || r.length == 2 || r.length == 4 || r.length == 8) {
            bool same = true;
            for (int k = 0; k < r.length; ++k)
                same = same &&
                       r.data[k] == static_cast<uint8_t>(static_cast<unsigned long long>(c.seq) >> (8 * k));
            if (!same)
                fprintf(out, "----wrong data, %d exp: %lld\n", r.length, c.seq);
        }
        if (++c.expected_len == 9) {
            c.expected_len = 0;
            ++c.seq;
            fprintf(out, " seq %lld\n", c.seq);
        }
    }
    c.expected_id = c.expected_id >= c.last_id ? 0 : c.expected_id + 1;
}

// Records from a byte stream: a pipe may hand over part of a record, which
// waits at the front of the buffer for the rest. Only whole records count.
struct RecordStream {
    canmsg_t rx[9];
    size_t have = 0; // octets in rx
    char *room() { return reinterpret_cast<char *>(rx) + have; }
    size_t room_size() const { return sizeof rx - have; }
    // `n` octets arrived at room(): the whole records now at the front.
    int added(size_t n)
    {
        have += n;
        return static_cast<int>(have / sizeof(canmsg_t));
    }
    // The whole records were used: the part moves to the front.
    void used()
    {
        size_t whole = have / sizeof(canmsg_t) * sizeof(canmsg_t);
        memmove(rx, reinterpret_cast<char *>(rx) + whole, have - whole);
        have -= whole;
    }
};
