#include "wireless/core/eloop.h"

#include "wireless/core/os.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <vector>

namespace {

struct eloop_sock {
    int sock;
    void *eloop_data;
    void *user_data;
    eloop_sock_handler handler;
};

struct eloop_sock_table {
    std::vector<eloop_sock> table;
    int changed = 0;
};

struct eloop_timeout {
    eloop_timeout *prev;
    eloop_timeout *next;
    os_reltime time;
    void *eloop_data;
    void *user_data;
    eloop_timeout_handler handler;
};

struct eloop_data {
    int count = 0;
    eloop_sock_table readers, writers, exceptions;
    eloop_timeout *first = nullptr; // sorted by expiry, earliest first
    eloop_timeout *last = nullptr;
    int terminate = 0;
};

eloop_data eloop;

// A table can hold at most this many entries (as the registration counts go).
constexpr size_t MaxTableEntries = (1u << 28) - 1;

eloop_sock_table *table_of(eloop_event_type type) {
    switch (type) {
    case EVENT_TYPE_READ:
        return &eloop.readers;
    case EVENT_TYPE_WRITE:
        return &eloop.writers;
    case EVENT_TYPE_EXCEPTION:
        return &eloop.exceptions;
    }
    return nullptr;
}

void unlink_timeout(eloop_timeout *t) {
    (t->prev ? t->prev->next : eloop.first) = t->next;
    (t->next ? t->next->prev : eloop.last) = t->prev;
    t->prev = t->next = nullptr;
}

void insert_timeout(eloop_timeout *t) {
    eloop_timeout *after = eloop.first;
    while (after != nullptr && !os_reltime_before(&t->time, &after->time))
        after = after->next;
    if (after == nullptr) {
        t->prev = eloop.last;
        t->next = nullptr;
        (eloop.last ? eloop.last->next : eloop.first) = t;
        eloop.last = t;
    } else {
        t->next = after;
        t->prev = after->prev;
        (after->prev ? after->prev->next : eloop.first) = t;
        after->prev = t;
    }
}

void remaining_of(const eloop_timeout *t, const os_reltime *now, os_reltime *rem) {
    if (os_reltime_before(now, &t->time))
        os_reltime_sub(&t->time, now, rem);
    else
        rem->sec = rem->usec = 0;
}

// Milliseconds until the first timeout, capped for poll(); -1 without one.
int wait_ms() {
    if (eloop.first == nullptr) return -1;
    os_reltime now, rem;
    if (os_get_reltime(&now) != 0) return 0;
    remaining_of(eloop.first, &now, &rem);
    if (rem.sec >= INT_MAX / 1000 - 1) return INT_MAX;
    // Round up so a wake-up never comes before the expiry (that would spin).
    return static_cast<int>(rem.sec * 1000 + (rem.usec + 999) / 1000);
}

void dispatch(eloop_sock_table *table, const std::vector<pollfd> &fds, short mask) {
    table->changed = 0;
    for (size_t i = 0; i < table->table.size(); i++) {
        int sock = table->table[i].sock;
        bool ready = false;
        for (const pollfd &p : fds)
            if (p.fd == sock && (p.revents & mask)) {
                ready = true;
                break;
            }
        if (!ready) continue;
        eloop_sock e = table->table[i];
        e.handler(e.sock, e.eloop_data, e.user_data);
        if (table->changed) break;
    }
}

} // namespace

int eloop_init() {
    eloop_destroy();
    return 0;
}

int eloop_register_sock(int sock, eloop_event_type type, eloop_sock_handler handler, void *eloop_data,
                        void *user_data) {
    eloop_sock_table *table = table_of(type);
    if (table == nullptr || sock < 0 || handler == nullptr) return -1;
    if (table->table.size() >= MaxTableEntries) return -1;
    table->table.push_back({sock, eloop_data, user_data, handler});
    eloop.count++;
    table->changed = 1;
    return 0;
}

int eloop_register_read_sock(int sock, eloop_sock_handler handler, void *eloop_data, void *user_data) {
    return eloop_register_sock(sock, EVENT_TYPE_READ, handler, eloop_data, user_data);
}

void eloop_unregister_sock(int sock, eloop_event_type type) {
    eloop_sock_table *table = table_of(type);
    if (table == nullptr) return;
    for (size_t i = 0; i < table->table.size(); i++) {
        if (table->table[i].sock == sock) {
            table->table.erase(table->table.begin() + static_cast<long>(i));
            eloop.count--;
            table->changed = 1;
            return;
        }
    }
}

void eloop_unregister_read_sock(int sock) {
    eloop_unregister_sock(sock, EVENT_TYPE_READ);
}

int eloop_register_timeout(int64_t secs, int64_t usecs, eloop_timeout_handler handler, void *eloop_data,
                           void *user_data) {
    os_reltime now;
    if (handler == nullptr || os_get_reltime(&now) != 0) return -1;
    auto *t = static_cast<eloop_timeout *>(calloc(1, sizeof(eloop_timeout)));
    if (t == nullptr) return -1;
    os_reltime_add_sat(&now, secs, usecs, &t->time);
    t->eloop_data = eloop_data;
    t->user_data = user_data;
    t->handler = handler;
    insert_timeout(t);
    return 0;
}

int eloop_cancel_timeout(eloop_timeout_handler handler, void *eloop_data, void *user_data) {
    int removed = 0;
    for (eloop_timeout *t = eloop.first, *next; t != nullptr; t = next) {
        next = t->next;
        if (t->handler == handler && (t->eloop_data == eloop_data || eloop_data == ELOOP_ALL_CTX) &&
            (t->user_data == user_data || user_data == ELOOP_ALL_CTX)) {
            unlink_timeout(t);
            free(t);
            removed++;
        }
    }
    return removed;
}

int eloop_cancel_timeout_one(eloop_timeout_handler handler, void *eloop_data, void *user_data,
                             os_time *remaining) {
    remaining->sec = remaining->usec = 0;
    for (eloop_timeout *t = eloop.first; t != nullptr; t = t->next) {
        if (t->handler == handler && t->eloop_data == eloop_data && t->user_data == user_data) {
            os_reltime now;
            if (os_get_reltime(&now) == 0) remaining_of(t, &now, remaining);
            unlink_timeout(t);
            free(t);
            return 1;
        }
    }
    return 0;
}

int eloop_is_timeout_registered(eloop_timeout_handler handler, void *eloop_data, void *user_data) {
    for (eloop_timeout *t = eloop.first; t != nullptr; t = t->next)
        if (t->handler == handler && t->eloop_data == eloop_data && t->user_data == user_data) return 1;
    return 0;
}

int eloop_shorten_timeout(int64_t req_secs, int64_t req_usecs, eloop_timeout_handler handler,
                          void *eloop_data, void *user_data) {
    os_reltime now, requested, remaining;
    for (eloop_timeout *t = eloop.first; t != nullptr; t = t->next) {
        if (t->handler != handler || t->eloop_data != eloop_data || t->user_data != user_data) continue;
        if (os_get_reltime(&now) != 0) return -1;
        remaining_of(t, &now, &remaining);
        os_reltime zero{0, 0};
        os_reltime_add_sat(&zero, req_secs, req_usecs, &requested);
        if (!os_reltime_before(&requested, &remaining)) return 0;
        eloop_cancel_timeout(handler, eloop_data, user_data);
        eloop_register_timeout(req_secs, req_usecs, handler, eloop_data, user_data);
        return 1;
    }
    return -1;
}

void eloop_run() {
    std::vector<pollfd> fds;
    while (!eloop.terminate && (eloop.first != nullptr || eloop.count > 0)) {
        // One poll entry per distinct socket; poll() has no descriptor ceiling.
        fds.clear();
        auto add = [&fds](eloop_sock_table &table, short events) {
            for (const eloop_sock &e : table.table) {
                bool found = false;
                for (pollfd &p : fds)
                    if (p.fd == e.sock) {
                        p.events |= events;
                        found = true;
                        break;
                    }
                if (!found) fds.push_back({e.sock, events, 0});
            }
        };
        add(eloop.readers, POLLIN);
        add(eloop.writers, POLLOUT);
        add(eloop.exceptions, POLLPRI);

        int res = poll(fds.data(), fds.size(), wait_ms());
        if (res < 0 && errno != EINTR) {
            perror("poll");
            return;
        }
        eloop.readers.changed = eloop.writers.changed = eloop.exceptions.changed = 0;
        // A descriptor closed while still registered would be reported invalid on every
        // pass: drop its entries instead of spinning on it.
        for (const pollfd &p : fds) {
            if (!(p.revents & POLLNVAL)) continue;
            fprintf(stderr, "eloop: dropping closed descriptor %d\n", p.fd);
            for (eloop_event_type t : {EVENT_TYPE_READ, EVENT_TYPE_WRITE, EVENT_TYPE_EXCEPTION})
                eloop_unregister_sock(p.fd, t);
        }

        if (eloop.first != nullptr) {
            os_reltime now;
            if (os_get_reltime(&now) == 0 && !os_reltime_before(&now, &eloop.first->time)) {
                eloop_timeout *t = eloop.first;
                unlink_timeout(t);
                eloop_timeout copy = *t;
                free(t);
                copy.handler(copy.eloop_data, copy.user_data);
            }
        }
        if (res <= 0) continue;
        // A handler that ran above may have changed the tables: the poll results can be stale.
        if (eloop.readers.changed || eloop.writers.changed || eloop.exceptions.changed) continue;
        // A peer that hung up or a socket in error counts as readable: its handler sees why.
        dispatch(&eloop.readers, fds, POLLIN | POLLHUP | POLLERR);
        dispatch(&eloop.writers, fds, POLLOUT | POLLERR);
        dispatch(&eloop.exceptions, fds, POLLPRI);
    }
    eloop.terminate = 0;
}

int eloop_run_due(int64_t secs, int64_t usecs) {
    for (eloop_timeout *t = eloop.first; t != nullptr; t = t->next) {
        os_reltime earlier = t->time;
        earlier.sec -= secs;
        earlier.usec -= usecs;
        while (earlier.usec < 0) {
            earlier.usec += 1000000;
            earlier.sec--;
        }
        while (earlier.usec >= 1000000) {
            earlier.usec -= 1000000;
            earlier.sec++;
        }
        t->time = earlier;
    }
    int ran = 0;
    // Bounded: a handler that re-arms itself at 0 s cannot keep this loop going forever.
    while (eloop.first != nullptr && ran < 100000) {
        os_reltime now;
        if (os_get_reltime(&now) != 0 || os_reltime_before(&now, &eloop.first->time)) break;
        eloop_timeout *t = eloop.first;
        unlink_timeout(t);
        eloop_timeout copy = *t;
        free(t);
        copy.handler(copy.eloop_data, copy.user_data);
        ran++;
    }
    return ran;
}

void eloop_terminate() {
    eloop.terminate = 1;
}

int eloop_terminated() {
    return eloop.terminate;
}

void eloop_destroy() {
    for (eloop_timeout *t = eloop.first, *next; t != nullptr; t = next) {
        next = t->next;
        free(t);
    }
    eloop.first = eloop.last = nullptr;
    eloop.readers.table.clear();
    eloop.writers.table.clear();
    eloop.exceptions.table.clear();
    eloop.readers.changed = eloop.writers.changed = eloop.exceptions.changed = 0;
    eloop.count = 0;
    eloop.terminate = 0;
}

void eloop_wait_for_read_sock(int sock) {
    if (sock < 0) return;
    pollfd p{sock, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}
