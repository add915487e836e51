// The steps of interface creation, teardown and the periodic pass that belong to the
// scan logic, the BSS table, the radio works and background scanning.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/association.h"
#include "wireless/core/bgscan.h"
#include "wireless/core/bss.h"
#include "wireless/core/config.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/eloop.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant_hooks.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/rsn/wpa.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Interfaces initialised together scan 0.1 s, 1.1 s and 2.1 s after their start.
unsigned int interface_count = 0;

void free_hw_modes(wpa_iface *iface) {
    for (unsigned int i = 0; iface->hw_modes && i < iface->num_hw_modes; i++) {
        free(iface->hw_modes[i].channels);
        free(iface->hw_modes[i].rates);
    }
    free(iface->hw_modes);
    iface->hw_modes = nullptr;
    iface->num_hw_modes = 0;
}

} // namespace

int supp_hw_modes_read(wpa_iface *iface) {
    if (iface->driver == nullptr || iface->driver->get_hw_feature_data == nullptr) return 0;
    uint16_t num = 0, flags = 0;
    hw_mode_info *modes = iface->driver->get_hw_feature_data(iface->drv_priv, &num, &flags);
    if (modes == nullptr) return 0;
    iface->hw_modes = modes;
    iface->num_hw_modes = num;
    // Channel-width capability: HT, HT40 (HT capability bit 1), VHT.
    for (unsigned int i = 0; i < num; i++) {
        const hw_mode_info &m = modes[i];
        int capa = 0;
        if (m.vht_capab)
            capa = 3;
        else if (m.ht_capab & 0x0002)
            capa = 2;
        else if (m.ht_capab)
            capa = 1;
        if (capa > iface->max_chwidth_capa) iface->max_chwidth_capa = capa;
    }
    return 0;
}

// The interface's hardware address as the kernel reports it.
static void read_own_addr(wpa_iface *iface) {
    const uint8_t *addr =
        iface->driver && iface->driver->get_mac_addr ? iface->driver->get_mac_addr(iface->drv_priv) : nullptr;
    if (addr) {
        memcpy(iface->own_addr, addr, 6);
        return;
    }
    size_t len = strlen(iface->ifname);
    if (len >= IFNAMSIZ) return;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return;
    ifreq ifr{};
    memcpy(ifr.ifr_name, iface->ifname, len);
    if (ioctl(sock, SIOCGIFHWADDR, &ifr) == 0 && ifr.ifr_hwaddr.sa_family == ARPHRD_ETHER)
        memcpy(iface->own_addr, ifr.ifr_hwaddr.sa_data, 6);
    close(sock);
}

int supplicant_driver_init(wpa_iface *iface) {
    // The EAPOL socket and the own address from it; an interface whose socket cannot be
    // opened (a back end without a network device) still runs, its address read from
    // the kernel if there is one. Then the SSID cursor and the first scan.
    if (supplicant_update_mac_addr(iface) < 0) read_own_addr(iface);
    memcpy(iface->perm_addr, iface->own_addr, 6);
    wpa_sm_store_own_addr(iface->wpa, iface->own_addr);
    if (iface->bridge_ifname[0]) {
        iface->l2_br = l2_packet_init_bridge(iface->bridge_ifname, iface->ifname, iface->own_addr, 0x888e,
                                             supplicant_rx_eapol_bridge, iface, 1);
        if (iface->l2_br == nullptr) {
            wpa_msg_iface(iface, MSG_ERROR,
                          "Failed to open l2_packet connection for the bridge interface '%s'",
                          iface->bridge_ifname);
            return -1;
        }
    }
    // Nothing of an earlier run stays installed.
    wpa_clear_keys(iface, nullptr);
    wpa_drv_set_countermeasures(iface, 0);
    if (iface->driver && iface->driver->flush_pmkid) iface->driver->flush_pmkid(iface->drv_priv);
    iface->prev_scan_ssid = WILDCARD_SSID_SCAN;
    if (supplicant_enabled_networks(iface) == 0) {
        supplicant_set_state(iface, WPA_INACTIVE);
        return 0;
    }
    if (iface->wpa_state == WPA_INTERFACE_DISABLED) {
        supplicant_set_state(iface, WPA_DISCONNECTED);
        interface_count = 0;
    }
    if (!iface->p2p_mgmt) {
        unsigned int delay = interface_count % 3;
        if (supplicant_delayed_sched_scan(iface, static_cast<int>(delay), 100000) != 0)
            supplicant_req_scan(iface, static_cast<int>(delay), 100000);
    }
    interface_count++;
    return 0;
}

int supp_bss_init(wpa_iface *iface) {
    return wpa_bss_init(iface);
}

int supp_sched_scan_plans_parse(wpa_iface *iface) {
    if (iface->conf->sched_scan_plans && supp_sched_scan_plans_set(iface, iface->conf->sched_scan_plans) < 0)
        supp_sched_scan_plans_set(iface, "");
    return 0;
}

void supp_scan_set_default_ies(wpa_iface *iface) {
    supplicant_set_default_scan_ies(iface);
}

void supp_bgscan_deinit(wpa_iface *iface) {
    bgscan_deinit(iface);
    iface->bgscan_ssid = nullptr;
}

void supp_bss_deinit(wpa_iface *iface) {
    // Monitors see the entries go; those still in use go with the interface.
    wpa_bss_flush(iface);
    wpa_bss_deinit(iface);
}

void supp_iface_cancel_timeouts(wpa_iface *iface) {
    supplicant_cancel_scan(iface);
    supplicant_sched_scan_cancel_timeouts(iface);
    supplicant_cancel_auth_timeout(iface);
    eloop_cancel_timeout(supplicant_countermeasures_stop, iface, nullptr);
}

void supp_sched_scan_stop(wpa_iface *iface) {
    supplicant_cancel_sched_scan(iface);
    supp_stop_pno(iface);
    // Stopping PNO may have asked for a scan: nothing may stay registered for a freed interface.
    supplicant_cancel_scan(iface);
    supplicant_sched_scan_cancel_timeouts(iface);
}

void supp_scan_settings_free(wpa_iface *iface) {
    free(iface->next_scan_freqs);
    iface->next_scan_freqs = nullptr;
    free(iface->manual_scan_freqs);
    iface->manual_scan_freqs = nullptr;
    free(iface->pno_freqs);
    iface->pno_freqs = nullptr;
    if (iface->ssids_from_scan_req) {
        for (size_t i = 0; i < iface->num_ssids_from_scan_req; i++)
            free(const_cast<uint8_t *>(iface->ssids_from_scan_req[i].ssid));
        free(iface->ssids_from_scan_req);
        iface->ssids_from_scan_req = nullptr;
        iface->num_ssids_from_scan_req = 0;
    }
    supp_mac_addr_rand_scan_clear(iface, MAC_ADDR_RAND_SCAN | MAC_ADDR_RAND_SCHED_SCAN | MAC_ADDR_RAND_PNO);
}

void supp_iface_buffers_free(wpa_iface *iface) {
    free_hw_modes(iface);
    free(iface->bssid_filter);
    iface->bssid_filter = nullptr;
    iface->bssid_filter_count = 0;
    free(iface->disallow_aps_bssid);
    iface->disallow_aps_bssid = nullptr;
    free(iface->disallow_aps_ssid);
    iface->disallow_aps_ssid = nullptr;
    for (wpa_buf *&b : iface->vendor_elem) {
        wpa_buf_free(b);
        b = nullptr;
    }
    wpa_buf_free(iface->lci);
    iface->lci = nullptr;
    free(iface->sched_scan_plans);
    iface->sched_scan_plans = nullptr;
    iface->sched_scan_plans_num = 0;
}

void supp_radio_remove_works(wpa_iface *iface) {
    radio_remove_works(iface, nullptr, 0);
    // The last interface takes the radio with it: no start decision may run for it.
    if (iface->radio && iface->radio->ifaces == iface && iface->radio_next == nullptr)
        radio_cancel_start(iface->radio);
}

void supp_bss_flush_by_age(wpa_iface *iface, int age) {
    wpa_bss_flush_by_age(iface, age);
}

void supp_config_changes_later(wpa_iface *iface) {
    if (iface->conf->changed_parameters & CFG_CHANGED_SCHED_SCAN_PLANS) supp_sched_scan_plans_parse(iface);
}
