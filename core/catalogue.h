// Message catalogues read from the compiled catalogue files ("<dir>/<lang>/LC_MESSAGES/
// qmr.mo") without the C library's process-wide language: each thread may choose the
// language of its own look-ups (the web connections choose it per request), and
// getmuText answers from the chosen catalogue. No environment variable is changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class MessageCatalogue {
public:
    // Reads a compiled catalogue (either byte order). False for data that is not one,
    // or whose tables point outside it; the catalogue is then empty.
    bool parse(const void *data, size_t length);
    // Reads the file (at most 16 MiB); false when it cannot be read or parsed.
    bool load(const std::string &path);

    // The translation of the message, or null when the catalogue has none.
    const char *find(const char *message) const;
    // The translation, or the message itself.
    const char *translate(const char *message) const;
    size_t size() const { return index_.size(); }

private:
    struct Entry {
        uint32_t original, originalLength, translation, translationLength;
    };
    std::vector<char> data_;
    std::vector<Entry> index_; // sorted by original text
};

// The catalogue of a language: the first of "<dir>/<locale>", "<dir>/<locale without
// its codeset>" and "<dir>/<code>" that holds "LC_MESSAGES/qmr.mo" (dir as given to
// setCatalogueDirectory). Loaded once and kept for the life of the process; null when
// the language has no catalogue (its texts stay untranslated).
const MessageCatalogue *catalogueFor(const char *code, const char *locale);

// The directory of the catalogues; bindMessageCatalogue sets it at start.
void setCatalogueDirectory(const std::string &dir);

// Chooses the language of getmuText on the calling thread: catalogue null means
// untranslated texts. clearThreadLanguage returns the thread to the process-wide
// catalogue of the C library.
void setThreadLanguage(const MessageCatalogue *catalogue);
void clearThreadLanguage();
// True when the calling thread chose a language; catalogue receives it.
bool threadLanguage(const MessageCatalogue *&catalogue);
