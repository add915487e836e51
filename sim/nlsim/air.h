// The air as a test bed for joining protected networks: what a scripted AP keeps
// besides its beacon (authentication statuses per algorithm, the keys its
// authenticator derived), what a station keeps for its association requests, and the
// two logs tests read: the station news and the key trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace nlsim {

// A key as the AP's authenticator derived it (for TKIP: its own transmit MIC key at
// bytes 16-23, the station's at 24-31).
struct AirKey {
    uint32_t cipher = 0; // suite selector, 0 = none set
    std::vector<uint8_t> data;
    int idx = 0;
};

struct AirAp {
    std::map<uint16_t, uint16_t> authStatus; // algorithm number -> status, over the AP's default
    AirKey ptk, gtk;
};

struct AirIface {
    bool reassoc = false; // the pending association names a current AP
    uint8_t current[6] = {};
    bool lost = false;   // the link is ending because the AP is heard no more
    bool anyAlg = false; // a connect that left the authentication algorithm to us
};

// Numbered lines, the oldest dropped past a bound, read from a number on.
class AirLog {
public:
    void add(const std::string &line);
    std::string since(uint64_t from) const;
    void clear() { lines_.clear(); }

private:
    std::deque<std::pair<uint64_t, std::string>> lines_;
    uint64_t next_ = 1;
};

// FNV-1a 64 of the bytes, as 16 hex digits: the key trace's fingerprint of a key.
std::string keyHash(const uint8_t *p, size_t n);

// Whether a station's key matches the AP's: same cipher and bytes, TKIP's two MIC keys
// crossed (each side's transmit key is the other's receive key).
bool keysMatch(uint32_t apCipher, const std::vector<uint8_t> &ap, uint32_t staCipher,
               const std::vector<uint8_t> &sta);

} // namespace nlsim
