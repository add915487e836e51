// nlsim's model: the radios, their interfaces, the regulatory domain, the scripted
// access points in the air, and the nl80211 requests that act on them. The model
// does no I/O itself: what it sends and the network interfaces it needs go through
// the Links hooks, so the fuzz target drives it without sockets or devices.
#pragma once

#include "sim/nlsim/air.h"
#include "sim/nlsim/nlmsg.h"
#include "sim/nlsim/scan.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace nlsim {

enum Group { GroupConfig, GroupScan, GroupRegulatory, GroupMlme, GroupVendor, GroupCount };
extern const char *const groupNames[GroupCount];

struct Channel {
    uint32_t freq = 0;
    bool disabled = false, noIr = false, radar = false;
    uint32_t maxPower = 2000; // mBm
    bool regDisabled = false, regRadar = false, regNoIr = false;
    uint32_t regPower = 2000;
    int8_t noise = -95; // dBm, as the survey dump reports it
};

struct Band {
    int id = 0; // NL80211_BAND_2GHZ, _5GHZ
    std::vector<Channel> channels;
    std::vector<uint32_t> rates; // 100 kbit/s
    bool ht = false, vht = false;
    uint16_t htCapa = 0;
    uint32_t vhtCapa = 0;
};

struct Radio {
    uint32_t index = 0;
    std::string name = "phy0";
    std::string netdev = "wlan0";
    uint8_t addr[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
    std::vector<Band> bands;
    std::vector<uint32_t> iftypes;
    std::vector<uint32_t> commands;
    std::vector<uint32_t> ciphers;
    std::vector<uint32_t> refused; // commands answered -95 though otherwise traced
    uint32_t features = 0;
    std::vector<uint8_t> extFeatures;
    std::vector<uint8_t> extCapa, extCapaMask;
    bool split = true;
    uint8_t maxScanSsids = 4;
    uint32_t generation = 1;
    bool scanEvents = true;
    uint64_t scanMs = 150;        // how long a scan stays on the air
    uint64_t bssExpireMs = 30000; // a dumped entry unseen this long is dropped
    SchedLimits sched;            // scheduled scans: none unless configured
};

struct RegRule {
    uint32_t startKhz = 0, endKhz = 0, bwKhz = 0, eirp = 2000; // eirp in mBm
    uint32_t flags = 0;                                        // NL80211_RRF_*
};

struct RegDomain {
    std::string alpha2;
    uint8_t dfsRegion = 0;
    std::vector<RegRule> rules;
};

struct Key {
    uint32_t cipher = 0;
    std::vector<uint8_t> data;
    std::vector<uint8_t> seq;
    int idx = 0;
    bool pairwise = false;
    uint8_t mac[6] = {};
};

struct Registration {
    uint32_t port = 0;
    uint64_t ident = 0;
    uint16_t frameType = 0;
    std::vector<uint8_t> match;
    uint32_t iftype = 0; // the type it was made under: it sleeps under another
};

struct Bss {
    uint8_t bssid[6] = {};
    std::string ssid;
    uint32_t freq = 0;
    std::vector<uint8_t> ies, beaconIes;
    int32_t signal = 0;
    uint64_t tsf = 0;
    uint64_t seenMs = 0;
    uint16_t capability = 0, beaconInterval = 100;
};

struct Ap {
    std::string name;
    uint8_t bssid[6] = {};
    std::string ssid;
    uint32_t freq = 2412;
    int32_t signal = -4500; // mBm
    std::vector<uint8_t> ies, presp;
    bool hasPresp = false;
    uint16_t authStatus = 0, assocStatus = 0;
    bool silent = false;
    uint8_t hidden = 0;      // beacons without the SSID: 1 empty, 2 as many zero bytes
    int32_t capability = -1; // capability information; -1: ESS, privacy with an RSN or WPA element
    std::string netns, tap;
    int tapFd = -1;
    uint64_t bornMs = 0;
    AirAp air;
};

enum class Link { Idle, Authenticating, Authenticated, Associating, Associated };

struct Iface {
    uint32_t ifindex = 0;
    std::string name;
    uint64_t wdev = 0;
    uint32_t radio = 0;
    uint32_t type = 2; // NL80211_IFTYPE_STATION
    uint8_t mac[6] = {};
    int tapFd = -1;
    uint32_t ownerPort = 0;
    uint64_t ownerIdent = 0;

    bool scanning = false;
    uint32_t scanPort = 0;
    uint64_t scanIdent = 0;
    uint64_t scanDue = 0;
    std::vector<std::string> scanSsids;
    std::vector<uint32_t> scanFreqs;
    std::vector<Bss> bss;
    ScanExtra scan; // flush, scheduled scan, link-quality monitor

    Link link = Link::Idle;
    bool viaConnect = false;
    uint8_t bssid[6] = {};
    std::string ap;
    uint32_t freq = 0;
    std::string ssid;
    int tries = 0;
    uint16_t authAlg = 0; // 802.11 authentication algorithm number
    uint64_t due = 0;
    bool controlPort = false, authorized = false;
    uint64_t connectedMs = 0;
    std::vector<uint8_t> reqIe, respIe;
    uint64_t lostSince = 0; // when the associated AP fell silent or went away
    std::vector<Key> keys;
    std::vector<Registration> regs;
    uint64_t rxBytes = 0, txBytes = 0, rxPackets = 0, txPackets = 0;
    AirIface air;
};

// The attributes that name an interface in an event: its radio, index and wireless device.
void putIfaceIds(Builder &b, const Iface &i);

// What the model needs from the outside world.
struct Links {
    // Sends one finished message to a port, or to a multicast group id.
    std::function<void(uint32_t port, const std::vector<uint8_t> &msg)> unicast;
    std::function<void(uint32_t group, const std::vector<uint8_t> &msg)> multicast;
    // Creates a network interface for a new nl80211 interface: a TAP (link type 803 for
    // a monitor); its descriptor and index, or a negative errno.
    std::function<int(const std::string &name, const uint8_t mac[6], bool monitor, int &fd,
                      uint32_t &ifindex)>
        create;
    std::function<void(int fd)> destroy;
    std::function<bool(const std::string &name)> isUp;
    // The interface's current hardware address (the station may change it); false when
    // it cannot be read.
    std::function<bool(const std::string &name, uint8_t mac[6])> hwAddr;
    std::function<void(int fd, bool on)> carrier;
    // A scripted AP's TAP in a test namespace; its descriptor or a negative errno.
    std::function<int(const Ap &ap)> apTap;
    // The identity (sock_diag cookie) of the socket on a port; 0 when none is open.
    std::function<uint64_t(uint32_t port)> identity;
    // Port -> identity of every open generic-netlink socket.
    std::function<std::map<uint32_t, uint64_t>()> liveSockets;
    std::function<uint64_t()> nowMs;
    std::function<void(const std::string &line)> trace;
    std::function<void(Iface &)> linkChanged; // association state moved (the wireless file)
};

class Sim {
public:
    explicit Sim(Links links);

    // Reads the configuration text; an error text on failure.
    std::string configure(const std::string &text);
    // Creates the radios' interfaces; an error text on failure.
    std::string start();
    void stop();

    uint16_t familyId = 0x30;
    uint32_t groupIds[GroupCount] = {32, 31, 30, 29, 28};

    // One datagram from a port.
    void receive(uint32_t port, const uint8_t *p, size_t len);
    // One control line; the answer lines and "OK" or "ERR reason".
    std::string control(const std::string &line);
    // Due work (scans, authentication steps, lost APs, dead sockets); the next due
    // time in ms (0 none).
    uint64_t tick();

    // Data frames: from an interface's TAP, and from an AP's TAP.
    void fromIface(int fd, const uint8_t *p, size_t len);
    void fromAp(int fd, const uint8_t *p, size_t len);
    std::function<void(int fd, const uint8_t *p, size_t len)> writeFrame;

    std::vector<Radio> radios;
    std::vector<Iface> ifaces;
    std::vector<Ap> aps;
    std::map<std::string, RegDomain> domains;
    std::string country = "00";
    uint32_t port = 0; // our own netlink port, for the state dump

private:
    struct Reply {
        std::vector<std::vector<uint8_t>> msgs;
    };
    int dispatch(const Request &r, uint32_t port, std::vector<Builder> &out, bool &dump);
    int ctrlFamily(const Request &r, uint32_t port, std::vector<Builder> &out, bool dump);
    Builder msg(uint8_t cmd, const Request *r, uint32_t port, uint16_t flags = 0);
    void event(Group g, Builder &b);
    void eventTo(uint32_t port, Builder &b);

    Radio *radioOf(const Attrs &a, Iface **iface, int &err);
    Iface *ifaceOf(const Attrs &a, int &err);
    Iface *byIndex(uint32_t ifindex);
    Ap *apByBssid(const uint8_t *bssid);
    Ap *apByName(const std::string &name);
    Channel *channel(Radio &r, uint32_t freq);
    void applyReg();

    void wiphyMessages(Radio &r, const Request *req, uint32_t port, bool split, std::vector<Builder> &out,
                       uint16_t flags);
    void putIface(Builder &b, Iface &i);
    void putBss(Builder &b, Iface &i, Bss &s);
    void putReg(Builder &b);
    std::vector<uint8_t> beaconIes(const Ap &ap) const;
    std::vector<uint8_t> mgmtFrame(uint16_t fc, const uint8_t *da, const uint8_t *sa,
                                   const uint8_t *bssid) const;

    int cmdInterface(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out, bool dump);
    int cmdScan(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out, bool dump);
    // The SSIDs (at most maxSsids) and frequencies a scan request names, every enabled
    // channel when it names none, and its element bound; 0 or -EINVAL.
    int scanTargets(const Attrs &a, Radio &rad, size_t maxSsids, std::vector<std::string> &ssids,
                    std::vector<uint32_t> &freqs);
    int cmdMlme(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out);
    int cmdKey(const Request &r, uint8_t cmd, std::vector<Builder> &out, uint32_t port);
    int cmdStation(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out, bool dump);
    int cmdFrame(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out);
    int cmdReg(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out);

    void finishScan(Iface &i, bool aborted);
    void stepLink(Iface &i);
    void linkUp(Iface &i, Ap &ap);
    void linkDown(Iface &i, uint16_t reason, bool byAp, bool deauthFrame, uint8_t subtype);
    void mlmeEvent(Iface &i, uint8_t cmd, const std::vector<uint8_t> &frame);
    void timedOut(Iface &i, uint8_t cmd);
    void deliverFrame(Iface &i, const std::vector<uint8_t> &frame, uint32_t freq, int32_t signalDbm);
    void toMonitors(const Iface &i, const std::vector<uint8_t> &frame, int32_t signalDbm);
    void fromMonitor(Iface &mon, const uint8_t *p, size_t len);
    void reapSockets();
    void forget(uint32_t port, uint64_t ident);
    std::string apCommand(const std::vector<std::string> &w, std::string &out);
    std::string eventCommand(const std::vector<std::string> &w, bool raw);
    std::string state();

    // The test bed's side of the air (air.cpp): statuses per algorithm, the station's
    // own address, station news (authentication, association, action frames, link ends),
    // the AP's keys, the key trace and the data path's key checks.
    uint16_t authStatusFor(const Ap &ap, uint16_t alg) const;
    std::string airAuthStatus(const std::string &v, Ap &ap);
    void airNoteAssoc(Iface &i, const Attrs &a);
    void airOwnAddr(Iface &i);
    void airAuthHeard(Iface &i, const Ap &ap);
    void airFrameSent(Iface &i, const uint8_t *frame, size_t len, uint32_t freq);
    void airAssocHeard(Iface &i, const Ap &ap);
    void airLinkDown(Iface &i, uint16_t reason, bool byAp, uint8_t subtype);
    void airKeyTrace(const Request &r, int err);
    bool airPasses(const Iface &i, const Ap &ap, const uint8_t *p, size_t len, bool toStation) const;
    std::string airApCommand(const std::vector<std::string> &w, Ap &ap);
    std::string airControl(const std::vector<std::string> &w, std::string &out);
    AirLog news_, keyTrace_;

    // Scanning beyond the one-shot trigger (scan.cpp): the trigger trace, the flush,
    // scheduled scans, the link-quality monitor (CQM) and their control words.
    int cmdSched(const Request &r, uint32_t port, uint8_t cmd);
    int cmdCqm(const Request &r);
    void scanStarted(Iface &i, const Request &r, uint32_t port);
    void scanEnded(Iface &i);
    void schedStop(Iface &i, bool event);
    void schedCycle(Iface &i, uint64_t now);
    void cqmCheck(Iface &i);
    void tickScan(Iface &i, uint64_t now, uint64_t &next);
    void traceLine(const std::string &line);
    bool scanConfigure(Radio &r, const std::vector<std::string> &w, std::string &why);
    bool scanSetting(Radio &r, const std::string &word);
    bool scanControl(const std::vector<std::string> &w, std::string &out, std::string &err);
    void putSchedLimits(Builder &b, const Radio &r);
    std::vector<std::string> scanTrace_; // the last requests to scan, oldest first
    uint64_t scanTraceSeq_ = 0;

    Links links_;
    uint64_t nextReap_ = 0;
    uint64_t cookie_ = 1;
    std::map<uint32_t, std::pair<int, int>> injected_; // command -> (errno, count)
    std::map<uint32_t, uint64_t> known_;               // ports seen -> identity
    // Multicasts that follow a request's answer (TX status).
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> after_;
};

// Command and attribute names of nl80211 for control lines and traces.
int commandByName(const std::string &name);
std::string commandName(int cmd);

} // namespace nlsim
