// The supplicant's event loop: one thread waits in poll() on the registered sockets and
// on the earliest pending timeout, then runs at most one due timeout and the handlers of
// the ready sockets. Every protocol timer is a one-shot timeout of this loop.
#pragma once

#include "wireless/core/os.h"

#include <cstdint>

enum eloop_event_type {
    EVENT_TYPE_READ = 0,
    EVENT_TYPE_WRITE = 1,
    EVENT_TYPE_EXCEPTION = 2,
};

using eloop_sock_handler = void (*)(int sock, void *eloop_ctx, void *sock_ctx);
using eloop_timeout_handler = void (*)(void *eloop_data, void *user_ctx);

// Wildcard for the data arguments of eloop_cancel_timeout.
#define ELOOP_ALL_CTX (reinterpret_cast<void *>(~static_cast<uintptr_t>(0)))

int eloop_init();
int eloop_register_sock(int sock, eloop_event_type type, eloop_sock_handler handler, void *eloop_data,
                        void *user_data);
int eloop_register_read_sock(int sock, eloop_sock_handler handler, void *eloop_data, void *user_data);
void eloop_unregister_sock(int sock, eloop_event_type type);
void eloop_unregister_read_sock(int sock);

// Delays that do not fit the clock saturate at the latest representable time: the
// timeout stays registered (it never fires) instead of being dropped.
int eloop_register_timeout(int64_t secs, int64_t usecs, eloop_timeout_handler handler, void *eloop_data,
                           void *user_data);
int eloop_cancel_timeout(eloop_timeout_handler handler, void *eloop_data, void *user_data);
int eloop_cancel_timeout_one(eloop_timeout_handler handler, void *eloop_data, void *user_data,
                             struct os_time *remaining);
int eloop_is_timeout_registered(eloop_timeout_handler handler, void *eloop_data, void *user_data);
int eloop_shorten_timeout(int64_t req_secs, int64_t req_usecs, eloop_timeout_handler handler,
                          void *eloop_data, void *user_data);

void eloop_run();
// Lets (secs, usecs) pass for the pending timeouts and runs every one that is then due,
// in order, without waiting; timeouts registered meanwhile run too when due. Returns the
// number run. For driving timer logic step by step.
int eloop_run_due(int64_t secs, int64_t usecs);
void eloop_terminate();
int eloop_terminated();
void eloop_destroy();
void eloop_wait_for_read_sock(int sock);
