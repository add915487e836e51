// The pure parts of the settings, monitoring and download pages: the Wi-Fi signal
// classes, the "now" parser, the relay event order, the status texts and the download
// table.

#include "net/wifi.h"
#include "notify/relay.h"
#include "web/pages_moni.h"
#include "web/pages_net.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(PagesSettings, WifiSignalClassBoundaries) {
    struct Case {
        int level, expected;
    } cases[] = {{0, 1},   {-44, 1}, {-45, 8}, {-64, 8}, {-65, 6}, {-74, 6},
                 {-75, 4}, {-84, 4}, {-85, 2}, {-89, 2}, {-90, 0}, {-200, 0}};
    for (const Case &k : cases)
        EXPECT_EQ(wifiSignalClass(k.level), k.expected) << k.level;
}

TEST(PagesSettings, WifiScanRowsByModeWithEscapedNames) {
    struct Case {
        const char *ssid, *flags;
        int freq, channel, level;
        const char *expected;
    } cases[] = {
        {"Cafe", "[WPA2-PSK-CCMP][ESS]", 2437, 6, -50,
         "<tr><td><span class=\"wfl l8 tab\"></span></td>\n<td id=\"WN3\">Cafe</td>"
         "<td id=\"WE3\">[WPA2-PSK-CCMP][ESS]</td><td id=\"WB3\"> 2.4GHz </td><td id=\"WF3\">[  6 / "
         "2437]</td>"
         "<td id=\"WI3\">Infrastructure</td>\n<td><a class=\"btn tab\" href=\"javascript:trans(3)\" "
         "onfocus=\"this.blur();\"> <span class=\"ic fwd\"></span>take</a></td></tr>\n"},
        // A name and flags with markup show as text; an empty name as the unknown text.
        {"<b>\"x\"&'", "[<i>]", 5180, 36, -90,
         "<tr><td><span class=\"wfl l0 tab\"></span></td>\n<td "
         "id=\"WN3\">&lt;b&gt;&quot;x&quot;&amp;&#39;</td>"
         "<td id=\"WE3\">[&lt;i&gt;]</td><td id=\"WB3\"> 5GHz </td><td id=\"WF3\">[ 36 / 5180]</td>"
         "<td id=\"WI3\">Infrastructure</td>\n<td><a class=\"btn tab\" href=\"javascript:trans(3)\" "
         "onfocus=\"this.blur();\"> <span class=\"ic fwd\"></span>take</a></td></tr>\n"},
        {"", "", 4699, 0, -44,
         "<tr><td><span class=\"wfl l1 tab\"></span></td>\n<td id=\"WN3\">?&lt;?</td><td id=\"WE3\"></td>"
         "<td id=\"WB3\"> 2.4GHz </td><td id=\"WF3\">[  0 / 4699]</td><td id=\"WI3\">Infrastructure</td>\n"
         "<td><a class=\"btn tab\" href=\"javascript:trans(3)\" onfocus=\"this.blur();\"> "
         "<span class=\"ic fwd\"></span>take</a></td></tr>\n"},
        // Ad-hoc rows have no link; a P2P group owner is a soft access point.
        {"Adhoc", "[IBSS]", 2412, 1, -70,
         "<tr><td><span class=\"wfl l6 tab\"></span></td>\n<td id=\"WN3\">Adhoc</td><td "
         "id=\"WE3\">[IBSS]</td>"
         "<td id=\"WB3\"> 2.4GHz </td><td id=\"WF3\">[  1 / 2412]</td><td id=\"WI3\">AdHoc </td>\n"
         "<td></td></tr>\n"},
        {"DIRECT-ab", "[WPA2-PSK-CCMP][ESS][P2P]", 4700, 0, -85,
         "<tr><td><span class=\"wfl l2 tab\"></span></td>\n<td id=\"WN3\">DIRECT-ab</td>"
         "<td id=\"WE3\">[WPA2-PSK-CCMP][ESS][P2P]</td><td id=\"WB3\"> 5GHz </td><td id=\"WF3\">[  0 / "
         "4700]</td>"
         "<td id=\"WI3\">SoftAP </td>\n<td><a class=\"btn tab\" href=\"javascript:trans(3)\" "
         "onfocus=\"this.blur();\"> <span class=\"ic fwd\"></span>take</a></td></tr>\n"},
    };
    for (const Case &k : cases) {
        WlanBss bss;
        bss.ssid = k.ssid;
        bss.flags = k.flags;
        bss.freq = k.freq;
        bss.channel = k.channel;
        bss.level = k.level;
        std::string row;
        appendWifiScanRow(row, 3, bss, "?<?", "take");
        EXPECT_EQ(row, k.expected) << k.ssid;
    }
}

TEST(PagesSettings, NowParserTakesOnlyWholeValidTimes) {
    struct Case {
        const char *text;
        bool ok;
    } cases[] = {
        {"2031-05-06 07:08:09", true},   {"2031-05-06 07:08:09  ", true}, {"2024-02-29 23:59:59", true},
        {"1970-01-01 00:00:00", true},   {"2023-02-29 00:00:00", false},  {"2031-02-30 07:08:09", false},
        {"2031-04-31 07:08:09", false},  {"2031-13-01 07:08:09", false},  {"2031-00-01 07:08:09", false},
        {"2031-05-06 24:00:00", false},  {"2031-05-06 07:60:00", false},  {"2031-05-06 07:08:60", false},
        {"2031-5-6 7:8:9", false},       {"2031-05-06T07:08:09", false},  {"2031-05-06 07:08:09x", false},
        {" 2031-05-06 07:08:09", false}, {"1969-12-31 23:59:59", false},  {"", false},
        {"+031-05-06 07:08:09", false},  {"2031-05-06 07:08", false},
    };
    for (const Case &k : cases) {
        struct tm t {};
        EXPECT_EQ(parseNowText(k.text, std::strlen(k.text), t), k.ok) << k.text;
    }
    struct tm t {};
    ASSERT_TRUE(parseNowText("2031-05-06 07:08:09", 19, t));
    EXPECT_EQ(t.tm_year, 131);
    EXPECT_EQ(t.tm_mon, 4);
    EXPECT_EQ(t.tm_mday, 6);
    EXPECT_EQ(t.tm_hour, 7);
    EXPECT_EQ(t.tm_min, 8);
    EXPECT_EQ(t.tm_sec, 9);
    // The length bounds the text: a longer buffer is not read past it.
    EXPECT_FALSE(parseNowText("2031-05-06 07:08:09", 18, t));
}

TEST(PagesSettings, RelayEventsOldestFirstEqualTimesInBitOrder) {
    const DeviceEventEntry table[] = {
        {0x1, 300, "Restart"}, {0x2, 100, "Down"},   {0x4, 100, "Up"},        {0x10, 50, "Power 1"},
        {0x20, 0, "Power 2"},  {0x100, 100, "Card"}, {0x80000000u, 5, "Top"}, {0, 0, nullptr},
    };
    struct Case {
        uint32_t eves;
        std::vector<std::string> names;
    } cases[] = {
        {0, {}},
        {0x1, {"Restart"}},
        {0x1 | 0x2 | 0x4 | 0x100, {"Down", "Up", "Card", "Restart"}},
        {0x100 | 0x4 | 0x2, {"Down", "Up", "Card"}},
        {0x80000000u | 0x10 | 0x20, {"Power 2", "Top", "Power 1"}},
        // A bit without a table entry is left out.
        {0x8 | 0x1, {"Restart"}},
    };
    for (const Case &k : cases) {
        const DeviceEventEntry *found[32];
        int n = collectRelayEvents(k.eves, table, found, 32);
        std::vector<std::string> names;
        for (int i = 0; i < n; i++)
            names.push_back(found[i]->name);
        EXPECT_EQ(names, k.names) << std::hex << k.eves;
    }
    const DeviceEventEntry *two[2];
    EXPECT_EQ(collectRelayEvents(0xff, table, two, 2), 2);
}

TEST(PagesSettings, MonitorAndBackupTexts) {
    EXPECT_EQ(dailyBackupText(false, 7), "Off");
    EXPECT_EQ(dailyBackupText(true, 7), "On (7 h)");
    EXPECT_EQ(dailyBackupText(true, 0), "On (0 h)");

    struct Smtp {
        bool server, auth, su, sp, pu, pp, ok;
    } smtp[] = {
        {false, false, true, true, true, true, false},   {false, true, true, true, true, true, false},
        {true, false, false, false, false, false, true}, {true, true, false, false, false, false, false},
        {true, true, true, false, false, false, false},  {true, true, true, true, false, false, true},
        {true, true, false, false, true, true, true},    {true, true, true, false, false, true, false},
    };
    for (const Smtp &k : smtp)
        EXPECT_EQ(smtpUsable(k.server, k.auth, k.su, k.sp, k.pu, k.pp), k.ok)
            << k.server << k.auth << k.su << k.sp << k.pu << k.pp;

    EXPECT_EQ(slotMountText(1000000, 0), "no");
    EXPECT_EQ(slotMountText(0, 0), "no");
    // Megabytes rounded with 521 KiB.
    EXPECT_EQ(slotMountText(2048, 1024), "yes (1/2 MB free)");
    EXPECT_EQ(slotMountText(3072, 503), "yes (1/3 MB free)");
    EXPECT_EQ(slotMountText(3072, 502), "yes (0/3 MB free)");
}

TEST(PagesSettings, DownloadRows) {
    struct Case {
        const char *fileName;
        const char *file;
        const char *download;
    } cases[] = {
        {"parameters.txt", "/etc/params.dat", "parameters.txt"},
        {"parameters", "/etc/params.dat", "parameters.txt"},
        {"hidden.txt", "/etc/params.dat", "hidden.txt"},
        {"sysmon.txt", "/var/moni/sys", "sysmon.txt"},
        {"monilog", "/var/moni/monitor", "monitor.txt"},
        {"cert_req.pem", "/etc/certs/cert_req.pem", "certreq.csr"},
        {"cert_self.pem", "/etc/certs/cert_srv.pem", "certssc.crt"},
        {"cert_forg.pem", "/etc/certs/cert_fsrv.pem", "certca.pem"},
        {"workload.bmp", "/tmp/workload.bmp", "workload.bmp"},
        {"", nullptr, nullptr},
        {"param", nullptr, nullptr},
        {"cert_req", nullptr, nullptr},
        {"index.html", nullptr, nullptr},
    };
    for (const Case &k : cases) {
        const FileStreamRow *row = findFileStreamRow(k.fileName);
        if (k.file == nullptr) {
            EXPECT_EQ(row, nullptr) << k.fileName;
            continue;
        }
        ASSERT_NE(row, nullptr) << k.fileName;
        EXPECT_STREQ(row->file, k.file);
        EXPECT_STREQ(row->downloadName, k.download);
        EXPECT_NE(row->writer, nullptr);
    }
    EXPECT_EQ(findFileStreamRow(nullptr), nullptr);
    int rows = 0;
    for (const FileStreamRow *r = fileStreamTable(); r->urlTail; r++)
        rows++;
    EXPECT_EQ(rows, 8);
}
