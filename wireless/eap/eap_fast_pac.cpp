#include "wireless/eap/eap_fast_pac.h"

#include "core/sysroot.h"
#include "wireless/core/config.h"
#include "wireless/eap/eap_i.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char kHeader[] = "supplicant EAP-FAST PAC file - version 1";
const uint8_t kBinaryMagic[4] = {0x6a, 0xe4, 0x92, 0x0c};
constexpr size_t MAX_LINE = 2047;

void free_pac(eap_fast_pac *p) {
    free(p->pac_opaque);
    free(p->pac_info);
    free(p->a_id);
    free(p->i_id);
    free(p->a_id_info);
    explicit_bzero(p, sizeof(*p));
    free(p);
}

bool copy_field(uint8_t **dst, size_t *dst_len, const uint8_t *src, size_t len) {
    *dst = nullptr;
    *dst_len = 0;
    if (src == nullptr) return true;
    *dst = static_cast<uint8_t *>(malloc(len > 0 ? len : 1));
    if (*dst == nullptr) return false;
    if (len > 0) memcpy(*dst, src, len);
    *dst_len = len;
    return true;
}

void append(eap_fast_pac **root, eap_fast_pac *entry) {
    eap_fast_pac **tail = root;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = entry;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An even number of hex digits into a new buffer; false when malformed.
bool parse_hex(const std::string &text, uint8_t **out, size_t *out_len) {
    if (text.size() % 2 != 0) return false;
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); i++) {
        int hi = hexval(text[2 * i]), lo = hexval(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    free(*out);
    *out = static_cast<uint8_t *>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (*out == nullptr) return false;
    if (!bytes.empty()) memcpy(*out, bytes.data(), bytes.size());
    *out_len = bytes.size();
    return true;
}

std::string hex_of(const uint8_t *p, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < len; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool is_blob(const char *path) {
    return strncmp(path, "blob://", 7) == 0;
}

// The stored bytes of a path: file (through the sandbox root) or blob. 1 when missing.
int read_store(eap_peer_sm *sm, const char *path, std::vector<uint8_t> &out) {
    if (is_blob(path)) {
        const wpa_config_blob *blob = sm != nullptr ? eap_get_config_blob(sm, path + 7) : nullptr;
        if (blob == nullptr) return 1;
        out.assign(blob->data, blob->data + blob->len);
        return 0;
    }
    const std::string file = sysPath(path);
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 1 : -1;
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
        if (out.size() > 1024 * 1024) { // a PAC file is small; refuse a huge one
            close(fd);
            return -1;
        }
    }
    close(fd);
    return 0;
}

// Writes the whole store: a file is replaced through a rename (mode 0600), so a failed
// write never leaves half a file; a blob is replaced in the configuration.
int write_store(eap_peer_sm *sm, const char *path, const std::string &data) {
    if (is_blob(path)) {
        if (sm == nullptr || sm->host_ops->set_config_blob == nullptr) return -1;
        auto *blob = static_cast<wpa_config_blob *>(calloc(1, sizeof(wpa_config_blob)));
        if (blob == nullptr) return -1;
        blob->name = strdup(path + 7);
        blob->data = static_cast<uint8_t *>(malloc(data.size() > 0 ? data.size() : 1));
        if (blob->name == nullptr || blob->data == nullptr) {
            free(blob->name);
            free(blob->data);
            free(blob);
            return -1;
        }
        memcpy(blob->data, data.data(), data.size());
        blob->len = data.size();
        sm->host_ops->set_config_blob(sm->host_ctx, blob);
        return 0;
    }
    const std::string file = sysPath(path);
    const std::string tmp = file + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n <= 0) {
            close(fd);
            unlink(tmp.c_str());
            return -1;
        }
        off += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(tmp.c_str(), file.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

void put_be16(std::string &s, size_t v) {
    s += static_cast<char>((v >> 8) & 0xff);
    s += static_cast<char>(v & 0xff);
}

} // namespace

eap_fast_pac *eap_fast_find_pac(eap_fast_pac *root, const uint8_t *a_id, size_t a_id_len, uint16_t pac_type) {
    for (eap_fast_pac *p = root; p != nullptr; p = p->next)
        if (p->pac_type == pac_type && p->a_id_len == a_id_len &&
            (a_id_len == 0 || (p->a_id != nullptr && memcmp(p->a_id, a_id, a_id_len) == 0)))
            return p;
    return nullptr;
}

int eap_fast_add_pac(eap_fast_pac **root, eap_fast_pac **current, const eap_fast_pac *entry) {
    if (entry == nullptr || entry->a_id == nullptr) return -1;
    eap_fast_pac **link = root;
    while (*link != nullptr) {
        eap_fast_pac *p = *link;
        if (p->pac_type == entry->pac_type && p->a_id_len == entry->a_id_len &&
            memcmp(p->a_id, entry->a_id, entry->a_id_len) == 0) {
            *link = p->next;
            if (current != nullptr && *current == p) *current = nullptr;
            free_pac(p);
            continue;
        }
        link = &p->next;
    }
    auto *pac = static_cast<eap_fast_pac *>(calloc(1, sizeof(eap_fast_pac)));
    if (pac == nullptr) return -1;
    pac->pac_type = entry->pac_type;
    memcpy(pac->pac_key, entry->pac_key, EAP_FAST_PAC_KEY_LEN);
    if (!copy_field(&pac->pac_opaque, &pac->pac_opaque_len, entry->pac_opaque, entry->pac_opaque_len) ||
        !copy_field(&pac->pac_info, &pac->pac_info_len, entry->pac_info, entry->pac_info_len) ||
        !copy_field(&pac->a_id, &pac->a_id_len, entry->a_id, entry->a_id_len) ||
        !copy_field(&pac->i_id, &pac->i_id_len, entry->i_id, entry->i_id_len) ||
        !copy_field(&pac->a_id_info, &pac->a_id_info_len, entry->a_id_info, entry->a_id_info_len)) {
        free_pac(pac);
        return -1;
    }
    pac->next = *root;
    *root = pac;
    return 0;
}

size_t eap_fast_trim_pac_list(eap_fast_pac *root, size_t max) {
    size_t count = 0, dropped = 0;
    eap_fast_pac *prev = nullptr;
    for (eap_fast_pac *p = root; p != nullptr;) {
        count++;
        if (count > max && prev != nullptr) {
            prev->next = nullptr;
            while (p != nullptr) {
                eap_fast_pac *next = p->next;
                free_pac(p);
                dropped++;
                p = next;
            }
            break;
        }
        prev = p;
        p = p->next;
    }
    return dropped;
}

void eap_fast_free_pac_list(eap_fast_pac *root) {
    while (root != nullptr) {
        eap_fast_pac *next = root->next;
        free_pac(root);
        root = next;
    }
}

int eap_fast_parse_pac_text(eap_fast_pac **root, const uint8_t *buf, size_t len) {
    size_t pos = 0;
    bool first = true;
    eap_fast_pac *pac = nullptr;
    while (pos < len) {
        const uint8_t *nl = static_cast<const uint8_t *>(memchr(buf + pos, '\n', len - pos));
        size_t end = nl != nullptr ? static_cast<size_t>(nl - buf) : len;
        // A line over the reader's limit fails the load: it is never split into two.
        if (end - pos > MAX_LINE) {
            if (pac != nullptr) free_pac(pac);
            return -1;
        }
        std::string line(reinterpret_cast<const char *>(buf + pos), end - pos);
        pos = end + 1;
        const size_t cr = line.find('\r');
        if (cr != std::string::npos) line.resize(cr);
        if (first) {
            if (line != kHeader) return -1;
            first = false;
            continue;
        }
        if (line == "START") {
            if (pac != nullptr) {
                free_pac(pac);
                return -1;
            }
            pac = static_cast<eap_fast_pac *>(calloc(1, sizeof(eap_fast_pac)));
            if (pac == nullptr) return -1;
            pac->pac_type = PAC_TYPE_TUNNEL_PAC;
            continue;
        }
        if (line == "END") {
            if (pac == nullptr) return -1;
            append(root, pac);
            pac = nullptr;
            continue;
        }
        if (pac == nullptr) return -1;
        const size_t eq = line.find('=');
        const std::string name = line.substr(0, eq);
        const std::string value = eq != std::string::npos ? line.substr(eq + 1) : "";
        bool ok = true;
        if (name == "PAC-Type") {
            char *e = nullptr;
            long v = strtol(value.c_str(), &e, 10);
            ok = !value.empty() && *e == '\0' && v >= 1 && v <= 3;
            pac->pac_type = static_cast<uint16_t>(v);
        } else if (name == "PAC-Key") {
            uint8_t *key = nullptr;
            size_t klen = 0;
            ok = parse_hex(value, &key, &klen) && klen == EAP_FAST_PAC_KEY_LEN;
            if (ok) memcpy(pac->pac_key, key, EAP_FAST_PAC_KEY_LEN);
            if (key != nullptr) explicit_bzero(key, klen);
            free(key);
        } else if (name == "PAC-Opaque") {
            ok = parse_hex(value, &pac->pac_opaque, &pac->pac_opaque_len);
        } else if (name == "A-ID") {
            ok = parse_hex(value, &pac->a_id, &pac->a_id_len);
        } else if (name == "I-ID") {
            ok = parse_hex(value, &pac->i_id, &pac->i_id_len);
        } else if (name == "A-ID-Info") {
            ok = parse_hex(value, &pac->a_id_info, &pac->a_id_info_len);
        }
        if (!ok) {
            free_pac(pac);
            return -1;
        }
    }
    if (pac != nullptr) {
        free_pac(pac);
        return -1;
    }
    return first && len > 0 ? -1 : 0;
}

int eap_fast_load_pac_text(eap_peer_sm *sm, eap_fast_pac **root, const char *path) {
    std::vector<uint8_t> data;
    int r = read_store(sm, path, data);
    if (r != 0) return r > 0 ? 0 : -1;
    return eap_fast_parse_pac_text(root, data.data(), data.size());
}

int eap_fast_save_pac_text(eap_peer_sm *sm, eap_fast_pac *root, const char *path) {
    std::string out = std::string(kHeader) + "\n";
    auto field = [&](const char *name, const uint8_t *p, size_t len, bool twin) {
        if (p == nullptr) return;
        out += std::string(name) + "=" + hex_of(p, len) + "\n";
        if (twin) {
            // The readable twin holds printable bytes only: a server's text with a line
            // break could otherwise plant lines of its own into the file.
            std::string txt;
            for (size_t i = 0; i < len; i++)
                txt += (p[i] >= 32 && p[i] < 127) ? static_cast<char>(p[i]) : '_';
            out += std::string(name) + "-txt=" + txt + "\n";
        }
    };
    for (eap_fast_pac *p = root; p != nullptr; p = p->next) {
        out += "START\nPAC-Type=" + std::to_string(p->pac_type) + "\n";
        field("PAC-Key", p->pac_key, EAP_FAST_PAC_KEY_LEN, false);
        field("PAC-Opaque", p->pac_opaque, p->pac_opaque_len, false);
        field("PAC-Info", p->pac_info, p->pac_info_len, false);
        field("A-ID", p->a_id, p->a_id_len, false);
        field("I-ID", p->i_id, p->i_id_len, true);
        field("A-ID-Info", p->a_id_info, p->a_id_info_len, true);
        out += "END\n";
    }
    int r = write_store(sm, path, out);
    explicit_bzero(out.data(), out.size());
    return r;
}

int eap_fast_parse_pac_binary(eap_fast_pac **root, const uint8_t *buf, size_t len) {
    if (len == 0) return 0;
    if (len < 6 || memcmp(buf, kBinaryMagic, 4) != 0 || buf[4] != 0 || buf[5] != 0) return -1;
    size_t pos = 6;
    while (len - pos >= 38) {
        const uint8_t *r = buf + pos;
        const size_t opaque_len = (size_t(r[34]) << 8) | r[35];
        if (opaque_len > len - pos - 36 - 2) return -1;
        const size_t info_off = 36 + opaque_len;
        const size_t info_len = (size_t(r[info_off]) << 8) | r[info_off + 1];
        if (info_len > len - pos - info_off - 2) return -1;
        auto *pac = static_cast<eap_fast_pac *>(calloc(1, sizeof(eap_fast_pac)));
        if (pac == nullptr) return -1;
        pac->pac_type = static_cast<uint16_t>((r[0] << 8) | r[1]);
        memcpy(pac->pac_key, r + 2, EAP_FAST_PAC_KEY_LEN);
        const uint8_t *info = r + info_off + 2;
        if (!copy_field(&pac->pac_opaque, &pac->pac_opaque_len, r + 36, opaque_len) ||
            !copy_field(&pac->pac_info, &pac->pac_info_len, info, info_len)) {
            free_pac(pac);
            return -1;
        }
        // A-ID (4) and A-ID-Info (7) from the PAC-Info attributes.
        for (size_t p = 0; p + 4 <= info_len;) {
            const size_t type = ((size_t(info[p]) << 8) | info[p + 1]) & EAP_FAST_PAC_ATTR_TYPE_MASK;
            const size_t alen = (size_t(info[p + 2]) << 8) | info[p + 3];
            if (alen > info_len - p - 4) break;
            bool ok = true;
            if (type == 4) {
                free(pac->a_id);
                ok = copy_field(&pac->a_id, &pac->a_id_len, info + p + 4, alen);
            } else if (type == 7) {
                free(pac->a_id_info);
                ok = copy_field(&pac->a_id_info, &pac->a_id_info_len, info + p + 4, alen);
            }
            if (!ok) {
                free_pac(pac);
                return -1;
            }
            p += 4 + alen;
        }
        append(root, pac);
        pos += info_off + 2 + info_len;
    }
    return pos == len ? 0 : -1;
}

int eap_fast_load_pac_binary(eap_peer_sm *sm, eap_fast_pac **root, const char *path) {
    std::vector<uint8_t> data;
    int r = read_store(sm, path, data);
    if (r != 0) return r > 0 ? 0 : -1;
    return eap_fast_parse_pac_binary(root, data.data(), data.size());
}

int eap_fast_save_pac_binary(eap_peer_sm *sm, eap_fast_pac *root, const char *path) {
    std::string out(reinterpret_cast<const char *>(kBinaryMagic), 4);
    put_be16(out, 0);
    for (eap_fast_pac *p = root; p != nullptr; p = p->next) {
        if (p->pac_opaque_len > 0xffff || p->pac_info_len > 0xffff) return -1;
        put_be16(out, p->pac_type);
        out.append(reinterpret_cast<const char *>(p->pac_key), EAP_FAST_PAC_KEY_LEN);
        put_be16(out, p->pac_opaque_len);
        if (p->pac_opaque_len > 0)
            out.append(reinterpret_cast<const char *>(p->pac_opaque), p->pac_opaque_len);
        put_be16(out, p->pac_info_len);
        if (p->pac_info_len > 0) out.append(reinterpret_cast<const char *>(p->pac_info), p->pac_info_len);
    }
    int r = write_store(sm, path, out);
    explicit_bzero(out.data(), out.size());
    return r;
}
