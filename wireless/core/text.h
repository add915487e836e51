// Conversions between text and bytes for the supplicant's configuration, control
// interface, WPS and P2P. Every output is bounded by the caller's size.
#pragma once

#include "wireless/core/os.h"

#include <cstddef>
#include <cstdint>

int hex2num(char c);
int hex2byte(const char *hex);
int hwaddr_parse(const char *txt, uint8_t *addr);
int hwaddr_masked_parse(const char *txt, uint8_t *addr, uint8_t *mask, int maskable);
int hwaddr_compact_parse(const char *txt, uint8_t *addr);
int hex_to_bin(const char *hex, uint8_t *buf, size_t len);
int hwaddr_mask_txt(char *buf, size_t len, const uint8_t *addr, const uint8_t *mask);
void inc_byte_array(uint8_t *counter, size_t len);
void wpa_get_ntp_timestamp(uint8_t *buf);
int wpa_scnprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int wpa_snprintf_hex(char *buf, size_t buf_size, const uint8_t *data, size_t len);
size_t printf_encode(char *txt, size_t maxlen, const uint8_t *data, size_t len);
size_t printf_decode(uint8_t *buf, size_t size, const char *str);
const char *wpa_ssid_txt(const uint8_t *ssid, size_t ssid_len);
int has_non_printable_char(const uint8_t *data, size_t len);
int has_ctrl_char(const uint8_t *data, size_t len);
int has_newline(const char *str);
int is_ctrl_char(char c);
int str_starts(const char *str, const char *start);
int merge_byte_arrays(uint8_t *res, size_t res_len, const uint8_t *src1, size_t src1_len, const uint8_t *src2,
                      size_t src2_len);
char *dup_binstr(const void *src, size_t len);
// "\"text\"", P"escaped" or hex; a new allocation (len: its length) or null.
char *wpa_config_parse_string(const char *value, size_t *len);

struct wpa_ssid_value {
    uint8_t ssid[32];
    size_t ssid_len;
};
int parse_ssid_text(const char *buf, wpa_ssid_value *ssid);

struct freq_range {
    unsigned int min;
    unsigned int max;
};
struct freq_range_list {
    freq_range *range;
    unsigned int num;
};
int freq_range_list_parse(freq_range_list *res, const char *value);
int freq_range_list_includes(const freq_range_list *list, unsigned int freq);
char *freq_range_list_str(const freq_range_list *list);

size_t int_array_len(const int *a);
void int_array_concat(int **res, const int *a);
void int_array_sort_unique(int *a);

char *str_token(char *str, const char *delim, char **context);
char *cstr_token(char *str, const char *delim, char **context);
size_t utf8_unescape(const char *inp, size_t in_size, char *outp, size_t out_size);
size_t escape_quote_backslash(const char *inp, size_t in_size, char *outp, size_t out_size);

unsigned char *base64_encode(const void *src, size_t len, size_t *out_len);
unsigned char *base64_decode(const char *src, size_t len, size_t *out_len);

struct bitfield;
bitfield *bitfield_alloc(size_t max_bits);
void bitfield_free(bitfield *bf);
void bitfield_set(bitfield *bf, size_t bit);
void bitfield_clear(bitfield *bf, size_t bit);
int bitfield_is_set(bitfield *bf, size_t bit);
int bitfield_get_first_zero(bitfield *bf);

int random_mac_addr(uint8_t *addr);
int random_mac_addr_keep_oui(uint8_t *addr);
void str_clear_free(char *str);
void bin_clear_free(void *bin, size_t len);
