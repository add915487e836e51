// The rtnetlink walk: link messages reach their handler with the attributes after the
// interface header; short, foreign and overlong messages are passed over.
#include "wireless/drivers/linux_ioctl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <linux/rtnetlink.h>
#include <vector>

namespace {

std::vector<std::pair<int, size_t>> calls; // ifindex (negative for dellink), attribute bytes

void newlink(void *, ifinfomsg *ifi, uint8_t *, size_t len) {
    calls.emplace_back(ifi->ifi_index, len);
}
void dellink(void *, ifinfomsg *ifi, uint8_t *, size_t len) {
    calls.emplace_back(-ifi->ifi_index, len);
}

void append(std::vector<uint8_t> &buf, uint16_t type, int ifindex, size_t attr_len, uint32_t claimed = 0) {
    size_t len = NLMSG_LENGTH(sizeof(ifinfomsg)) + attr_len;
    size_t start = buf.size();
    buf.resize(start + NLMSG_ALIGN(len));
    auto *h = reinterpret_cast<nlmsghdr *>(buf.data() + start);
    h->nlmsg_len = claimed ? claimed : static_cast<uint32_t>(len);
    h->nlmsg_type = type;
    auto *ifi = static_cast<ifinfomsg *>(NLMSG_DATA(h));
    ifi->ifi_index = ifindex;
}

TEST(Rtnetlink, LinkMessagesReachTheirHandlers) {
    calls.clear();
    std::vector<uint8_t> buf;
    append(buf, RTM_NEWLINK, 3, 8);
    append(buf, RTM_NEWADDR, 4, 8); // not a link message
    append(buf, RTM_DELLINK, 5, 0);
    append(buf, RTM_NEWLINK, 6, 12, 9999); // claims more than the datagram holds
    netlink_config cfg{nullptr, newlink, dellink};
    netlink_receive_buffer(&cfg, buf.data(), buf.size());
    EXPECT_EQ(calls, (std::vector<std::pair<int, size_t>>{{3, 8}, {-5, 0}}));

    calls.clear();
    std::vector<uint8_t> tiny;
    append(tiny, RTM_NEWLINK, 7, 0, 20); // shorter than a link message
    netlink_receive_buffer(&cfg, tiny.data(), tiny.size());
    netlink_receive_buffer(&cfg, tiny.data(), 10);
    EXPECT_TRUE(calls.empty());
}

} // namespace
