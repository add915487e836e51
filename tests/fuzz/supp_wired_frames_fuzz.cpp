// Frames from the wire and from the kernel: PAE frames and DHCP datagrams on the wired
// back end's access-point side, and rtnetlink datagrams on the link listener.
#include "wireless/core/driver.h"
#include "wireless/drivers/driver_wired.h"
#include "wireless/drivers/linux_ioctl.h"

#include <cstdlib>
#include <cstring>
#include <linux/rtnetlink.h>
#include <vector>

namespace {

void check_event(void *, wpa_event_type event, const wpa_event_data *data) {
    // Touch every byte the event names, so that an out-of-bounds view shows.
    volatile uint8_t sink = 0;
    if (event == EVENT_NEW_STA) {
        for (int i = 0; i < 6; i++)
            sink = sink + data->new_sta.addr[i];
    } else if (event == EVENT_EAPOL_RX) {
        for (size_t i = 0; i < data->eapol_rx.data_len; i++)
            sink = sink + data->eapol_rx.data[i];
    }
}

void link_cb(void *, ifinfomsg *ifi, uint8_t *buf, size_t len) {
    volatile uint8_t sink = static_cast<uint8_t>(ifi->ifi_index);
    for (size_t i = 0; i < len; i++)
        sink = sink + buf[i];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    supplicant_event_set_observer(check_event);
    std::vector<uint8_t> copy(data, data + size); // exact size: overreads show
    wired_handle_pae_frame(nullptr, copy.data(), copy.size());
    wired_handle_dhcp(nullptr, copy.data(), copy.size());
    netlink_config cfg{nullptr, link_cb, link_cb};
    netlink_receive_buffer(&cfg, copy.data(), copy.size());
    return 0;
}
