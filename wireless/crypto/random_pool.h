// The random pool that feeds keys and nonces. It mixes events into a pool of 32 words and
// keys its output with 20 bytes read from "/dev/urandom"; an optional entropy file keeps
// the pool-ready count and 20 random bytes between runs. Process-wide and unlocked: it is
// used from the supplicant's thread only.
#pragma once

#include <cstddef>
#include <cstdint>

// How the pool hands its "/dev/urandom" reader to the event loop while key bytes are
// missing: register a read handler for a descriptor, and remove it again. Without these
// the missing bytes are read when readiness is asked.
using random_pool_sock_handler = void (*)(int sock, void *eloop_ctx, void *user_ctx);
struct random_pool_eloop_ops {
    int (*register_read_sock)(int sock, random_pool_sock_handler handler, void *eloop_ctx, void *user_ctx);
    void (*unregister_read_sock)(int sock);
};
void random_pool_set_eloop_ops(const random_pool_eloop_ops *ops);

void random_pool_init(const char *entropy_file);
void random_pool_deinit();
void random_pool_add_entropy(const void *buf, size_t len);
// Fills buf from the operating system, then mixes the pool's output into it; returns the
// result of the operating-system read (0 or -1).
int random_pool_get_bytes(uint8_t *buf, size_t len);
bool random_pool_is_ready();
void random_pool_mark_ready();
