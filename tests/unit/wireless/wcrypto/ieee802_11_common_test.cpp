// Element walk, frame-header BSSID, channel/frequency/operating-class conversions,
// channel set-up parameters, the 20/40 MHz neighbour check and the small parsers.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/wpabuf.h"

#include "hex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes elem(uint8_t id, const Bytes &payload) {
    Bytes out{id, static_cast<uint8_t>(payload.size())};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes vendor(uint32_t ouiType, const Bytes &rest) {
    Bytes payload{static_cast<uint8_t>(ouiType >> 24), static_cast<uint8_t>(ouiType >> 16),
                  static_cast<uint8_t>(ouiType >> 8), static_cast<uint8_t>(ouiType)};
    payload.insert(payload.end(), rest.begin(), rest.end());
    return elem(221, payload);
}

TEST(WirelessElems, ParseResultsAndStorageRules) {
    struct Case {
        const char *name;
        Bytes ies;
        int result;
    };
    const Case cases[] = {
        {"empty", {}, 0},
        {"ssid of 33 bytes is known but not kept", elem(0, Bytes(33, 'x')), 0},
        {"stray last byte", cat({elem(0, bytes("net")), Bytes{0x01}}), -1},
        {"length past the end", cat({Bytes{1, 200}, Bytes(98, 0)}), -1},
        {"unknown id", elem(200, Bytes{1, 2}), 1},
        {"vendor element too short to name", elem(221, Bytes{0x00, 0x50, 0xf2}), 1},
        {"unknown vendor", vendor(0x00112233, {}), 1},
        {"WMM without subtype", vendor(0x0050f202, {}), 1},
        {"WMM with unknown subtype", vendor(0x0050f202, {7, 1}), 1},
        {"pre-standard VHT without its flags byte", vendor(0x00904c04, {}), 1},
        {"pre-standard VHT with a flag outside 0x08", vendor(0x00904c04, {0x01}), 1},
        {"MIC ends the walk: garbage after it is ignored", cat({elem(140, Bytes(16, 1)), Bytes{0x30, 0xff}}),
         0},
        {"CF, TIM and power capability are recognised",
         cat({elem(4, Bytes(6, 0)), elem(5, Bytes(4, 0)), elem(33, Bytes(2, 0))}), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ieee80211_elems e;
        memset(&e, 0xa5, sizeof(e));
        EXPECT_EQ(c.result, ieee802_11_parse_elems(c.ies.data(), c.ies.size(), &e));
        if (c.result >= 0) {
            EXPECT_EQ(nullptr, e.ssid);
            EXPECT_EQ(nullptr, e.vendor_vht);
            EXPECT_EQ(nullptr, e.wmm);
        }
    }
}

TEST(WirelessElems, KnownElementsAreStoredWithTheirLengthRules) {
    const Bytes ies = cat({
        elem(0, bytes("office")),
        elem(1, Bytes{0x82, 0x84, 0x0b, 0x16}),
        elem(3, Bytes{6}),
        elem(45, Bytes(25, 0)), // HT capabilities need 26 bytes: not kept
        elem(61, Bytes(22, 0)),
        elem(48, Bytes{1, 0}),
        elem(56, Bytes(4, 0)), // timeout interval must be exactly 5
        elem(199, Bytes{1}),
        vendor(0x0050f201, {1, 0}),
        vendor(0x0050f202, {1, 1, 0}),
        vendor(0x0050f204, {0x10, 0x4a}),
        vendor(0x00904c04, {0x08, 0x00}),
        vendor(0x506f9a09, {}),
        vendor(0x00137400, {}),
    });
    ieee80211_elems e;
    ASSERT_EQ(0, ieee802_11_parse_elems(ies.data(), ies.size(), &e));
    ASSERT_NE(nullptr, e.ssid);
    EXPECT_EQ("office", std::string(reinterpret_cast<const char *>(e.ssid), e.ssid_len));
    EXPECT_EQ(4, e.supp_rates_len);
    ASSERT_NE(nullptr, e.ds_params);
    EXPECT_EQ(6, e.ds_params[0]);
    EXPECT_EQ(nullptr, e.ht_capabilities);
    EXPECT_NE(nullptr, e.ht_operation);
    EXPECT_EQ(2, e.rsn_ie_len);
    EXPECT_EQ(nullptr, e.timeout_int);
    EXPECT_NE(nullptr, e.opmode_notif);
    EXPECT_EQ(6, e.wpa_ie_len);
    EXPECT_EQ(0x00, e.wpa_ie[0]);
    EXPECT_EQ(7, e.wmm_len);
    EXPECT_EQ(6, e.wps_ie_len);
    EXPECT_EQ(6, e.vendor_vht_len);
    EXPECT_EQ(4, e.p2p_len);
    EXPECT_EQ(4, e.vendor_001374_len);
}

TEST(WirelessElems, MultiBandKeepsFiveAndMicStopsTheWalk) {
    Bytes ies;
    for (int i = 0; i < 6; i++)
        ies = cat({ies, elem(158, Bytes{static_cast<uint8_t>(i)})});
    ies = cat({ies, elem(140, Bytes{9, 9}), elem(0, bytes("after"))});
    ieee80211_elems e;
    ASSERT_EQ(0, ieee802_11_parse_elems(ies.data(), ies.size(), &e));
    ASSERT_EQ(5, e.mb_ies_count);
    EXPECT_EQ(4, e.mb_ies[4][0]);
    EXPECT_EQ(2, e.mic_len);
    EXPECT_EQ(nullptr, e.ssid);
}

TEST(WirelessElems, VendorConcatAndGetIe) {
    const Bytes ies = cat({elem(0, bytes("x")), vendor(0x0050f204, {1, 2}), elem(48, Bytes{1, 0}),
                           vendor(0x0050f204, {3}), vendor(0x0050f201, {9})});
    wpa_buf *buf = ieee802_11_vendor_ie_concat(ies.data(), ies.size(), 0x0050f204);
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ("010203", hex(wpa_buf_head(buf), wpa_buf_len(buf)));
    wpa_buf_free(buf);
    EXPECT_EQ(nullptr, ieee802_11_vendor_ie_concat(ies.data(), ies.size(), 0x506f9a09));

    // A truncated element ends the scan: nothing behind it is taken.
    const Bytes truncated = cat({vendor(0x0050f204, {1}), Bytes{221, 10, 0x00, 0x50, 0xf2, 0x04}});
    buf = ieee802_11_vendor_ie_concat(truncated.data(), truncated.size(), 0x0050f204);
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ("01", hex(wpa_buf_head(buf), wpa_buf_len(buf)));
    wpa_buf_free(buf);

    EXPECT_EQ(ies.data() + 3, get_ie(ies.data(), ies.size(), 221));
    EXPECT_EQ(ies.data() + 11, get_ie(ies.data(), ies.size(), 48));
    EXPECT_EQ(nullptr, get_ie(ies.data(), ies.size(), 61));
    EXPECT_EQ(nullptr, get_ie(truncated.data(), truncated.size(), 48));
    const Bytes cut{48, 5, 1};
    EXPECT_EQ(nullptr, get_ie(cut.data(), cut.size(), 48));
}

TEST(WirelessElems, HeaderBssid) {
    struct Case {
        const char *name;
        uint8_t fc0;
        uint8_t fc1;
        size_t len;
        int offset; // -1: none
    };
    const Case cases[] = {
        {"short of 16 bytes", 0x80, 0x00, 15, -1},
        {"management header cut after address 3", 0x80, 0x00, 22, -1},
        {"management frame: address 3", 0x80, 0x00, 24, 16},
        {"PS-Poll: address 1", 0xa4, 0x00, 16, 4},
        {"other control frame", 0xd4, 0x00, 16, -1},
        {"data frame shorter than its header", 0x08, 0x02, 20, -1},
        {"data from the DS: address 2", 0x08, 0x02, 24, 10},
        {"data to the DS: address 1", 0x08, 0x01, 24, 4},
        {"data to and from the DS: address 1", 0x08, 0x03, 24, 4},
        {"data within the BSS: none", 0x08, 0x00, 24, -1},
        {"extension frame type", 0x0c, 0x00, 24, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes hdr(32, 0);
        hdr[0] = c.fc0;
        hdr[1] = c.fc1;
        const uint8_t *bssid = get_hdr_bssid(hdr.data(), c.len);
        if (c.offset < 0)
            EXPECT_EQ(nullptr, bssid);
        else
            EXPECT_EQ(hdr.data() + c.offset, bssid);
    }
}

TEST(WirelessElems, ElevenBOnlyRates) {
    struct Case {
        Bytes rates;
        Bytes ext;
        bool only11b;
    };
    const Case cases[] = {
        {{2, 4, 11, 22}, {}, true}, {{0x82, 0x84}, {}, false}, // the basic-rate bit is part of the value
        {{2, 4}, {12}, false},      {{}, {22}, true},          {{}, {}, false},
    };
    for (const Case &c : cases) {
        Bytes ies;
        if (!c.rates.empty()) ies = cat({ies, elem(1, c.rates)});
        if (!c.ext.empty()) ies = cat({ies, elem(50, c.ext)});
        ieee80211_elems e;
        ASSERT_GE(ieee802_11_parse_elems(ies.data(), ies.size(), &e), 0);
        EXPECT_EQ(c.only11b, supp_rates_11b_only(&e)) << hex(ies);
    }
}

TEST(WirelessFreq, FrequencyToClassAndChannel) {
    struct Case {
        unsigned freq;
        int sec;
        int vht;
        int mode;
        int op_class;
        int channel;
    };
    const int B = HW_MODE_IEEE80211B, G = HW_MODE_IEEE80211G, A = HW_MODE_IEEE80211A,
              AD = HW_MODE_IEEE80211AD, U = HW_MODE_UNKNOWN;
    const Case cases[] = {
        {2412, 0, 0, G, 81, 1},    {2437, 1, 0, G, 83, 6},    {2437, -1, 0, G, 84, 6},
        {2472, 0, 0, G, 81, 13},   {2437, 0, 1, U, -1, -1},   {2414, 0, 0, U, -1, -1},
        {2484, 0, 0, B, 82, 14},   {2484, 1, 0, U, -1, -1},   {4920, 0, 0, A, 0, 184},
        {5180, 0, 0, A, 115, 36},  {5200, 1, 0, A, 116, 40},  {5240, -1, 0, A, 117, 48},
        {5260, 0, 0, A, 118, 52},  {5300, -1, 0, A, 120, 60}, {5320, 1, 0, A, 119, 64},
        {5500, 0, 0, A, 121, 100}, {5600, 1, 0, A, 122, 120}, {5700, -1, 0, A, 123, 140},
        {5720, 0, 0, A, 0, 144},   {5745, 0, 0, A, 124, 149}, {5805, 0, 0, A, 124, 161},
        {5825, 0, 0, A, 125, 165}, {5745, 1, 0, A, 126, 149}, {5765, -1, 0, A, 127, 153},
        {5865, 0, 0, A, 0, 173},   {5180, 0, 1, A, 128, 36},  {5180, 0, 2, A, 129, 36},
        {5180, 0, 3, A, 130, 36},  {5182, 0, 0, U, -1, -1},   {58320, 0, 0, AD, 180, 1},
        {64800, 0, 0, AD, 180, 4}, {60480, 1, 0, U, -1, -1},  {2412, 2, 0, U, -1, -1},
        {5180, 0, 4, U, -1, -1},   {3000, 0, 0, U, -1, -1},   {6000, 0, 0, U, -1, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.freq) + " " + std::to_string(c.sec) + " " + std::to_string(c.vht));
        uint8_t op_class = 0xee, channel = 0xee;
        EXPECT_EQ(c.mode, ieee80211_freq_to_channel_ext(c.freq, c.sec, c.vht, &op_class, &channel));
        if (c.mode != U) {
            EXPECT_EQ(c.op_class, op_class);
            EXPECT_EQ(c.channel, channel);
        }
    }
    uint8_t channel = 0;
    EXPECT_EQ(HW_MODE_IEEE80211G, ieee80211_freq_to_chan(2437, &channel));
    EXPECT_EQ(6, channel);
}

TEST(WirelessFreq, ChannelToFrequencyByCountryAndClass) {
    struct Case {
        const char *country;
        int op_class;
        int chan;
        int freq;
    };
    const Case cases[] = {
        {"DE", 81, 6, 2437}, // not a European class: the global table answers
        {"US", 5, 165, 5825},      {nullptr, 130, 161, 5805}, {nullptr, 82, 13, -1},
        {nullptr, 82, 14, 2484},   {"US", 1, 36, 5180},       {"CA", 4, 144, 5720},
        {"US", 12, 11, 2462},      {"US", 12, 12, -1},        {"US", 34, 2, 60480},
        {"FR", 17, 169, 5845},     {"UK", 4, 13, 2472},       {"DE", 13, 36, -1},
        {"DE", 3, 144, -1},        {"DE", 18, 4, 64800},      {"DE", 116, 40, 5200},
        {"JP", 31, 14, 2484},      {"JP", 1, 34, 5170},       {"JP", 58, 100, 5500},
        {"JP", 59, 3, 62640},      {"CN", 7, 13, 2472},       {"CN", 7, 14, -1},
        {"CN", 3, 165, 5825},      {"USA", 5, 165, 5825},     {"XX", 5, 165, -1},
        {nullptr, 129, 50, 5250},  {nullptr, 129, 115, -1},   {nullptr, 180, 4, 64800},
        {nullptr, 125, 169, 5845}, {nullptr, 124, 165, -1},   {"", 81, 1, 2412},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.country ? c.country : "(none)") + " " + std::to_string(c.op_class) + "/" +
                     std::to_string(c.chan));
        EXPECT_EQ(c.freq, ieee80211_chan_to_freq(c.country, static_cast<uint8_t>(c.op_class),
                                                 static_cast<uint8_t>(c.chan)));
    }
}

TEST(WirelessFreq, DfsAndPhyType) {
    for (int f : {5260, 5320, 5500, 5700})
        EXPECT_TRUE(ieee80211_is_dfs(f)) << f;
    for (int f : {5240, 5340, 5495, 5720, 2412})
        EXPECT_FALSE(ieee80211_is_dfs(f)) << f;
    struct Case {
        int freq, ht, vht, phy;
    };
    for (const Case c : {Case{2412, 0, 0, 6}, Case{2484, 0, 0, 5}, Case{5180, 0, 0, 4}, Case{60480, 0, 0, 8},
                         Case{3000, 0, 0, 0}, Case{2412, 1, 0, 7}, Case{5180, 1, 1, 9}})
        EXPECT_EQ(c.phy, ieee80211_get_phy_type(c.freq, c.ht, c.vht)) << c.freq;
}

hw_channel_info chans5[] = {
    {36, 5180, 0, 20, 0},
    {40, 5200, 0, 20, 0},
    {44, 5220, 0, 20, 0},
    {48, 5240, 0, 20, 0},
};

hw_mode_info mode5() {
    hw_mode_info m{};
    m.mode = HW_MODE_IEEE80211A;
    m.num_channels = 4;
    m.channels = chans5;
    return m;
}

TEST(WirelessFreq, HardwareModeLookups) {
    hw_mode_info m = mode5();
    EXPECT_EQ(5200, hw_get_freq(&m, 40));
    EXPECT_EQ(0, hw_get_freq(&m, 52));
    EXPECT_EQ(44, hw_get_chan(&m, 5220));
    EXPECT_EQ(0, hw_get_chan(&m, 5230));

    EXPECT_TRUE(hw_ht_supported(&m));
    m.flags = HW_MODE_FLAG_HT_INFO_KNOWN;
    EXPECT_FALSE(hw_ht_supported(&m));
    m.mcs_set[0] = 0xff;
    EXPECT_TRUE(hw_ht_supported(&m));

    EXPECT_TRUE(hw_vht_supported(&m));
    m.flags |= HW_MODE_FLAG_VHT_INFO_KNOWN;
    m.vht_mcs_set[0] = 0xff;
    EXPECT_FALSE(hw_vht_supported(&m));
    m.vht_mcs_set[0] = 0xfe;
    EXPECT_TRUE(hw_vht_supported(&m));
}

TEST(WirelessFreq, ChannelSetUpParameters) {
    struct Case {
        const char *name;
        int freq, channel, vht, sec, width, seg0, seg1;
        uint32_t caps;
        int result, cf1, cf2, bandwidth;
    };
    const Case cases[] = {
        {"HT40 without VHT", 5180, 36, 0, 1, 1, 0, 0, 0, 0, 5190, 0, 40},
        {"HT20", 5180, 36, 1, 0, 0, 0, 0, 0, 0, 5180, 0, 20},
        {"width 0 with segment 1", 5180, 36, 1, 1, 0, 0, 155, 0, -1, 0, 0, 0},
        {"width 0, segment 0 at the centre", 5180, 36, 1, 1, 0, 38, 0, 0, 0, 5190, 0, 40},
        {"width 0, segment 0 elsewhere", 5180, 36, 1, 1, 0, 42, 0, 0, -1, 0, 0, 0},
        {"80 MHz block of channel 36", 5180, 36, 1, 1, 1, 0, 0, 0, 0, 5210, 0, 80},
        {"80 MHz block of channel 149", 5745, 149, 1, 1, 1, 0, 0, 0, 0, 5775, 0, 80},
        {"80 MHz beyond the last block", 5825, 165, 1, -1, 1, 0, 0, 0, -1, 0, 0, 0},
        {"80 MHz without an offset", 5180, 36, 1, 0, 1, 0, 0, 0, -1, 0, 0, 0},
        {"80 MHz with segment 1", 5180, 36, 1, 1, 1, 42, 155, 0, -1, 0, 0, 0},
        {"80 MHz, channel 44 in segment 42", 5220, 44, 1, 1, 1, 42, 0, 0, 0, 5210, 0, 80},
        {"80 MHz, channel 50 outside segment 42", 5250, 50, 1, 1, 1, 42, 0, 0, -1, 0, 0, 0},
        {"160 MHz without capability", 5180, 36, 1, 1, 2, 50, 0, 0, -1, 0, 0, 0},
        {"160 MHz", 5180, 36, 1, 1, 2, 50, 0, 0x4, 0, 5250, 0, 160},
        {"160 MHz with the channel outside", 5180, 36, 1, 1, 2, 60, 0, 0x4, -1, 0, 0, 0},
        {"80+80 without capability", 5180, 36, 1, 1, 3, 42, 155, 0x4, -1, 0, 0, 0},
        {"80+80", 5180, 36, 1, 1, 3, 42, 155, 0x8, 0, 5210, 5775, 80},
        {"80+80 with adjacent segments", 5180, 36, 1, 1, 3, 42, 46, 0x8, -1, 0, 0, 0},
        {"80+80 without segment 1", 5180, 36, 1, 1, 3, 42, 0, 0x8, -1, 0, 0, 0},
        {"unknown width keeps 20/40", 5180, 36, 1, 1, 7, 0, 0, 0, 0, 5190, 0, 40},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        hw_freq_params p;
        EXPECT_EQ(c.result, hw_set_freq_params(&p, HW_MODE_IEEE80211A, c.freq, c.channel, 1, c.vht, c.sec,
                                               c.width, c.seg0, c.seg1, c.caps));
        if (c.result == 0) {
            EXPECT_EQ(c.cf1, p.center_freq1);
            EXPECT_EQ(c.cf2, p.center_freq2);
            EXPECT_EQ(c.bandwidth, p.bandwidth);
            EXPECT_EQ(c.freq, p.freq);
            EXPECT_EQ(c.channel, p.channel);
            EXPECT_EQ(c.sec, p.sec_channel_offset);
        }
    }
}

struct ResFree {
    void operator()(wpa_scan_res *r) const { free(r); }
};
using ResPtr = std::unique_ptr<wpa_scan_res, ResFree>;

// A scan result on freq whose elements carry an HT Operation element (when htOp1 >= 0)
// with primary channel pri and second byte htOp1.
ResPtr scanRes(int freq, int pri, int htOp1) {
    Bytes ies = elem(0, bytes("n"));
    if (htOp1 >= 0) {
        Bytes op(22, 0);
        op[0] = static_cast<uint8_t>(pri);
        op[1] = static_cast<uint8_t>(htOp1);
        ies = cat({ies, elem(61, op)});
    }
    auto *r = static_cast<wpa_scan_res *>(calloc(1, sizeof(wpa_scan_res) + ies.size()));
    r->freq = freq;
    r->ie_len = ies.size();
    memcpy(r + 1, ies.data(), ies.size());
    return ResPtr(r);
}

TEST(WirelessFreq, NeighbourPrimaryAndSecondary) {
    struct Case {
        int htOp1, pri, sec;
    };
    for (const Case c :
         {Case{0x05, 36, 40}, Case{0x07, 36, 32}, Case{0x01, 36, 0}, Case{0x06, 36, 0}, Case{-1, 0, 0}}) {
        ResPtr r = scanRes(5180, 36, c.htOp1);
        int pri = -1, sec = -1;
        bss_get_pri_sec_chan(r.get(), &pri, &sec);
        EXPECT_EQ(c.pri, pri) << c.htOp1;
        EXPECT_EQ(c.sec, sec) << c.htOp1;
    }
}

TEST(WirelessFreq, FortyMhzNeighbourCheck) {
    hw_mode_info m = mode5();
    auto check = [&](std::vector<ResPtr> &list, int pri, int sec) {
        std::vector<wpa_scan_res *> ptrs;
        for (ResPtr &r : list)
            ptrs.push_back(r.get());
        wpa_scan_results res{ptrs.data(), ptrs.size(), 0, 0};
        return check_40mhz_pair(&m, &res, pri, sec);
    };
    std::vector<ResPtr> none;
    EXPECT_EQ(1, check(none, 36, 40));
    EXPECT_EQ(0, check(none, 36, 36));
    EXPECT_EQ(0, check(none, 0, 40));
    wpa_scan_results empty{nullptr, 0, 0, 0};
    EXPECT_EQ(0, check_40mhz_pair(nullptr, &empty, 36, 40));

    // Someone on our secondary, nobody on our primary: swap.
    std::vector<ResPtr> onSecondary;
    onSecondary.push_back(scanRes(5200, 40, -1));
    EXPECT_EQ(2, check(onSecondary, 36, 40));

    // A neighbour with the same pair: keep.
    std::vector<ResPtr> same;
    same.push_back(scanRes(5180, 36, 0x05));
    same.push_back(scanRes(5200, 40, -1));
    EXPECT_EQ(1, check(same, 36, 40));

    // Neighbours on both, one of them using the pair the other way round: swap.
    std::vector<ResPtr> reversed;
    reversed.push_back(scanRes(5180, 36, -1));
    reversed.push_back(scanRes(5200, 40, 0x07));
    EXPECT_EQ(2, check(reversed, 36, 40));
}

TEST(WirelessFreq, WidthAndDriverFlagNames) {
    const char *widths[] = {"20 MHz (no HT)", "20 MHz", "40 MHz", "80 MHz", "80+80 MHz", "160 MHz"};
    for (int i = 0; i < 6; i++)
        EXPECT_STREQ(widths[i], channel_width_to_string(i));
    EXPECT_STREQ("unknown", channel_width_to_string(6));
    EXPECT_STREQ("unknown", channel_width_to_string(-1));

    struct Case {
        uint64_t flag;
        const char *name;
    };
    for (const Case c : {Case{1, "DRIVER_IE"}, Case{1ull << 4, "WIRED"}, Case{1ull << 31, "AP_CSA"},
                         Case{1ull << 32, "MESH"}, Case{1ull << 41, "P2P_LISTEN_OFFLOAD"},
                         Case{1ull << 42, "UNKNOWN"}, Case{3, "UNKNOWN"}, Case{0, "UNKNOWN"}})
        EXPECT_STREQ(c.name, driver_flag_to_string(c.flag));
}

TEST(WirelessParsers, WmmAccessCategoryParameters) {
    struct Case {
        const char *name;
        const char *value;
        int result;
    };
    const Case cases[] = {
        {"wmm_ac_be_aifs", "3", 0},
        {"wmm_ac_be_aifs", "0", -1},
        {"wmm_ac_bk_cwmin", "15", 0},
        {"wmm_ac_bk_cwmin", "16", -1},
        {"wmm_ac_vi_cwmax", "7", 0},
        {"wmm_ac_vi_txop_limit", "65535", 0},
        {"wmm_ac_vi_txop_limit", "65536", -1},
        {"wmm_ac_vo_acm", "1", 0},
        {"wmm_ac_vo_acm", "2", -1},
        {"wmm_ac_xx_aifs", "3", -1},
        {"wmm_ac_be_foo", "1", -1},
        {"wmm_ac_be_aifs", "3x", -1},
        {"wmm_ac_be_aifs", "", -1},
        {"wmm_be_aifs", "3", -1},
        {"wmm_ac_be_aifs", nullptr, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + (c.value ? c.value : "(null)"));
        wmm_ac_params ac[4];
        memset(ac, 0x11, sizeof(ac));
        wmm_ac_params before[4];
        memcpy(before, ac, sizeof(ac));
        EXPECT_EQ(c.result, apd_config_wmm_ac(ac, c.name, c.value));
        if (c.result != 0) {
            EXPECT_EQ(0, memcmp(before, ac, sizeof(ac))) << "a refused value was stored";
        }
    }
    wmm_ac_params ac[4] = {};
    ASSERT_EQ(0, apd_config_wmm_ac(ac, "wmm_ac_vo_acm", "1"));
    ASSERT_EQ(0, apd_config_wmm_ac(ac, "wmm_ac_bk_aifs", "7"));
    ASSERT_EQ(0, apd_config_wmm_ac(ac, "wmm_ac_vi_txop_limit", "94"));
    EXPECT_EQ(1, ac[3].admission_control_mandatory);
    EXPECT_EQ(7, ac[1].aifs);
    EXPECT_EQ(94, ac[2].txop_limit);
}

TEST(WirelessParsers, WakeOnWlanTriggers) {
    wowlan_triggers capa{};
    capa.any = capa.disconnect = capa.gtk_rekey_failure = capa.eap_identity_req = capa.four_way_handshake =
        capa.rfkill_release = 1; // no magic packets
    struct Case {
        const char *text;
        bool ok;
    };
    for (const Case c :
         {Case{"disconnect magic_pkt", false}, Case{"bogus", false}, Case{"disconnectx", false},
          Case{"disconnect", true}, Case{"  any \t four_way_handshake ", true}, Case{"", true}}) {
        SCOPED_TRACE(c.text);
        wowlan_triggers *t = parse_wowlan_triggers(c.text, &capa);
        EXPECT_EQ(c.ok, t != nullptr);
        free(t);
    }
    wowlan_triggers *t =
        parse_wowlan_triggers("any rfkill_release eap_identity_req gtk_rekey_failure", &capa);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(1, t->any);
    EXPECT_EQ(1, t->rfkill_release);
    EXPECT_EQ(1, t->eap_identity_req);
    EXPECT_EQ(1, t->gtk_rekey_failure);
    EXPECT_EQ(0, t->disconnect);
    EXPECT_EQ(0, t->magic_pkt);
    EXPECT_EQ(0, t->four_way_handshake);
    free(t);
}

} // namespace
