#include "wireless/core/ctrl_scan.h"

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/bss.h"
#include "wireless/core/bss_flags.h"
#include "wireless/core/config.h"
#include "wireless/core/driver.h"
#include "wireless/core/eloop.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/eap/eap_methods.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

// ------------------------------------------------------------------ small helpers

// A whole decimal text in [lo, hi].
bool parse_long(const char *text, long lo, long hi, long *out) {
    if (text == nullptr || *text == '\0') return false;
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// A leading decimal number (digits only), bounded; the position after it.
bool lead_uint(const char *text, unsigned long max, unsigned long *out, const char **end) {
    if (!isdigit(static_cast<unsigned char>(*text))) return false;
    unsigned long v = 0;
    const char *p = text;
    while (isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + static_cast<unsigned long>(*p - '0');
        if (v > max) v = max; // saturate: huge ids find nothing, they never wrap
        p++;
    }
    *out = v;
    if (end) *end = p;
    return true;
}

void append(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void append(std::string &out, const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n > 0) out.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof(buf) - 1));
}

void append_hex(std::string &out, const uint8_t *data, size_t len) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; i++) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xf]);
    }
}

// Copies a piece into the reply when it fits whole; false when it does not.
bool put(char *reply, size_t size, size_t *len, const std::string &piece) {
    if (*len + piece.size() >= size) return false;
    memcpy(reply + *len, piece.data(), piece.size());
    *len += piece.size();
    reply[*len] = '\0';
    return true;
}

std::string mac_txt(const uint8_t *a) {
    char b[18];
    snprintf(b, sizeof(b), "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
    return b;
}

// ------------------------------------------------------------------ BSS flags

const uint8_t *bss_ie_any(const wpa_bss *bss, uint32_t vendor_type) {
    const uint8_t *ie = wpa_bss_get_vendor_ie(bss, vendor_type);
    return ie ? ie : wpa_bss_get_vendor_ie_beacon(bss, vendor_type);
}

// The flags of an entry: for SCAN_RESULTS (listing) or for BSS "flags=" (RSN always
// "WPA2", no mesh flag).
void bss_flags(std::string &out, const wpa_bss *bss, bool listing) {
    const uint8_t *wpa = wpa_bss_get_vendor_ie(bss, BSS_WPA_VENDOR_TYPE);
    const uint8_t *rsn = wpa_bss_get_ie(bss, 48);
    const uint8_t *osen = wpa_bss_get_vendor_ie(bss, BSS_OSEN_VENDOR_TYPE);
    const uint8_t *mesh = wpa_bss_get_ie(bss, 114);
    if (wpa) bss_security_flags(out, "WPA", wpa);
    if (rsn) bss_security_flags(out, listing && mesh ? "RSN" : "WPA2", rsn);
    if (osen) bss_security_flags(out, "OSEN", osen);
    // The WPS attributes are read by the WPS module, which is not part of this build.
    if (wpa_bss_get_vendor_ie(bss, WPS_IE_VENDOR_TYPE)) out += "[WPS]";
    if (!wpa && !rsn && !osen && (bss->caps & 0x0010)) out += "[WEP]";
    if (listing && mesh) out += "[MESH]";
    if (bss->freq < 45001) {
        if (bss->caps & 0x0002) out += "[IBSS]";
        if (bss->caps & 0x0001) out += "[ESS]";
    } else {
        out += "[DMG]";
        static const char *const types[] = {"", "[IBSS]", "[PBSS]", "[ESS]"};
        out += types[bss->caps & 0x3];
    }
    if (bss_ie_any(bss, P2P_IE_VENDOR_TYPE)) out += "[P2P]";
}

bool is_p2p_device(const wpa_bss *bss) {
    return bss_ie_any(bss, P2P_IE_VENDOR_TYPE) && bss->ssid_len == 7 && memcmp(bss->ssid, "DIRECT-", 7) == 0;
}

// ------------------------------------------------------------------ BSS entries

constexpr unsigned long MaskDelim = 0x20000;

// PSK, FT-PSK, PSK-SHA256, SAE and FT-SAE.
constexpr int PskLikeKeyMgmt = 0xd42;

std::string bss_text(wpa_iface *, const wpa_bss *bss, unsigned long mask) {
    std::string out;
    if (mask & 0x1) append(out, "id=%u\n", bss->id);
    if (mask & 0x2) out += "bssid=" + mac_txt(bss->bssid) + "\n";
    if (mask & 0x4) append(out, "freq=%d\n", bss->freq);
    if (mask & 0x8) append(out, "beacon_int=%d\n", bss->beacon_int);
    if (mask & 0x10) append(out, "capabilities=0x%04x\n", bss->caps);
    if (mask & 0x20) append(out, "qual=%d\n", bss->qual);
    if (mask & 0x40) append(out, "noise=%d\n", bss->noise);
    if (mask & 0x80) append(out, "level=%d\n", bss->level);
    if (mask & 0x100) append(out, "tsf=%016llu\n", static_cast<unsigned long long>(bss->tsf));
    if (mask & 0x200) {
        os_reltime now, age;
        os_get_reltime(&now);
        os_reltime_sub(&now, &bss->last_update, &age);
        append(out, "age=%d\n", static_cast<int>(age.sec));
    }
    if (mask & 0x400) {
        out += "ie=";
        append_hex(out, bss->ies, bss->ie_len);
        out += "\n";
    }
    if (mask & 0x800) {
        out += "flags=";
        bss_flags(out, bss, false);
        out += "\n";
    }
    if (mask & 0x1000) append(out, "ssid=%s\n", wpa_ssid_txt(bss->ssid, bss->ssid_len));
    // 0x2000 (WPS attributes) and 0x4000 (P2P attributes) come with those modules.
    if (mask & 0x80000) append(out, "snr=%d\n", bss->snr);
    if (mask & 0x100000) append(out, "est_throughput=%d\n", bss->est_throughput);
    return out;
}

// ------------------------------------------------------------------ external radio works

struct ext_radio_work {
    unsigned int id;
    char type[101];
    unsigned int timeout;
    radio_work *work;
};

unsigned int ext_work_next_id = 1;

void ext_work_timeout(void *eloop_ctx, void *);

void ext_work_cb(radio_work *work, int deinit) {
    auto *ext = static_cast<ext_radio_work *>(work->ctx);
    wpa_iface *iface = work->iface;
    if (deinit) {
        if (work->started) iface->ext_work_in_progress = 0;
        eloop_cancel_timeout(ext_work_timeout, work, nullptr);
        work->type = "freed-ext-work";
        free(ext);
        work->ctx = nullptr;
        return;
    }
    wpa_msg_iface(iface, MSG_INFO, "EXT-RADIO-WORK-START %u", ext->id);
    iface->ext_work_in_progress = 1;
    eloop_register_timeout(ext->timeout, 0, ext_work_timeout, work, nullptr);
}

void ext_work_finish(radio_work *work) {
    wpa_iface *iface = work->iface;
    eloop_cancel_timeout(ext_work_timeout, work, nullptr);
    if (work->started) iface->ext_work_in_progress = 0;
    work->type = "freed-ext-work";
    free(work->ctx);
    work->ctx = nullptr;
    radio_work_done(work);
}

void ext_work_timeout(void *eloop_ctx, void *) {
    auto *work = static_cast<radio_work *>(eloop_ctx);
    auto *ext = static_cast<ext_radio_work *>(work->ctx);
    wpa_msg_iface(work->iface, MSG_INFO, "EXT-RADIO-WORK-TIMEOUT %u", ext ? ext->id : 0);
    ext_work_finish(work);
}

// ------------------------------------------------------------------ vendor elements

bool elems_well_formed(const uint8_t *data, size_t len) {
    ieee80211_elems elems{};
    return ieee802_11_parse_elems(data, len, &elems) != -1;
}

bool parse_slot(char **args, int *slot) {
    char *pos = *args;
    char *sp = strchr(pos, ' ');
    if (sp) *sp = '\0';
    long v;
    bool ok = parse_long(pos, 0, 14, &v);
    if (sp) *sp = ' ';
    if (!ok) return false;
    *slot = static_cast<int>(v);
    *args = sp ? sp + 1 : pos + strlen(pos);
    return true;
}

// Slots 0 to 12 belong to the interface that runs P2P management.
wpa_iface *slot_owner(wpa_iface *iface, int slot) {
    if (slot <= 12 && iface->global->p2p_init_iface) return iface->global->p2p_init_iface;
    return iface;
}

// ------------------------------------------------------------------ SET

int set_uapsd(wpa_iface *iface, const char *value) {
    if (strcmp(value, "disable") == 0) {
        iface->set_uapsd = 0;
        return CTRL_REPLY_OK;
    }
    int v[4];
    const char *pos = value;
    for (int i = 0; i < 4; i++) {
        char *end;
        errno = 0;
        long n = strtol(pos, &end, 10);
        if (end == pos || errno || n < INT_MIN || n > INT_MAX) return -1;
        v[i] = static_cast<int>(n);
        if (i < 3) {
            if (*end != ',') return -1;
            pos = end + 1;
        } else if (*end != '\0') {
            return -1;
        }
    }
    iface->set_uapsd = 1;
    iface->sta_uapsd = (v[0] ? 1 : 0) | (v[1] ? 2 : 0) | (v[2] ? 4 : 0) | (v[3] ? 8 : 0);
    return CTRL_REPLY_OK;
}

int set_bssid_filter(wpa_iface *iface, const char *value) {
    std::string addrs;
    const char *pos = value;
    size_t count = 0;
    while (*pos) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0') break;
        uint8_t a[6];
        if (hwaddr_parse(pos, a) != 0) return -1;
        addrs.append(reinterpret_cast<char *>(a), 6);
        count++;
        pos += 17;
        if (*pos != ' ' && *pos != '\0') return -1;
    }
    uint8_t *list = nullptr;
    if (count) {
        list = static_cast<uint8_t *>(malloc(addrs.size()));
        if (list == nullptr) return -1;
        memcpy(list, addrs.data(), addrs.size());
    }
    free(iface->bssid_filter);
    iface->bssid_filter = list;
    iface->bssid_filter_count = count;
    return CTRL_REPLY_OK;
}

int set_disallow_aps(wpa_iface *iface, const char *value) {
    std::string bssids;
    std::string ssids; // wpa_ssid_value records
    const char *pos = value;
    while (*pos) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0') break;
        if (strncmp(pos, "bssid ", 6) == 0) {
            uint8_t a[6];
            pos += 6;
            if (hwaddr_parse(pos, a) != 0) return -1;
            bssids.append(reinterpret_cast<char *>(a), 6);
            pos += 17;
        } else if (strncmp(pos, "ssid ", 5) == 0) {
            pos += 5;
            const char *end = pos;
            while (*end && *end != ' ')
                end++;
            size_t hex = static_cast<size_t>(end - pos);
            if (hex == 0 || hex % 2 || hex > 64) return -1;
            wpa_ssid_value s{};
            std::string digits(pos, hex);
            if (hex_to_bin(digits.c_str(), s.ssid, hex / 2) != 0) return -1;
            s.ssid_len = hex / 2;
            ssids.append(reinterpret_cast<char *>(&s), sizeof(s));
            pos = end;
        } else {
            return -1;
        }
        if (*pos != ' ' && *pos != '\0') return -1;
    }
    uint8_t *b = nullptr;
    wpa_ssid_value *s = nullptr;
    if (!bssids.empty() && (b = static_cast<uint8_t *>(malloc(bssids.size()))) == nullptr) return -1;
    if (!ssids.empty() && (s = static_cast<wpa_ssid_value *>(malloc(ssids.size()))) == nullptr) {
        free(b);
        return -1;
    }
    if (b) memcpy(b, bssids.data(), bssids.size());
    if (s) memcpy(s, ssids.data(), ssids.size());
    free(iface->disallow_aps_bssid);
    free(iface->disallow_aps_ssid);
    iface->disallow_aps_bssid = b;
    iface->disallow_aps_bssid_count = bssids.size() / 6;
    iface->disallow_aps_ssid = s;
    iface->disallow_aps_ssid_count = ssids.size() / sizeof(wpa_ssid_value);

    // A connection to what is now disallowed ends.
    wpa_network *cur = iface->current_ssid;
    if (iface->wpa_state > WPA_SCANNING && cur &&
        (cur->mode == SUPP_MODE_INFRA || cur->mode == SUPP_MODE_IBSS)) {
        bool hit = false;
        for (size_t i = 0; i < iface->disallow_aps_bssid_count; i++)
            if (memcmp(iface->disallow_aps_bssid + 6 * i, iface->bssid, 6) == 0) hit = true;
        const wpa_bss *bss = iface->current_bss;
        for (size_t i = 0; bss && i < iface->disallow_aps_ssid_count; i++)
            if (iface->disallow_aps_ssid[i].ssid_len == bss->ssid_len &&
                memcmp(iface->disallow_aps_ssid[i].ssid, bss->ssid, bss->ssid_len) == 0)
                hit = true;
        if (hit) {
            wpa_drv_deauthenticate(iface, iface->bssid, 3);
            supplicant_req_scan(iface, 0, 0);
        }
    }
    return CTRL_REPLY_OK;
}

int set_blob(wpa_iface *iface, const char *value) {
    const char *sp = strchr(value, ' ');
    if (sp == nullptr || sp == value) return -1;
    const char *hex = sp + 1;
    size_t hlen = strlen(hex);
    if (hlen % 2) return -1;
    auto *blob = static_cast<wpa_config_blob *>(calloc(1, sizeof(wpa_config_blob)));
    if (blob == nullptr) return -1;
    blob->name = dup_binstr(value, static_cast<size_t>(sp - value));
    blob->len = hlen / 2;
    blob->data = static_cast<uint8_t *>(malloc(blob->len ? blob->len : 1));
    if (blob->name == nullptr || blob->data == nullptr || hex_to_bin(hex, blob->data, blob->len) != 0) {
        wpa_config_free_blob(blob);
        return -1;
    }
    wpa_config_remove_blob(iface->conf, blob->name);
    wpa_config_set_blob(iface->conf, blob);
    return CTRL_REPLY_OK;
}

int set_lci(wpa_iface *iface, const char *value) {
    if (*value == '\0' || strcmp(value, "\"\"") == 0) {
        wpa_buf_free(iface->lci);
        iface->lci = nullptr;
        return CTRL_REPLY_OK;
    }
    wpa_buf *lci = wpa_buf_parse_hex(value);
    if (lci == nullptr) return -1;
    wpa_buf_free(iface->lci);
    iface->lci = lci;
    os_get_reltime(&iface->lci_time);
    return CTRL_REPLY_OK;
}

int set_pno(wpa_iface *iface, const char *value) {
    const char *freq = strstr(value, " freq=");
    std::string head = freq ? std::string(value, static_cast<size_t>(freq - value)) : value;
    long v;
    if (!parse_long(head.c_str(), INT_MIN, INT_MAX, &v)) return -1;
    if (v == 0) return supp_stop_pno(iface) < 0 ? -1 : CTRL_REPLY_OK;
    int *freqs = nullptr;
    if (freq) {
        freq_range_list ranges{};
        if (freq_range_list_parse(&ranges, freq + 6) < 0) return -1;
        freqs = supp_freqs_in_ranges(iface, &ranges);
        free(ranges.range);
    }
    free(iface->pno_freqs);
    iface->pno_freqs = freqs;
    if (iface->pno) supp_stop_pno(iface);
    return supp_start_pno(iface) < 0 ? -1 : CTRL_REPLY_OK;
}

} // namespace

// ------------------------------------------------------------------ listings

int wpa_ctrl_iface_scan_result_line(wpa_iface *, const wpa_bss *bss, char *buf, size_t size) {
    if (is_p2p_device(bss)) return 0;
    std::string line = mac_txt(bss->bssid);
    append(line, "\t%d\t%d\t", bss->freq, bss->level);
    bss_flags(line, bss, true);
    line += "\t";
    line += wpa_ssid_txt(bss->ssid, bss->ssid_len);
    line += "\n";
    if (line.size() >= size) return -1;
    memcpy(buf, line.data(), line.size());
    buf[line.size()] = '\0';
    return static_cast<int>(line.size());
}

int ctrl_scan_results(wpa_iface *iface, char *, char *reply, size_t size) {
    size_t len = 0;
    if (!put(reply, size, &len, "bssid / frequency / signal level / flags / ssid\n")) return -1;
    for (wpa_bss *bss = iface->bss_id_first; bss; bss = bss->id_next) {
        int n = wpa_ctrl_iface_scan_result_line(iface, bss, reply + len, size - len);
        if (n < 0) break;
        len += static_cast<size_t>(n);
    }
    return static_cast<int>(len);
}

int ctrl_bss(wpa_iface *iface, char *args, char *reply, size_t size) {
    unsigned long mask = 0;
    if (const char *m = strstr(args, "MASK=")) {
        errno = 0;
        mask = strtoul(m + 5, nullptr, 16);
        if (errno) mask = 0;
    }
    if (mask == 0) mask = ~MaskDelim;

    wpa_bss *first = nullptr, *last = nullptr;
    bool range = false;
    if (strncmp(args, "RANGE=", 6) == 0) {
        range = true;
        const char *r = args + 6;
        if (strncmp(r, "ALL", 3) == 0) {
            first = iface->bss_id_first;
            last = iface->bss_id_last;
        } else {
            const char *dash = strchr(r, '-');
            if (dash == nullptr) return 0;
            unsigned long i1 = 0, i2 = UINT_MAX;
            if (*r != '-' && !lead_uint(r, UINT_MAX, &i1, nullptr)) i1 = 0;
            if (!lead_uint(dash + 1, UINT_MAX, &i2, nullptr)) i2 = UINT_MAX;
            first = wpa_bss_get_id_range(iface, static_cast<unsigned int>(i1), static_cast<unsigned int>(i2));
            last = wpa_bss_get_id(iface, static_cast<unsigned int>(i2));
            if (last == nullptr)
                for (wpa_bss *b = iface->bss_id_last; b; b = b->id_prev)
                    if (b->id <= i2) {
                        last = b;
                        break;
                    }
        }
    } else {
        if (strncmp(args, "FIRST", 5) == 0) {
            first = iface->bss_id_first;
        } else if (strncmp(args, "LAST", 4) == 0) {
            first = iface->bss_id_last;
        } else if (strncmp(args, "ID-", 3) == 0) {
            unsigned long id;
            if (lead_uint(args + 3, UINT_MAX, &id, nullptr) && id <= UINT_MAX)
                first = wpa_bss_get_id(iface, static_cast<unsigned int>(id));
        } else if (strncmp(args, "NEXT-", 5) == 0) {
            unsigned long id;
            if (lead_uint(args + 5, UINT_MAX, &id, nullptr)) {
                wpa_bss *b = wpa_bss_get_id(iface, static_cast<unsigned int>(id));
                first = b ? b->id_next : nullptr;
            }
        } else if (strncmp(args, "p2p_dev_addr=", 13) == 0) {
            uint8_t a[6];
            if (hwaddr_parse(args + 13, a) == 0) first = wpa_bss_get_p2p_dev_addr(iface, a);
        } else {
            uint8_t a[6];
            if (hwaddr_parse(args, a) == 0) {
                first = wpa_bss_get_bssid(iface, a);
            } else {
                unsigned long pos;
                if (lead_uint(args, UINT_MAX, &pos, nullptr)) {
                    wpa_bss *b = iface->bss_id_first;
                    for (unsigned long i = 0; b && i < pos; i++)
                        b = b->id_next;
                    first = b;
                }
            }
        }
        last = first;
    }

    size_t len = 0;
    for (wpa_bss *b = first; b; b = b->id_next) {
        std::string text = bss_text(iface, b, mask);
        if (mask & MaskDelim) text += range && b == iface->bss_id_last ? "####\n" : "====\n";
        if (!put(reply, size, &len, text)) break;
        if (b == last) break;
    }
    return static_cast<int>(len);
}

int ctrl_status(wpa_iface *iface, char *args, char *reply, size_t size) {
    if (strcmp(args, "-DRIVER") == 0) {
        if (iface->driver == nullptr || iface->driver->status == nullptr) return -1;
        int n = iface->driver->status(iface->drv_priv, reply, size);
        return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
    }
    bool wps = strcmp(args, "-WPS") == 0;
    std::string out;
    wpa_network *ssid = iface->current_ssid;
    if (iface->wpa_state >= WPA_ASSOCIATED) {
        out += "bssid=" + mac_txt(iface->bssid) + "\n";
        append(out, "freq=%u\n", static_cast<unsigned int>(iface->assoc_freq));
        if (ssid) {
            uint8_t drv_ssid[32];
            const uint8_t *text = ssid->ssid.data;
            size_t text_len = ssid->ssid.len;
            if (text_len == 0 && iface->driver && iface->driver->get_ssid) {
                int n = iface->driver->get_ssid(iface->drv_priv, drv_ssid);
                if (n > 0 && n <= 32) {
                    text = drv_ssid;
                    text_len = static_cast<size_t>(n);
                }
            }
            append(out, "ssid=%s\nid=%d\n", wpa_ssid_txt(text, text_len), ssid->id);
            if (wps && ssid->passphrase && (ssid->key_mgmt & PskLikeKeyMgmt) &&
                (ssid->mode == SUPP_MODE_AP || ssid->mode == SUPP_MODE_P2P_GO))
                append(out, "passphrase=%s\n", ssid->passphrase);
            if (ssid->id_str.data && ssid->id_str.len)
                out += "id_str=" +
                       std::string(reinterpret_cast<const char *>(ssid->id_str.data), ssid->id_str.len) +
                       "\n";
            static const char *const modes[] = {"mode=station\n",
                                                "mode=IBSS\n",
                                                "mode=AP\n",
                                                "mode=P2P GO\n",
                                                "mode=P2P GO - group formation\n",
                                                "mode=mesh\n"};
            if (ssid->mode >= 0 && ssid->mode <= 5) out += modes[ssid->mode];
        }
        // The suites in use, as the RSN supplicant negotiated them (no access point runs
        // on this interface's side of the code).
        if (iface->wpa != nullptr) {
            char text[128];
            int n = wpa_sm_status_text(iface->wpa, text, sizeof text);
            if (n > 0) out.append(text, std::min(static_cast<size_t>(n), sizeof text - 1));
        }
    }
    append(out, "wpa_state=%s\n", supplicant_state_txt(iface->wpa_state));
    char ip[INET_ADDRSTRLEN];
    if (iface->l2 != nullptr && l2_packet_get_ip_addr(iface->l2, ip, sizeof ip) == 0)
        append(out, "ip_address=%s\n", ip);
    out += "address=" + mac_txt(iface->own_addr) + "\n";
    // The 802.1X supplicant's lines, and the EAP session id of the last success.
    if (iface->eapol != nullptr &&
        (iface->key_mgmt & (WPA_KEY_MGMT_IEEE8021X | WPA_KEY_MGMT_IEEE8021X_NO_WPA))) {
        char text[1024];
        int n =
            eapol_supp_status_text(iface->eapol, text, sizeof text, strcmp(args, "-VERBOSE") == 0 ? 1 : 0);
        if (n > 0) out.append(text, std::min(static_cast<size_t>(n), sizeof text - 1));
    }
    size_t sid_len = 0;
    const uint8_t *sid =
        iface->eapol != nullptr ? eapol_supp_get_session_id(iface->eapol, &sid_len) : nullptr;
    if (sid != nullptr) {
        out += "eap_session_id=";
        for (size_t i = 0; i < sid_len; i++)
            append(out, "%02x", sid[i]);
        out += "\n";
    }
    if (iface->wpa != nullptr) {
        char text[1024];
        int n = rsn_preauth_status_text(iface->wpa, text, sizeof text, strcmp(args, "-VERBOSE") == 0 ? 1 : 0);
        if (n > 0) out.append(text, std::min(static_cast<size_t>(n), sizeof text - 1));
    }
    // STATUS never fails: what does not fit is left out.
    size_t len = std::min(out.size(), size - 1);
    if (len < out.size()) {
        size_t cut = out.rfind('\n', len ? len - 1 : 0);
        len = cut == std::string::npos ? 0 : cut + 1;
    }
    memcpy(reply, out.data(), len);
    return static_cast<int>(len);
}

// ------------------------------------------------------------------ scans

int ctrl_scan(wpa_iface *iface, char *args, char *reply, size_t size) {
    static const char busy[] = "FAIL-BUSY\n";
    if (iface->wpa_state == WPA_INTERFACE_DISABLED) return -1;
    if (radio_work_pending(iface, "scan")) return snprintf(reply, size, "%s", busy);

    bool only = false, use_id = false, only_new = false;
    long passive = 0;
    int *freqs = nullptr;
    int ids[16];
    size_t num_ids = 0;
    wpa_ssid_value ssids[SCAN_MAX_SSIDS];
    size_t num_ssids = 0;
    bool ok = true;

    char *pos = args;
    if (strncasecmp(pos, "TYPE=ONLY", 9) == 0 && (pos[9] == ' ' || pos[9] == '\0')) {
        only = true;
        pos += 9;
    }
    while (ok && *pos) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0') break;
        char *end = strchr(pos, ' ');
        std::string word = end ? std::string(pos, static_cast<size_t>(end - pos)) : std::string(pos);
        char *next = end ? end : pos + strlen(pos);
        if (word.compare(0, 5, "freq=") == 0) {
            freq_range_list ranges{};
            if (freq_range_list_parse(&ranges, word.c_str() + 5) < 0) {
                ok = false;
                break;
            }
            free(freqs);
            freqs = supp_freqs_in_ranges(iface, &ranges);
            free(ranges.range);
            if (freqs == nullptr) ok = false;
        } else if (word.compare(0, 8, "passive=") == 0) {
            ok = parse_long(word.c_str() + 8, INT_MIN, INT_MAX, &passive);
        } else if (word.compare(0, 7, "use_id=") == 0) {
            long v;
            ok = parse_long(word.c_str() + 7, INT_MIN, INT_MAX, &v);
            use_id = v & 1;
        } else if (word == "only_new=1") {
            only_new = true;
        } else if (word.compare(0, 8, "scan_id=") == 0) {
            const char *p = word.c_str() + 8;
            num_ids = 0;
            while (ok && *p) {
                char *e;
                errno = 0;
                long v = strtol(p, &e, 10);
                if (e == p || errno || v < INT_MIN || v > INT_MAX || num_ids >= 16 ||
                    (*e != ',' && *e != '\0'))
                    ok = false;
                else
                    ids[num_ids++] = static_cast<int>(v);
                p = *e == ',' ? e + 1 : e;
            }
        } else if (word == "ssid") {
            // The SSID in hexadecimal follows as its own word.
            char *h = next;
            while (*h == ' ')
                h++;
            char *hend = strchr(h, ' ');
            size_t hlen = hend ? static_cast<size_t>(hend - h) : strlen(h);
            std::string hex(h, hlen);
            if (hlen == 0 || hlen % 2 || hlen > 64 || num_ssids >= SCAN_MAX_SSIDS ||
                hex_to_bin(hex.c_str(), ssids[num_ssids].ssid, hlen / 2) != 0) {
                ok = false;
            } else {
                ssids[num_ssids++].ssid_len = hlen / 2;
                next = h + hlen;
            }
        } else {
            // Unknown words are passed over.
        }
        pos = next;
    }
    if (!ok) {
        free(freqs);
        return -1;
    }

    if (only)
        iface->scan_res_handler = [](wpa_iface *w, wpa_scan_results *) {
            if (w->manual_scan_use_id) {
                wpa_msg_iface_ctrl(w, MSG_INFO, "CTRL-EVENT-SCAN-RESULTS id=%u", w->manual_scan_id);
                w->manual_scan_use_id = 0;
            } else {
                wpa_msg_iface_ctrl(w, MSG_INFO, "CTRL-EVENT-SCAN-RESULTS ");
            }
        };
    else
        iface->scan_res_handler = nullptr;

    bool sched = iface->sched_scanning != 0;
    if (!sched && (iface->scanning || iface->scan_work ||
                   (iface->wpa_state > WPA_SCANNING && iface->wpa_state != WPA_COMPLETED))) {
        free(freqs);
        return snprintf(reply, size, "%s", busy);
    }
    // The manual-scan parameters replace earlier ones.
    free(iface->manual_scan_freqs);
    iface->manual_scan_freqs = freqs;
    for (size_t i = 0; i < iface->num_ssids_from_scan_req; i++)
        free(const_cast<uint8_t *>(iface->ssids_from_scan_req[i].ssid));
    free(iface->ssids_from_scan_req);
    iface->ssids_from_scan_req = nullptr;
    iface->num_ssids_from_scan_req = 0;
    if (num_ssids) {
        iface->ssids_from_scan_req =
            static_cast<wpa_driver_scan_ssid *>(calloc(num_ssids, sizeof(wpa_driver_scan_ssid)));
        for (size_t i = 0; iface->ssids_from_scan_req && i < num_ssids; i++) {
            auto *copy = static_cast<uint8_t *>(malloc(ssids[i].ssid_len ? ssids[i].ssid_len : 1));
            if (copy == nullptr) break;
            memcpy(copy, ssids[i].ssid, ssids[i].ssid_len);
            iface->ssids_from_scan_req[i] = {copy, ssids[i].ssid_len};
            iface->num_ssids_from_scan_req = i + 1;
        }
    }
    iface->manual_scan_passive = passive != 0;
    iface->manual_scan_use_id = use_id;
    iface->manual_scan_only_new = only_new;
    memcpy(iface->scan_id, ids, num_ids * sizeof(int));
    iface->scan_id_count = num_ids;
    iface->scan_req = MANUAL_SCAN_REQ;
    if (sched) {
        supplicant_cancel_sched_scan(iface);
    } else {
        iface->normal_scans = 0;
    }
    supplicant_req_scan(iface, 0, 0);
    if (use_id) return snprintf(reply, size, "%u\n", ++iface->manual_scan_id);
    return CTRL_REPLY_OK;
}

int ctrl_abort_scan(wpa_iface *iface, char *, char *, size_t) {
    return supplicant_abort_scan(iface) < 0 ? -1 : CTRL_REPLY_OK;
}

int ctrl_bss_flush(wpa_iface *iface, char *args, char *, size_t) {
    long age;
    if (!parse_long(args, 0, INT_MAX, &age)) return -1;
    if (age == 0)
        wpa_bss_flush(iface);
    else
        wpa_bss_flush_by_age(iface, static_cast<int>(age));
    return CTRL_REPLY_OK;
}

int ctrl_bss_expire_age(wpa_iface *iface, char *args, char *, size_t) {
    long v;
    if (!parse_long(args, LONG_MIN, LONG_MAX, &v)) v = 0;
    if (v < 0 || v > UINT_MAX) v = 0;
    return supplicant_set_bss_expiration_age(iface, static_cast<unsigned int>(v)) < 0 ? -1 : CTRL_REPLY_OK;
}

int ctrl_bss_expire_count(wpa_iface *iface, char *args, char *, size_t) {
    long v;
    if (!parse_long(args, LONG_MIN, LONG_MAX, &v)) v = 0;
    if (v < 0 || v > UINT_MAX) v = 0;
    return supplicant_set_bss_expiration_count(iface, static_cast<unsigned int>(v)) < 0 ? -1 : CTRL_REPLY_OK;
}

int ctrl_scan_interval(wpa_iface *iface, char *args, char *, size_t) {
    long v;
    if (!parse_long(args, INT_MIN, INT_MAX, &v)) return -1;
    return supplicant_set_scan_interval(iface, static_cast<int>(v)) < 0 ? -1 : CTRL_REPLY_OK;
}

int ctrl_fail(wpa_iface *, char *, char *, size_t) {
    return -1;
}

int ctrl_signal_monitor(wpa_iface *iface, char *args, char *, size_t) {
    long threshold = 0, hysteresis = 0;
    const char *t = strstr(args, "THRESHOLD=");
    const char *h = strstr(args, "HYSTERESIS=");
    if (t) threshold = strtol(t + 10, nullptr, 10);
    if (h) hysteresis = strtol(h + 11, nullptr, 10);
    if (iface->bgscan || iface->driver == nullptr || iface->driver->signal_monitor == nullptr) return -1;
    if (threshold < INT_MIN || threshold > INT_MAX || hysteresis < INT_MIN || hysteresis > INT_MAX) return -1;
    return iface->driver->signal_monitor(iface->drv_priv, static_cast<int>(threshold),
                                         static_cast<int>(hysteresis)) < 0
               ? -1
               : CTRL_REPLY_OK;
}

int ctrl_driver_flags(wpa_iface *iface, char *, char *reply, size_t size) {
    std::string out;
    append(out, "%016llX:\n", static_cast<unsigned long long>(iface->drv_flags));
    for (int bit = 0; bit < 64; bit++)
        if (iface->drv_flags & (uint64_t(1) << bit))
            append(out, "%s\n", driver_flag_to_string(uint64_t(1) << bit));
    size_t len = 0;
    if (!put(reply, size, &len, out)) return -1;
    return static_cast<int>(len);
}

int ctrl_vendor(wpa_iface *, char *args, char *, size_t) {
    // Syntax: hexadecimal vendor id, blank, decimal sub-command, optional hex data. No back
    // end of this build offers vendor commands.
    char *end;
    errno = 0;
    strtoul(args, &end, 16);
    if (end == args || *end != ' ' || errno) return -1;
    return -1;
}

int ctrl_get_pref_freq_list(wpa_iface *, char *args, char *, size_t) {
    static const char *const types[] = {"STATION", "AP", "P2P_GO", "P2P_CLIENT", "IBSS", "TDLS"};
    bool known = false;
    for (const char *t : types)
        if (strcmp(args, t) == 0) known = true;
    // No back end of this build tells its preferred frequencies.
    (void)known;
    return -1;
}

int ctrl_interface_list(wpa_iface *, char *, char *, size_t) {
    // No back end of this build enumerates its interfaces: an empty list.
    return 0;
}

int ctrl_interfaces(wpa_iface *iface, char *args, char *reply, size_t size) {
    bool ctrl = strstr(args, "ctrl") != nullptr;
    size_t len = 0;
    for (wpa_iface *w = iface->global->ifaces; w; w = w->next) {
        std::string line = w->ifname;
        if (ctrl) {
            line += " ctrl_iface=";
            line += w->conf->ctrl_interface ? w->conf->ctrl_interface : "N/A";
        }
        line += "\n";
        if (!put(reply, size, &len, line)) break;
    }
    return static_cast<int>(len);
}

int ctrl_get_capability(wpa_iface *iface, char *args, char *reply, size_t size) {
    if (strlen(args) >= 30) return -1;
    std::string field = args;
    bool strict = false;
    size_t sp = field.find(' ');
    if (sp != std::string::npos) {
        if (field.substr(sp + 1) != "strict") return -1;
        strict = true;
        field.resize(sp);
    }
    std::string out;
    auto words = [&out](std::initializer_list<std::pair<bool, const char *>> list) {
        for (auto &w : list)
            if (w.first) {
                if (!out.empty()) out += " ";
                out += w.second;
            }
    };
    if (field == "eap") {
        char text[512];
        size_t n = eap_peer_method_list_text(text, sizeof text);
        out.assign(text, std::min(n, sizeof text - 1));
    } else if (field == "channels" || field == "freq") {
        static const char *const names[] = {"B", "G", "A", "AD"};
        for (unsigned int m = 0; iface->hw_modes && m < iface->num_hw_modes; m++) {
            const hw_mode_info &mode = iface->hw_modes[m];
            if (mode.mode < 0 || mode.mode > 3) continue;
            if (field == "channels") {
                append(out, "Mode[%s] Channels:", names[mode.mode]);
                for (int c = 0; c < mode.num_channels; c++)
                    if (!(mode.channels[c].flag & 0x1)) append(out, " %d", mode.channels[c].chan);
                out += "\n";
            } else {
                append(out, "Mode[%s] Channels:\n", names[mode.mode]);
                for (int c = 0; c < mode.num_channels; c++) {
                    const hw_channel_info &ch = mode.channels[c];
                    if (ch.flag & 0x1) continue;
                    append(out, " %d = %d MHz%s%s\n", ch.chan, ch.freq, (ch.flag & 0x2) ? " (NO_IR)" : "",
                           (ch.flag & 0x8) ? " (DFS)" : "");
                }
            }
        }
    } else if (!iface->drv_capa_known) {
        if (strict) {
            if (field != "pairwise" && field != "group" && field != "group_mgmt" && field != "key_mgmt" &&
                field != "proto" && field != "auth_alg" && field != "modes")
                return -1;
        } else if (field == "pairwise") {
            out = "CCMP TKIP NONE";
        } else if (field == "group") {
            out = "CCMP TKIP WEP104 WEP40";
        } else if (field == "key_mgmt") {
            out = "WPA-PSK WPA-EAP IEEE8021X WPA-NONE NONE";
        } else if (field == "proto") {
            out = "RSN WPA";
        } else if (field == "auth_alg") {
            out = "OPEN SHARED LEAP";
        } else if (field == "modes") {
            out = "IBSS AP";
        } else if (field != "group_mgmt") {
            return -1;
        }
    } else {
        const wpa_driver_capa &c = iface->drv_capa;
        if (field == "pairwise") {
            words({{(c.enc & WPA_DRIVER_CAPA_ENC_CCMP_256) != 0, "CCMP-256"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_GCMP_256) != 0, "GCMP-256"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_CCMP) != 0, "CCMP"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_GCMP) != 0, "GCMP"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_TKIP) != 0, "TKIP"},
                   {(c.key_mgmt & 0x10) != 0, "NONE"}});
        } else if (field == "group") {
            words({{(c.enc & WPA_DRIVER_CAPA_ENC_CCMP_256) != 0, "CCMP-256"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_GCMP_256) != 0, "GCMP-256"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_CCMP) != 0, "CCMP"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_GCMP) != 0, "GCMP"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_TKIP) != 0, "TKIP"},
                   {(c.key_mgmt & 0x10) != 0, "NONE"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_WEP104) != 0, "WEP104"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_WEP40) != 0, "WEP40"}});
        } else if (field == "group_mgmt") {
            words({{(c.enc & WPA_DRIVER_CAPA_ENC_BIP) != 0, "AES-128-CMAC"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_BIP_GMAC_128) != 0, "BIP-GMAC-128"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_BIP_GMAC_256) != 0, "BIP-GMAC-256"},
                   {(c.enc & WPA_DRIVER_CAPA_ENC_BIP_CMAC_256) != 0, "BIP-CMAC-256"}});
        } else if (field == "key_mgmt") {
            out = "NONE IEEE8021X";
            if (c.key_mgmt & 0x3) out += " WPA-EAP";
            if (c.key_mgmt & 0xC) out += " WPA-PSK";
            if (c.key_mgmt & 0x10) out += " WPA-NONE";
        } else if (field == "proto") {
            words({{(c.key_mgmt & 0xA) != 0, "RSN"}, {(c.key_mgmt & 0x5) != 0, "WPA"}});
        } else if (field == "auth_alg") {
            words({{(c.auth & 1) != 0, "OPEN"}, {(c.auth & 2) != 0, "SHARED"}, {(c.auth & 4) != 0, "LEAP"}});
        } else if (field == "modes") {
            words({{(c.flags & 0x8000000) != 0, "IBSS"}, {(c.flags & WPA_DRIVER_FLAGS_AP) != 0, "AP"}});
        } else {
            return -1;
        }
    }
    size_t len = 0;
    if (!put(reply, size, &len, out)) return -1;
    return static_cast<int>(len);
}

// ------------------------------------------------------------------ radio works

int ctrl_radio_work(wpa_iface *iface, char *args, char *reply, size_t size) {
    if (strcmp(args, "show") == 0) {
        size_t len = 0;
        os_reltime now;
        os_get_reltime(&now);
        for (radio_work *w = iface->radio ? iface->radio->works : nullptr; w; w = w->next) {
            os_reltime diff;
            os_reltime_sub(&now, &w->time, &diff);
            std::string line;
            append(line, "%s@%s:%u:%u:%ld.%06ld\n", w->type, w->iface->ifname, w->freq, w->started ? 1u : 0u,
                   static_cast<long>(diff.sec), static_cast<long>(diff.usec));
            if (!put(reply, size, &len, line)) break;
        }
        return static_cast<int>(len);
    }
    if (strncmp(args, "add ", 4) == 0) {
        char *name = args + 4;
        char *opts = strchr(name, ' ');
        std::string nm = opts ? std::string(name, static_cast<size_t>(opts - name)) : std::string(name);
        if (nm.empty() || nm.size() + 4 > 100) return -1;
        unsigned long freq = 0, timeout = 0;
        if (opts) {
            if (const char *f = strstr(opts, " freq=")) {
                const char *e;
                if (!lead_uint(f + 6, UINT_MAX, &freq, &e)) return -1;
            }
            if (const char *t = strstr(opts, " timeout=")) {
                const char *e;
                if (!lead_uint(t + 9, INT_MAX, &timeout, &e)) return -1;
            }
        }
        auto *ext = static_cast<ext_radio_work *>(calloc(1, sizeof(ext_radio_work)));
        if (ext == nullptr) return -1;
        ext->id = ext_work_next_id++;
        if (ext_work_next_id == 0) ext_work_next_id = 1;
        snprintf(ext->type, sizeof(ext->type), "ext:%s", nm.c_str());
        ext->timeout = timeout ? static_cast<unsigned int>(timeout) : 10;
        if (radio_add_work(iface, static_cast<unsigned int>(freq), ext->type, 0, ext_work_cb, ext) < 0) {
            free(ext);
            return -1;
        }
        return snprintf(reply, size, "%u", ext->id);
    }
    if (strncmp(args, "done ", 5) == 0) {
        long id;
        if (!parse_long(args + 5, 0, UINT_MAX, &id)) return -1;
        for (radio_work *w = iface->radio ? iface->radio->works : nullptr; w; w = w->next) {
            if (w->iface != iface || w->cb != ext_work_cb || strncmp(w->type, "ext:", 4) != 0) continue;
            auto *ext = static_cast<ext_radio_work *>(w->ctx);
            if (id != 0 && ext->id != static_cast<unsigned long>(id)) continue;
            ext_work_finish(w);
            return CTRL_REPLY_OK;
        }
        return -1;
    }
    return -1;
}

// ------------------------------------------------------------------ vendor elements

int ctrl_vendor_elem_add(wpa_iface *iface, char *args, char *, size_t) {
    int slot;
    if (!parse_slot(&args, &slot)) return -1;
    size_t hlen = strlen(args);
    if (hlen == 0) return CTRL_REPLY_OK;
    if (hlen % 2) return -1;
    wpa_buf *buf = wpa_buf_parse_hex(args);
    if (buf == nullptr) return -1;
    if (!elems_well_formed(wpa_buf_head(buf), wpa_buf_len(buf))) {
        wpa_buf_free(buf);
        return -1;
    }
    wpa_iface *owner = slot_owner(iface, slot);
    wpa_buf *&dst = owner->vendor_elem[slot];
    if (dst == nullptr) {
        dst = buf;
    } else {
        if (wpa_buf_resize(&dst, wpa_buf_len(buf)) < 0) {
            wpa_buf_free(buf);
            return -1;
        }
        wpa_buf_put_buf(dst, buf);
        wpa_buf_free(buf);
    }
    return CTRL_REPLY_OK;
}

int ctrl_vendor_elem_get(wpa_iface *iface, char *args, char *reply, size_t size) {
    int slot;
    if (!parse_slot(&args, &slot) || *args) return -1;
    wpa_buf *buf = slot_owner(iface, slot)->vendor_elem[slot];
    if (buf == nullptr) return 0;
    std::string out;
    append_hex(out, wpa_buf_head(buf), wpa_buf_len(buf));
    size_t len = 0;
    if (!put(reply, size, &len, out)) return -1;
    return static_cast<int>(len);
}

int ctrl_vendor_elem_remove(wpa_iface *iface, char *args, char *, size_t) {
    int slot;
    if (!parse_slot(&args, &slot)) return -1;
    wpa_iface *owner = slot_owner(iface, slot);
    wpa_buf *&dst = owner->vendor_elem[slot];
    if (strcmp(args, "*") == 0) {
        wpa_buf_free(dst);
        dst = nullptr;
        return CTRL_REPLY_OK;
    }
    if (dst == nullptr) return -1;
    size_t hlen = strlen(args);
    if (hlen == 0 || hlen % 2) return -1;
    wpa_buf *needle = wpa_buf_parse_hex(args);
    if (needle == nullptr) return -1;
    const uint8_t *n = wpa_buf_head(needle);
    size_t nlen = wpa_buf_len(needle);
    int ret = -1;
    if (elems_well_formed(n, nlen)) {
        uint8_t *h = wpa_buf_mhead(dst);
        size_t len = wpa_buf_len(dst), pos = 0;
        while (pos + 2 <= len) {
            if (pos + nlen <= len && memcmp(h + pos, n, nlen) == 0) {
                memmove(h + pos, h + pos + nlen, len - pos - nlen);
                dst->used -= static_cast<uint32_t>(nlen);
                ret = CTRL_REPLY_OK;
                break;
            }
            pos += 2 + h[pos + 1];
        }
        if (ret == CTRL_REPLY_OK && wpa_buf_len(dst) == 0) {
            wpa_buf_free(dst);
            dst = nullptr;
        }
    }
    wpa_buf_free(needle);
    return ret;
}

// ------------------------------------------------------------------ random addresses

int ctrl_mac_rand_scan(wpa_iface *iface, char *args, char *, size_t) {
    const unsigned int supported =
        (iface->drv_capa.mac_addr_rand_scan_supported ? MAC_ADDR_RAND_SCAN : 0u) |
        (iface->drv_capa.mac_addr_rand_sched_scan_supported ? MAC_ADDR_RAND_SCHED_SCAN | MAC_ADDR_RAND_PNO
                                                            : 0u);
    unsigned int kinds = 0;
    int enable = -1;
    bool have_addr = false, have_mask = false;
    uint8_t addr[6], mask[6];
    std::string text = args;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(' ', pos);
        std::string word = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (word.empty()) continue;
        if (strcasecmp(word.c_str(), "scan") == 0) {
            kinds |= MAC_ADDR_RAND_SCAN;
        } else if (strcasecmp(word.c_str(), "sched") == 0) {
            kinds |= MAC_ADDR_RAND_SCHED_SCAN;
        } else if (strcasecmp(word.c_str(), "pno") == 0) {
            kinds |= MAC_ADDR_RAND_PNO;
        } else if (strcasecmp(word.c_str(), "all") == 0) {
            kinds |= supported;
        } else if (strncasecmp(word.c_str(), "enable=", 7) == 0) {
            if (word.size() != 8 || (word[7] != '0' && word[7] != '1')) return -1;
            enable = word[7] - '0';
        } else if (strncasecmp(word.c_str(), "addr=", 5) == 0) {
            if (word.size() != 22 || hwaddr_parse(word.c_str() + 5, addr) != 0) return -1;
            have_addr = true;
        } else if (strncasecmp(word.c_str(), "mask=", 5) == 0) {
            if (word.size() != 22 || hwaddr_parse(word.c_str() + 5, mask) != 0) return -1;
            have_mask = true;
        } else {
            return -1;
        }
    }
    if (kinds == 0 || (kinds & ~supported) || enable < 0) return -1;
    if (enable == 0) {
        supp_mac_addr_rand_scan_clear(iface, kinds);
    } else {
        if (have_addr != have_mask) return -1;
        if (have_addr && (!(mask[0] & 0x1) || (addr[0] & 0x1))) return -1;
        for (unsigned int k : {MAC_ADDR_RAND_SCAN, MAC_ADDR_RAND_SCHED_SCAN, MAC_ADDR_RAND_PNO})
            if ((kinds & k) && supp_mac_addr_rand_scan_set(iface, k, have_addr ? addr : nullptr,
                                                           have_addr ? mask : nullptr) < 0)
                return -1;
    }
    if ((kinds & MAC_ADDR_RAND_SCHED_SCAN) && iface->sched_scanning && !iface->pno)
        supplicant_restart_sched_scan(iface);
    if ((kinds & MAC_ADDR_RAND_PNO) && iface->pno) {
        supp_stop_pno(iface);
        supp_start_pno(iface);
    }
    return CTRL_REPLY_OK;
}

// ------------------------------------------------------------------ SET

int ctrl_set(wpa_iface *iface, char *args, char *, size_t) {
    char *value = strchr(args, ' ');
    if (value == nullptr) return -1;
    *value++ = '\0';
    const char *key = args;
    auto is = [key](const char *k) { return strcasecmp(key, k) == 0; };
    long v;
    if (is("EAPOL::heldPeriod") || is("EAPOL::authPeriod") || is("EAPOL::startPeriod") ||
        is("EAPOL::maxStart")) {
        // One parameter of the 802.1X supplicant, the others unchanged; always OK.
        int n = atoi(value);
        eapol_supp_set_pae_params(iface->eapol, is("EAPOL::heldPeriod") ? n : -1,
                                  is("EAPOL::authPeriod") ? n : -1, is("EAPOL::startPeriod") ? n : -1,
                                  is("EAPOL::maxStart") ? n : -1);
        return CTRL_REPLY_OK;
    }
    if (is("dot11RSNAConfigPMKLifetime") || is("dot11RSNAConfigPMKReauthThreshold") ||
        is("dot11RSNAConfigSATimeout"))
        return -1;
    if (is("wps_fragment_size")) {
        if (!parse_long(value, INT_MIN, INT_MAX, &v)) return -1;
        iface->wps_fragment_size = static_cast<int>(v);
        return CTRL_REPLY_OK;
    }
    if (is("ampdu")) return -1; // no back end of this build sets A-MPDU
    if (is("pno")) return set_pno(iface, value);
    if (is("radio_disabled")) return -1; // no back end of this build switches the radio
    if (is("uapsd")) return set_uapsd(iface, value);
    if (is("ps")) return -1; // no back end of this build sets power saving
    if (is("bssid_filter")) return set_bssid_filter(iface, value);
    if (is("disallow_aps")) return set_disallow_aps(iface, value);
    if (is("no_keep_alive")) {
        if (!parse_long(value, INT_MIN, INT_MAX, &v)) return -1;
        iface->no_keep_alive = v != 0;
        return CTRL_REPLY_OK;
    }
    if (strcmp(key, "blob") == 0) return set_blob(iface, value);
    if (is("setband")) {
        if (strcmp(value, "AUTO") == 0)
            iface->setband = 0;
        else if (strcmp(value, "5G") == 0)
            iface->setband = 1;
        else if (strcmp(value, "2G") == 0)
            iface->setband = 2;
        else
            return -1;
        return CTRL_REPLY_OK;
    }
    if (is("lci")) return set_lci(iface, value);

    // A plan text the parser refuses is refused here and stores nothing.
    if (is("sched_scan_plans")) {
        sched_scan_plan *plans;
        size_t num;
        if (sched_scan_plans_parse(value, 0, 0, 0, &plans, &num) < 0) return -1;
        free(plans);
    }
    std::string line = std::string(key) + "=" + value;
    if (wpa_config_process_global(iface->conf, line.data(), 0) < 0) return -1;
    supplicant_apply_config_changes(iface);
    return CTRL_REPLY_OK;
}

// ------------------------------------------------------------------ neighbor reports

void wpa_ctrl_iface_neighbor_rep_cb(wpa_iface *iface, const wpa_buf *neighbors) {
    if (neighbors == nullptr) {
        wpa_msg_iface(iface, MSG_INFO, "RRM-NEIGHBOR-REP-REQUEST-FAILED ");
        return;
    }
    const uint8_t *data = wpa_buf_head(neighbors);
    size_t len = wpa_buf_len(neighbors);
    while (len > 14 && data[0] == 52 && data[1] >= 13) {
        size_t elen = data[1];
        // An element longer than the bytes left ends the walk.
        if (elen + 2 > len) break;
        const uint8_t *body = data + 2;
        uint32_t info = static_cast<uint32_t>(body[6]) | static_cast<uint32_t>(body[7]) << 8 |
                        static_cast<uint32_t>(body[8]) << 16 | static_cast<uint32_t>(body[9]) << 24;
        std::string lci, civic;
        size_t pos = 13;
        while (pos + 2 <= elen) {
            uint8_t sid = body[pos], slen = body[pos + 1];
            if (pos + 2 + slen > elen) break; // a subelement running past its element ends the walk
            const uint8_t *sub = body + pos + 2;
            if (sid == 39 && slen > 3) {
                uint8_t type = sub[2];
                if (type == 8 && lci.empty()) {
                    lci = " lci=";
                    append_hex(lci, sub + 3, slen - 3u);
                } else if (type == 11 && civic.empty()) {
                    civic = " civic=";
                    append_hex(civic, sub + 3, slen - 3u);
                }
            }
            pos += 2 + slen;
        }
        wpa_msg_iface(
            iface, MSG_INFO,
            "RRM-NEIGHBOR-REP-RECEIVED bssid=%02x:%02x:%02x:%02x:%02x:%02x info=0x%x op_class=%u chan=%u "
            "phy_type=%u%s%s%s%s",
            body[0], body[1], body[2], body[3], body[4], body[5], info, body[10], body[11], body[12],
            lci.empty() ? "" : "", lci.c_str(), civic.empty() ? "" : "", civic.c_str());
        data += elen + 2;
        len -= elen + 2;
    }
}
