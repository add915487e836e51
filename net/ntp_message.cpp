// SNTP request and reply, and the time-zone text of the time client.

#include "net/ntp_message.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

struct Rule {
    const char *region;
    const char *rule;
};

const Rule rules[] = {
    {"New South Wales", "M10.1.0,M3.5.0"},
    {"South Australia", "M10.1.0,M3.5.0"},
    {"Tasmania", "M10.1.0,M3.5.0"},
    {"Victoria", "M10.1.0,M3.5.0"},
    {"Azer", "M3.5.0,M10.5.0"},
    {"Bahamas", "M4.1.0,M10.5.0"},
    {"Brazil", "J309,J56"},
    {"Canada", "M4.1.0,M10.5.0"},
    {"Chatham", "M10.1.0,M3.3.0"},
    {"Chile", "M10.2.0,M3.2.0"},
    {"Cuba", "M4.1.0,M10.5.0"},
    {"Egypt", "M4.5.5,M9.5.4"},
    {"EU", "M3.5.0,M10.5.0"},
    {"Falklands", "M9.1.0,M4.3.0"},
    {"Guatemala", "J120,J274"},
    {"Haiti", "M4.1.0,M10.5.0"},
    {"Honduras", "M5.1.0,M8.1.1"},
    {"Iran", "J81,J265"},
    {"Iraq", "J91,J274"},
    {"Jordan", "M3.5.4,M10.5.5"},
    {"Lebanon", "M3.5.0,M10.5.0"},
    {"Lord Howe Island", "M10.5.0,M3.5.0"},
    {"Mexico", "M4.1.0,M10.5.0"},
    {"Mongolia", "M3.5.6,M9.5.6"},
    {"Namibia", "M9.1.0,M4.1.0"},
    {"Nicaragua", "J120,M10.1.0"},
    {"New Zealand", "M10.1.0,M3.3.0"},
    {"Palestine", "J91,M10.3.5"},
    {"Paraguay", "M10.3.0,M3.2.0"},
    {"StJohns", "M3.2.0,M11.1.0"},
    {"Syria", "J91,J274"},
    {"TC", "M4.1.0,M10.5.0"},
    {"Thule", "M4.1.0,M10.5.0"},
    {"Tunisia", "M3.5.0,M10.5.0"},
    {"Uruguay", "M10.1.0,M3.2.0"},
    {"US", "M3.2.0,M11.1.0"},
    {"Zion", "M3.4.5,J259"},
};

uint32_t read32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A zone name as TZ takes it: letters only and at least three of them stand as they
// are; other names of at least three characters go in angle brackets. The C library
// takes no name shorter than three characters, quoted or not: such a zone is named by
// its offset east of UTC in angle brackets ("<+08>", "<-0330>"), as tzdata names
// zones without an abbreviation.
void zoneName(const char *name, int eastMinutes, char *out, size_t size) {
    size_t n = std::strlen(name);
    bool letters = true, quotable = true;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        letters = letters && std::isalpha(c);
        quotable = quotable && (std::isalnum(c) || c == '+' || c == '-');
    }
    if (n >= 3 && letters) {
        std::snprintf(out, size, "%s", name);
    } else if (n >= 3 && quotable) {
        std::snprintf(out, size, "<%s>", name);
    } else {
        int m = eastMinutes < 0 ? -eastMinutes : eastMinutes;
        char sign = eastMinutes < 0 ? '-' : '+';
        if (m % 60)
            std::snprintf(out, size, "<%c%02d%02d>", sign, m / 60, m % 60);
        else
            std::snprintf(out, size, "<%c%02d>", sign, m / 60);
    }
}

} // namespace

void buildNtpRequest(uint8_t (&request)[NtpMessageSize]) {
    std::memset(request, 0, sizeof request);
    request[0] = 0x0B;
    request[2] = 4;
}

bool parseNtpReply(const uint8_t *reply, size_t length, timeval &time) {
    if (reply == nullptr || length != NtpMessageSize) return false;
    uint32_t seconds = read32(reply + 40);
    if (seconds == 0) return false;
    int64_t since1970 = seconds >= NtpUnixOffset
                            ? static_cast<int64_t>(seconds) - NtpUnixOffset
                            : static_cast<int64_t>(seconds) + (int64_t{1} << 32) - NtpUnixOffset;
    time.tv_sec = static_cast<time_t>(since1970);
    time.tv_usec = 0;
    return true;
}

const char *daylightRule(const char *region) {
    if (region == nullptr) return nullptr;
    for (const Rule &r : rules)
        if (strcasecmp(r.region, region) == 0) return r.rule;
    return nullptr;
}

int buildTimeZone(const char *value, const char *description, char *out, size_t size) {
    if (out == nullptr || size == 0) return 0;
    out[0] = '\0';
    if (value == nullptr) value = "";
    if (description == nullptr) description = "";

    const char *blank = std::strchr(description, ' ');
    const char *rule = blank ? daylightRule(blank + 1) : nullptr;

    int hours = 0, minutes = 0;
    std::sscanf(description, "UTC%d:%d ", &hours, &minutes);
    hours = -hours;

    // The first word of the value, split at '/' into standard and daylight-saving name.
    char word[64] = "";
    std::sscanf(value, "%63s", word);
    char *slash = std::strchr(word, '/');
    const char *daylight = nullptr;
    if (slash) {
        *slash = '\0';
        daylight = slash + 1;
    }
    // Offset east of UTC in minutes (the description's sign); summer time is an hour on.
    int east = -(hours * 60 + (hours > 0 ? minutes : -minutes));
    char standard[72], summer[72];
    zoneName(word, east, standard, sizeof standard);
    const bool ownSummerName = daylight && *daylight;
    zoneName(ownSummerName ? daylight : word, ownSummerName ? east + 60 : east, summer, sizeof summer);

    char offset[24];
    if (minutes != 0)
        std::snprintf(offset, sizeof offset, "%d:%02d", hours, minutes < 0 ? -minutes : minutes);
    else
        std::snprintf(offset, sizeof offset, "%d", hours);

    int n = rule ? std::snprintf(out, size, "%s%s%s,%s", standard, offset, summer, rule)
                 : std::snprintf(out, size, "%s%s", standard, offset);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}
