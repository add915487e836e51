// The text parsers of the supplicant's configuration and control interface: escaped,
// quoted and hexadecimal strings, SSIDs, Base64, addresses and frequency lists stay
// inside their outputs, and the encoders' output decodes back to the same bytes.
#include "wireless/core/text.h"
#include "wireless/core/wpabuf.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t out_size = data[0];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const char *t = text.c_str();

    std::vector<uint8_t> out(out_size + 1, 0xa5);
    size_t n = printf_decode(out.data(), out_size, t);
    if (n > out_size || out[out_size] != 0xa5) abort();

    // printf_encode then printf_decode gives the bytes back when the room suffices.
    std::vector<char> enc(4 * (size - 1) + 1);
    printf_encode(enc.data(), enc.size(), data + 1, size - 1);
    std::vector<uint8_t> back(size + 1);
    size_t m = printf_decode(back.data(), back.size(), enc.data());
    if (m != size - 1 || memcmp(back.data(), data + 1, m) != 0) abort();

    size_t len = 0;
    char *s = wpa_config_parse_string(t, &len);
    free(s);
    wpa_ssid_value ssid;
    if (parse_ssid_text(t, &ssid) == 0 && (ssid.ssid_len < 1 || ssid.ssid_len > 32)) abort();

    unsigned char *dec = base64_decode(text.data(), text.size(), &len);
    free(dec);
    unsigned char *b64 = base64_encode(data + 1, size - 1, &len);
    if (b64 != nullptr && size > 1) {
        size_t dlen = 0;
        unsigned char *again = base64_decode(reinterpret_cast<char *>(b64), len, &dlen);
        if (again == nullptr || dlen != size - 1 || memcmp(again, data + 1, dlen) != 0) abort();
        free(again);
    }
    free(b64);

    uint8_t addr[6], mask[6];
    hwaddr_parse(t, addr);
    hwaddr_masked_parse(t, addr, mask, 1);
    hwaddr_compact_parse(t, addr);
    char mtxt[40];
    hwaddr_mask_txt(mtxt, out_size < sizeof(mtxt) ? out_size : sizeof(mtxt), addr, mask);
    wpa_buf_free(wpa_buf_parse_hex(t));

    freq_range_list list{nullptr, 0};
    if (freq_range_list_parse(&list, t) == 0) {
        free(freq_range_list_str(&list));
        freq_range_list_includes(&list, 2412);
    }
    free(list.range);

    char u[64];
    utf8_unescape(t, 0, u, out_size < sizeof(u) ? out_size : sizeof(u));
    escape_quote_backslash(t, text.size() < strlen(t) ? text.size() : strlen(t), u,
                           out_size < sizeof(u) ? out_size : sizeof(u));
    std::vector<char> hex(out_size + 1, 'x');
    wpa_snprintf_hex(hex.data(), out_size, data + 1, size - 1);
    if (out_size == 0 && hex[0] != 'x') abort();
    return 0;
}
