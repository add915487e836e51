// Login sessions and their image file.

#include "web/sessions.h"

#include "core/sysroot.h"
#include "core/ticks.h"
#include "core/utils_text.h"
#include "param_catalogue.h"
#include "web/webtext.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The name parameter of a session level.
StringParam *nameParam(int level) {
    switch (level) {
    case 4:
        return p_admin_name;
    case 3:
        return p_usbMg_name;
    case 2:
        return p_any_name;
    default:
        return nullptr;
    }
}

void putWord(unsigned char *p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
void putTicks(unsigned char *p, int64_t v) {
    std::memcpy(p, &v, 8);
}

} // namespace

void HttpSession::clear() {
    std::memset(key, 0, sizeof key);
    level = 0;
    lastUse = 0;
    login = 0;
    user[0] = '\0';
    kind = -1;
}

HttpSessionStore::HttpSessionStore() {
    for (HttpSession &s : slots_)
        s.clear();
}

int64_t HttpSessionStore::idleLimitSeconds() {
    if (!p_sessKeyTimer->isOn()) return 0;
    return static_cast<int64_t>(p_sessKeyTimeout->value()) * 60;
}

bool HttpSessionStore::expired(HttpSession &s, int64_t now) {
    int64_t limit = idleLimitSeconds();
    if (limit <= 0) return false;
    if ((now - s.lastUse) / 100 > limit) {
        s.clear();
        return true;
    }
    return false;
}

void HttpSessionStore::fill(HttpSession &s, int kind, const char *user, int level) {
    s.kind = kind;
    s.level = level;
    std::snprintf(s.user, sizeof s.user, "%s", user ? user : "");
    s.lastUse = s.login = sysTicks();
    // The key comes from the OS random source; without one no key is made that a
    // visitor could guess, and the slot stays unusable.
    if (!randomAlnum(s.key, 16)) {
        s.clear();
        return;
    }
    s.key[16] = '\0';
}

int HttpSessionStore::find(const char *key, bool refresh) {
    if (key == nullptr) return -1;
    char probe[17] = {};
    std::strncpy(probe, key, 16);
    if (std::strlen(probe) != 16) return -1;
    std::lock_guard<std::mutex> g(mutex_);
    int64_t now = sysTicks();
    for (int i = 0; i < Slots; i++) {
        HttpSession &s = slots_[i];
        if (!s.inUse() || std::memcmp(s.key, probe, 16) != 0) continue;
        if (expired(s, now)) return -2;
        if (refresh) s.lastUse = now;
        return i;
    }
    return -1;
}

int HttpSessionStore::allocate(int kind, const char *user, int level) {
    std::lock_guard<std::mutex> g(mutex_);
    if (level == 5) {
        fill(slots_[Special], kind, user, level);
        return slots_[Special].inUse() ? Special : -1;
    }
    int64_t now = sysTicks();
    int first = level == 4 ? 2 : 0;
    int candidate = -1;
    for (int i = first; i < Special; i++) {
        HttpSession &s = slots_[i];
        if (!s.inUse() || expired(s, now)) {
            fill(s, kind, user, level);
            return s.inUse() ? i : -1;
        }
        if (s.level <= level && (candidate < 0 || s.lastUse < slots_[candidate].lastUse)) candidate = i;
    }
    if (candidate < 0) return -1;
    fill(slots_[candidate], kind, user, level);
    return slots_[candidate].inUse() ? candidate : -1;
}

void HttpSessionStore::release(int slot) {
    if (slot < 0 || slot >= Slots) return;
    std::lock_guard<std::mutex> g(mutex_);
    slots_[slot].clear();
}

void HttpSessionStore::countLogged(int &administrators, int &users) {
    administrators = users = 0;
    std::lock_guard<std::mutex> g(mutex_);
    int64_t now = sysTicks();
    for (int i = 0; i < Special; i++) {
        HttpSession &s = slots_[i];
        if (!s.inUse() || expired(s, now)) continue;
        if (s.level == 4) administrators++;
        if (s.level == 2) users++;
    }
}

HttpSession HttpSessionStore::slot(int i) {
    HttpSession copy;
    copy.clear();
    if (i < 0 || i >= Slots) return copy;
    std::lock_guard<std::mutex> g(mutex_);
    return slots_[i];
}

void HttpSessionStore::clearAll() {
    std::lock_guard<std::mutex> g(mutex_);
    for (HttpSession &s : slots_)
        s.clear();
}

// The image: the magic, 4 unused bytes, then 17 records of 48 bytes: the key (16
// characters and a zero byte), 3 unused bytes, the level, the last-use and login ticks
// (relative to the time of saving for slots 0 to 15), 4 bytes where the user name's
// address stood (written as 0) and the kind. Native little-endian words.
int HttpSessionStore::save(const std::string &path) {
    unsigned char image[ImageSize] = {};
    {
        std::lock_guard<std::mutex> g(mutex_);
        int64_t now = sysTicks();
        putWord(image, Magic);
        for (int i = 0; i < Slots; i++) {
            HttpSession &s = slots_[i];
            unsigned char *r = image + 8 + i * SlotSize;
            HttpSession copy = s;
            if (i < Special) {
                if (!s.inUse() || expired(s, now))
                    copy.clear();
                else {
                    copy.lastUse -= now;
                    copy.login -= now;
                }
            }
            std::memcpy(r, copy.key, 17);
            putWord(r + 20, static_cast<uint32_t>(copy.level));
            putTicks(r + 24, copy.lastUse);
            putTicks(r + 32, copy.login);
            putWord(r + 40, 0);
            putWord(r + 44, static_cast<uint32_t>(copy.kind));
        }
    }
    // Written beside the image and renamed over it: a stop in the middle never leaves a
    // half-written image that the next start would read.
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    bool ok = ::write(fd, image, sizeof image) == static_cast<ssize_t>(sizeof image);
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return 0;
    }
    return 1;
}

int HttpSessionStore::load(const std::string &path, int warmStartCount) {
    unsigned char image[ImageSize];
    bool ok = false;
    if (warmStartCount != 0) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ssize_t n = ::read(fd, image, sizeof image);
            uint32_t magic = 0;
            if (n == static_cast<ssize_t>(sizeof image)) std::memcpy(&magic, image, 4);
            ok = magic == Magic;
            ::close(fd);
        }
    }
    std::lock_guard<std::mutex> g(mutex_);
    if (!ok) {
        ::unlink(path.c_str());
        for (int i = 0; i < Special; i++)
            slots_[i].clear();
        return 0;
    }
    int64_t now = sysTicks();
    for (int i = 0; i < Slots; i++) {
        HttpSession &s = slots_[i];
        const unsigned char *r = image + 8 + i * SlotSize;
        s.clear();
        int32_t kind, level;
        std::memcpy(&kind, r + 44, 4);
        std::memcpy(&level, r + 20, 4);
        if (kind == -1 || level < 2 || level > 5) continue;
        std::memcpy(s.key, r, 16);
        s.key[16] = '\0';
        // A key must be 16 letters and digits; anything else is not a session.
        bool valid = true;
        for (int k = 0; k < 16; k++)
            valid = valid && std::isalnum(static_cast<unsigned char>(s.key[k]));
        if (!valid) {
            s.clear();
            continue;
        }
        s.kind = kind;
        s.level = level;
        std::memcpy(&s.lastUse, r + 24, 8);
        std::memcpy(&s.login, r + 32, 8);
        if (i == Special) continue;
        // The image holds ages at the time of saving: they count on from now.
        s.lastUse += now;
        s.login += now;
        if (expired(s, now)) continue;
        StringParam *name = nameParam(level);
        std::string text = name ? paramString(name) : std::string();
        std::snprintf(s.user, sizeof s.user, "%s", text.c_str());
    }
    return 1;
}

HttpSessionStore &sessionStore() {
    static HttpSessionStore store;
    return store;
}

namespace {
std::mutex imagePathMutex;
std::string imagePathOverride;
} // namespace

std::string sessionImagePath() {
    std::lock_guard<std::mutex> g(imagePathMutex);
    return imagePathOverride.empty() ? sysPath("/var/sessions.raw") : imagePathOverride;
}

void setSessionImagePath(const std::string &path) {
    std::lock_guard<std::mutex> g(imagePathMutex);
    imagePathOverride = path;
}
