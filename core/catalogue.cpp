// Compiled message catalogues: a header of seven words, then two tables of (length,
// offset) pairs, one for the original texts and one for their translations, each text
// zero-terminated in the file. Every offset and length is checked against the data
// before use, so a damaged file gives an empty catalogue, never a read outside it.

#include "core/catalogue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

constexpr uint32_t Magic = 0x950412de;
constexpr uint32_t MagicSwapped = 0xde120495;
constexpr size_t MaxFile = 16u << 20;

uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

std::mutex cacheMutex;
std::string catalogueDir;
// Catalogues live for the process: getmuText hands out pointers into them.
std::map<std::string, std::unique_ptr<MessageCatalogue>> &cache() {
    static auto *c = new std::map<std::string, std::unique_ptr<MessageCatalogue>>();
    return *c;
}

struct ThreadChoice {
    bool chosen = false;
    const MessageCatalogue *catalogue = nullptr;
};
thread_local ThreadChoice threadChoice;

} // namespace

bool MessageCatalogue::parse(const void *data, size_t length) {
    data_.clear();
    index_.clear();
    if (data == nullptr || length < 28 || length > MaxFile) return false;
    const auto *bytes = static_cast<const unsigned char *>(data);
    auto word = [&](size_t at, bool swap) {
        uint32_t v;
        std::memcpy(&v, bytes + at, 4);
        return swap ? swap32(v) : v;
    };
    uint32_t magic = word(0, false);
    if (magic != Magic && magic != MagicSwapped) return false;
    bool swap = magic == MagicSwapped;
    uint32_t count = word(8, swap), originals = word(12, swap), translations = word(16, swap);
    if (count > length / 16) return false;
    auto tableFits = [&](uint32_t at) { return at <= length && (length - at) / 8 >= count; };
    if (!tableFits(originals) || !tableFits(translations)) return false;
    std::vector<Entry> entries;
    entries.reserve(count);
    for (uint32_t i = 0; i < count; i++) {
        Entry e;
        e.originalLength = word(originals + 8 * i, swap);
        e.original = word(originals + 8 * i + 4, swap);
        e.translationLength = word(translations + 8 * i, swap);
        e.translation = word(translations + 8 * i + 4, swap);
        // Each text and its terminating zero byte must lie inside the data.
        auto textFits = [&](uint32_t at, uint32_t n) {
            return at < length && n < length - at && bytes[at + n] == '\0';
        };
        if (!textFits(e.original, e.originalLength) || !textFits(e.translation, e.translationLength))
            return false;
        // The header entry (empty original) and plural forms are not looked up by text.
        if (e.originalLength == 0) continue;
        entries.push_back(e);
    }
    data_.assign(bytes, bytes + length);
    std::sort(entries.begin(), entries.end(), [&](const Entry &a, const Entry &b) {
        return std::strcmp(data_.data() + a.original, data_.data() + b.original) < 0;
    });
    index_ = std::move(entries);
    return true;
}

bool MessageCatalogue::load(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<char> bytes;
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
        if (bytes.size() + n > MaxFile) {
            std::fclose(f);
            return false;
        }
        bytes.insert(bytes.end(), block, block + n);
    }
    std::fclose(f);
    return parse(bytes.data(), bytes.size());
}

const char *MessageCatalogue::find(const char *message) const {
    if (message == nullptr || index_.empty()) return nullptr;
    size_t lo = 0, hi = index_.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = std::strcmp(data_.data() + index_[mid].original, message);
        if (c == 0) {
            const Entry &e = index_[mid];
            return e.translationLength > 0 ? data_.data() + e.translation : nullptr;
        }
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

const char *MessageCatalogue::translate(const char *message) const {
    const char *t = find(message);
    return t ? t : message;
}

void setCatalogueDirectory(const std::string &dir) {
    std::lock_guard<std::mutex> g(cacheMutex);
    if (dir != catalogueDir) cache().clear();
    catalogueDir = dir;
}

const MessageCatalogue *catalogueFor(const char *code, const char *locale) {
    std::vector<std::string> names;
    auto plain = [](const char *s) {
        // A name that could leave the catalogue directory is never tried.
        return s && *s && std::strchr(s, '/') == nullptr && std::strstr(s, "..") == nullptr;
    };
    if (plain(locale)) {
        names.emplace_back(locale);
        const char *dot = std::strchr(locale, '.');
        if (dot && dot != locale) names.emplace_back(locale, dot - locale);
    }
    if (plain(code)) names.emplace_back(code);
    if (names.empty()) return nullptr;
    std::lock_guard<std::mutex> g(cacheMutex);
    if (catalogueDir.empty()) return nullptr;
    auto &c = cache();
    std::string key = names.front() + "|" + (code ? code : "");
    auto it = c.find(key);
    if (it != c.end()) return it->second.get();
    std::unique_ptr<MessageCatalogue> found;
    for (const std::string &name : names) {
        auto cat = std::make_unique<MessageCatalogue>();
        if (cat->load(catalogueDir + "/" + name + "/LC_MESSAGES/qmr.mo")) {
            found = std::move(cat);
            break;
        }
    }
    const MessageCatalogue *result = found.get();
    c.emplace(key, std::move(found));
    return result;
}

void setThreadLanguage(const MessageCatalogue *catalogue) {
    threadChoice.chosen = true;
    threadChoice.catalogue = catalogue;
}

void clearThreadLanguage() {
    threadChoice = ThreadChoice{};
}

bool threadLanguage(const MessageCatalogue *&catalogue) {
    catalogue = threadChoice.catalogue;
    return threadChoice.chosen;
}
