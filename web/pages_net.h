// The network, Wi-Fi and device configuration pages: what their handlers add to the
// generic form handler, and the pieces other pages and the tests use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

class HttpConnection;
struct DeviceEventEntry;
struct WlanBss;

// The IPv6 address variables of "/network/ipv6.html" (A6lstA_K... and the route list);
// "/start.html" shows them as well.
void setIpv6Variables(HttpConnection &c);

// The signal class of a Wi-Fi level in dBm (the "wfl lN" classes of the scan table).
int wifiSignalClass(int level);

// Appends row n (1-based) of the Wi-Fi scan table for the network. SSID and flags come
// from any station in range and are HTML-escaped; unknown stands for an empty SSID and
// transfer is the text of the row's link (ad-hoc networks have none).
void appendWifiScanRow(std::string &out, int n, const WlanBss &bss, const char *unknown,
                       const char *transfer);

// Parses the "now" field of the time page: "YYYY-MM-DD HH:MM:SS" (trailing blanks
// allowed), each field in its range. False for anything else; out is the local time
// with tm_isdst -1.
bool parseNowText(const char *text, size_t length, struct tm &out);

// The events of the relay page: for each bit of eves (bit 0 upward) the table entry with
// that bit, sorted by the time of last occurrence, oldest first (equal times keep bit
// order). At most max entries; the number found.
int collectRelayEvents(uint32_t eves, const DeviceEventEntry *table, const DeviceEventEntry **out, int max);

// The remote syslog client's variables ("SysLogNgMsgs", "SysLogNgState", "SysLogNgSAt").
void setSyslogVariables(HttpConnection &c);

// The WebDAV client's state words, named "WebDav" + infix + "State", "SAt", "KoStat",
// "KoAt", "OkAt" and "Retry"; spaced puts " &nbsp; " before the error time and the retry.
void setWebDavVariables(HttpConnection &c, const char *infix, bool spaced);

// The choices of a list parameter for a select element: "Opt_<name>" with the option
// index holds its keyword, "Sel_<name>" marks the current one, "Grp_<name>" a group
// heading, and "Opt_<name>#" the count; the labels come from {-<name>}.
void setChoiceVariables(HttpConnection &c, const char *name);
