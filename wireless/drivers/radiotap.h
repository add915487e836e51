// The radiotap header walk used by the monitor interface: the present bitmaps name the
// fields that follow the header, each aligned to its natural alignment.
#pragma once

#include <cstddef>
#include <cstdint>

struct radiotap_iterator {
    const uint8_t *hdr;
    size_t hdr_len;
    const uint8_t *bitmap;    // current present word
    const uint8_t *last_word; // the last present word of the chain
    int bit;                  // next bit of the current word
    int ns_base;              // field number of bit 0 of the current word in its namespace
    bool in_vendor;           // fields of a vendor namespace are skipped
    const uint8_t *arg;       // next field data
    int this_arg_index;       // the field returned last
    const uint8_t *this_arg;
    int this_arg_size;
};

// 0, or -22 for a header that is too short, of another version, longer than the buffer
// or whose present words run past it.
int radiotap_iterator_init(radiotap_iterator *it, const uint8_t *buf, size_t len);
// 0 with the next field, -2 at the end (or at a field without description), -22 when a
// field lies beyond the header.
int radiotap_iterator_next(radiotap_iterator *it);
