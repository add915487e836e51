// The radio work queue: operations that need the radio for a while (scans, connection
// attempts, GAS queries, external works) queue on the radio that their interface shares
// with others and start one at a time, or two when the driver can run off-channel
// operations beside each other. Also the frequencies the interfaces of a radio use.
#pragma once

#include "wireless/core/supplicant.h"

struct radio_work {
    radio_work *prev;
    radio_work *next;
    unsigned int freq; // MHz, 0 when not tied to one
    const char *type;  // "scan", "p2p-scan", "connect", "sme-connect", "gas-query", ...
    wpa_iface *iface;
    void (*cb)(radio_work *work, int deinit);
    void *ctx;
    unsigned int started : 1;
    os_reltime time; // queued, then started
    unsigned int bands;
};

// The driver flag "OFFCHANNEL_SIMULTANEOUS" (bit 39): off-channel operations may run beside
// each other, so two works may be started at once.
constexpr uint64_t DRIVER_FLAG_OFFCHANNEL_SIMULTANEOUS = 1ULL << 39;

enum : unsigned int {
    BAND_2_4_GHZ = 0x1,
    BAND_5_GHZ = 0x2,
    BAND_60_GHZ = 0x4,
};

int radio_add_work(wpa_iface *iface, unsigned int freq, const char *type, int next,
                   void (*cb)(radio_work *work, int deinit), void *ctx);
void radio_work_done(radio_work *work);
void radio_remove_works(wpa_iface *iface, const char *type, int remove_all);
radio_work *radio_work_pending(wpa_iface *iface, const char *type);
void radio_work_check_next(wpa_iface *iface);
// Ends the interface's running connect work: frees its context, then the work.
void supp_connect_work_done(wpa_iface *iface);
// Cancels the radio's pending start decision (the radio goes away).
void radio_cancel_start(wpa_radio *radio);

struct wpa_used_freq_data {
    int freq;
    unsigned int flags; // 1 station, 2 P2P client
};

int wpa_get_shared_radio_freqs_data(wpa_iface *iface, wpa_used_freq_data *freqs_data, unsigned int len);
int wpa_get_shared_radio_freqs(wpa_iface *iface, int *freq_array, unsigned int len);

unsigned int wpa_band_for_freq(int freq);
unsigned int wpa_bands_for_radio(wpa_iface *iface);
unsigned int wpa_get_bands_for_freqs(wpa_iface *iface, const int *freqs);
