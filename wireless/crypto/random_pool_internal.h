// Seams of the random pool for its unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

// Device the key bytes are read from ("/dev/urandom" unless set); null restores it.
void random_pool_set_key_device(const char *path);
// Forgets all pool state (words, counters, key, path), closing the reader.
void random_pool_reset();
// The pool words, for checking the mix step.
const uint32_t *random_pool_words();
unsigned random_pool_input_rotate();
unsigned random_pool_position();
void random_pool_mix(const uint8_t *buf, size_t len);
