// NetInterface: the one place where the daemon touches the kernel's view of a network
// interface: flags, IPv4 address and netmask, routes, hardware address, multicast
// memberships, 802.1Q VLAN sub-interfaces and aliases, the ARP behaviour, the link state
// of the Ethernet PHY, and (net/ipv6.cpp) the IPv6 configuration. Two objects live for
// the whole run: the wired one ("eth0") and the wireless one ("wlan0").
#pragma once

#include "core/address.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

// The configuration applied for one IP VLAN (IP VLAN i+1 lives in entry i).
struct VlanEntry {
    InetAddress address; // IPv4 or IPv6 address of the sub-interface
    int prefix = -1;     // prefix length; -1 marks the entry as unused
    InetAddress router;  // router of the sub-interface
    int vlanId = 0;      // 0..4096: tagged sub-interface; negative: untagged alias
    int alias = -1;      // alias number of the sub-interface name, -1 for none
};

constexpr int VlanEntryCount = 21;
// Room of an interface name with its terminator.
constexpr size_t IfNameSize = 16;

// Link flags of NetInterface::getCarrier.
enum : int {
    LinkRightActive = 0x01,  // right-hand port has the active link
    LinkRightStandby = 0x02, // right-hand port has carrier, standby bond member
    LinkLeftActive = 0x10,   // left-hand port has the active link (single-port boards: the link)
    LinkLeftStandby = 0x20,  // left-hand port has carrier, standby bond member
};

class NetInterface {
public:
    NetInterface() = default;
    NetInterface(const NetInterface &) = delete;
    NetInterface &operator=(const NetInterface &) = delete;
    // Closes the control socket.
    ~NetInterface();

    // The base interface name (at most 15 characters are kept); "" until set.
    void setName(const char *name);
    const char *name() const { return name_; }
    int controlSocket() const { return controlSocket_; }

    // Opens the AF_INET datagram socket of the interface ioctls.
    bool openSocket();

    // Operations taking an optional interface name use the base name for null.
    bool getFlags(uint16_t &flags, const char *ifname = nullptr);
    bool setFlags(uint16_t flags, const char *ifname = nullptr);
    bool isUp(const char *ifname = nullptr, bool alsoRunning = false);
    bool isRunning();
    // Writes "1" to /proc/sys/net/ipv4/conf/<confName>/arp_ignore; 0 (the result of
    // close) on success, else the failing open or write result.
    static int setArpIgnore(const char *confName);
    // arp_ignore 1 for "all" and "default", then UP, BROADCAST, RUNNING, MULTICAST.
    bool up(const char *ifname = nullptr);
    bool down(const char *ifname = nullptr);
    // Cycles the base interface down and up and puts its IPv4 and IPv6 configuration back.
    bool restart();

    // 802.1Q sub-interface of the base interface; false for ids above 4096.
    bool addVlan(int vlanId);
    bool deleteVlan(const char *subName);
    // The sub-interface name of vlanId and alias into buffer (IfNameSize bytes); length.
    int makeName(char *buffer, int vlanId, int alias) const;
    // Configures IP VLAN index (0..n, n = the product's "usb_ports_phy", at most 20):
    // the first entry of a VLAN id owns the VLAN device "<name>.<id>", further entries
    // of the id and untagged entries take the lowest free alias number. False when the
    // entry already holds these values or nothing could be made. A default route goes
    // through the sub-interface only when a router is given.
    bool setupVlan(int index, const InetAddress &address, int prefix, const InetAddress &router, int vlanId);
    // Takes the entry's sub-interface away; removing a VLAN device frees the entries of
    // its aliases too (their addresses went with it), so the next set-up puts them back.
    // False for an unused entry.
    bool removeVlan(int index);
    bool removeAllVlans();
    // A copy of entry index (an unused entry for an index outside the table).
    VlanEntry entry(int index);

    // The address of the base interface (vlan < 0) or of "<name>.<vlan>". An address
    // preset to family 10 asks for the IPv6 address. True when the address read is set;
    // on failure the address keeps its value.
    bool getAddress(InetAddress &address, int vlan = -1);
    // Sets the IPv4 address; true when the interface now has it. Posts the
    // address-changed message when the interface had another address before.
    bool setAddress(const InetAddress &address, const char *ifname = nullptr);
    // Sets the netmask of prefix 0..32 and stores it in "ip_mask".
    bool setNetmask(int prefix, const char *ifname = nullptr);
    bool getMacAddress(uint8_t mac[6]);
    // Joins the link-layer multicast address of an IPv4 group on the base interface
    // (vlan < 0) or on "<name>.<vlan>".
    bool addMulticast(const InetAddress &group, int vlan = -1);
    // IPv4 values in network order; device null = the base name. Routes on a
    // sub-interface (a name with '.' or ':') get metric 5.
    bool addRoute(uint32_t destination, uint32_t gateway, uint32_t netmask, const char *device = nullptr);
    bool deleteDefaultRoute(uint32_t gateway);
    // With a link-local IPv4 address: the default route without gateway, "ip_router" 0.
    bool setLinkLocalRoute();

    // Speed (Mbit/s) and duplex from the MII registers of the PHY at phy.
    bool getMiiLink(int phy, int &speed, bool &fullDuplex);
    // True when any link flag is set; the flags (0 when none) through flags.
    bool getCarrier(int *flags = nullptr);
    // speed starts at 1000; true only on product 307 when sysfs reads above 1000.
    bool getLinkSpeed(int &speed);
    // The active bond member, -1 when it cannot be read.
    int bondingActiveSlave();
    // The link text (SSID and band, or speed and duplex, or the operational state) for
    // the link flags mode; the length written, 0 when nothing is known.
    int describeLink(int mode, char *buffer, size_t size);

    // IPv6 (net/ipv6.cpp).
    bool enableIpv6(bool on);
    bool setIpv6Autoconf(bool on, const char *ifname = nullptr);
    // Reads lines of "/proc/net/if_inet6" from stream until an address of the interface
    // of global or site scope; without one the last other address of the interface.
    // The scope id of a link-scope address is the interface index (so the address can
    // be bound), else 0; the kernel's scope value goes to scope when asked.
    bool readInet6(FILE *stream, InetAddress &address, int *prefixLength, const char *ifname = nullptr,
                   int *scope = nullptr);
    bool getIpv6Address(InetAddress &address, const char *ifname = nullptr);
    bool setIpv6Address(bool add, const InetAddress &address, int prefix, const char *ifname = nullptr);
    // The route to the router's prefix (host route for prefix 128) and the default
    // route through the router.
    bool setIpv6Route(bool add, const InetAddress &router, int prefix, const char *ifname = nullptr);

    // Defined with the IP set-up (net/ipsetup.cpp).
    bool sendGratuitousArp(const InetAddress &address);
    int setupIpVlans();

private:
    const char *nameOr(const char *ifname) const { return ifname ? ifname : name_; }
    // One ioctl on the control socket under the interface lock.
    int lockedIoctl(unsigned long request, void *arg);
    // The highest usable entry index.
    static int lastEntryIndex();
    bool readCarrierFile(const char *path);
    bool setupVlanIpv6(const VlanEntry &e, const char *subName);

    int controlSocket_ = -1;
    char name_[IfNameSize] = {};
    std::mutex lock_;
    VlanEntry entries_[VlanEntryCount];
};

// The two objects of the process.
NetInterface &wiredInterface();
NetInterface &wirelessInterface();
// The interface every service binds to: the wired one unless start-up chose Wi-Fi.
NetInterface &mainInterface();
void setMainInterface(NetInterface &iface);

// What the Wi-Fi manager tells the link description: the SSID of the connected network
// and its frequency in MHz and channel (from the supplicant's verbose status). Null
// until the Wi-Fi manager installs it; false when nothing is known.
struct NetifHooks {
    bool (*wifiLink)(char *ssid, size_t size, int *freqMhz, int *channel) = nullptr;
};
NetifHooks &netifHooks();
