// Login sessions of the web interface: 17 slots, each a random 16-character key bound to
// a level and a user name, idle expiry, eviction of the oldest session of the same or a
// lower level when the table is full, and the image file "/var/sessions.raw" that
// carries the table across a warm restart. The table is locked: every connection thread
// uses it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

struct HttpSession {
    char key[17];
    int32_t level;
    int64_t lastUse;
    int64_t login;
    char user[66];
    int32_t kind; // -1 free, else the level given at creation

    void clear();
    bool inUse() const { return kind != -1; }
};

class HttpSessionStore {
public:
    static constexpr int Slots = 17;
    static constexpr int Special = 16;
    static constexpr uint32_t Magic = 0x10030;
    static constexpr int ImageSize = 824;
    static constexpr int SlotSize = 48;

    HttpSessionStore();

    // The slot of the key (its first 16 characters), -1 when none, -2 when it had
    // expired (it is cleared). With refresh its last use becomes now.
    int find(const char *key, bool refresh);
    // A new session; the slot or -1 when no slot is free or evictable.
    int allocate(int kind, const char *user, int level);
    // Frees the slot.
    void release(int slot);
    // Sessions in use and not expired among slots 0 to 15.
    void countLogged(int &administrators, int &users);
    // A copy of a slot (under the lock).
    HttpSession slot(int i);
    // Ends every session (start-up without a session image, tests).
    void clearAll();

    int save(const std::string &path);
    int load(const std::string &path, int warmStartCount);

    // The idle time limit in seconds, 0 when sessions do not expire.
    static int64_t idleLimitSeconds();

private:
    bool expired(HttpSession &s, int64_t now);
    void fill(HttpSession &s, int kind, const char *user, int level);
    std::mutex mutex_;
    HttpSession slots_[Slots];
};

HttpSessionStore &sessionStore();
// The session image file: sysPath("/var/sessions.raw").
std::string sessionImagePath();
// Points the image elsewhere (tests); empty restores the default.
void setSessionImagePath(const std::string &path);
