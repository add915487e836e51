// NetInterface: the IP VLAN entries and their sub-interfaces "<name>.<vlan>[:<alias>]".
#include "net/netif.h"

#include "core/platform.h"
#include "net/netif_internal.h"
#include "param_catalogue.h"

#include <cstdio>
#include <cstring>
#include <mutex>

int NetInterface::lastEntryIndex() {
    // The product names the entries in use; the table has room for 21.
    uint32_t n = netKernel().product().usbPorts;
    return n > VlanEntryCount - 1 ? VlanEntryCount - 1 : static_cast<int>(n);
}

bool NetInterface::addVlan(int vlanId) {
    if (vlanId < 0 || vlanId > 4096) return false;
    std::lock_guard<std::mutex> guard(lock_);
    return platform().vlanAdd(name_, vlanId) == 0;
}

bool NetInterface::deleteVlan(const char *subName) {
    if (subName == nullptr) return false;
    char device[24] = {};
    std::strncpy(device, subName, sizeof device - 1);
    std::lock_guard<std::mutex> guard(lock_);
    return platform().vlanDel(device) == 0;
}

int NetInterface::makeName(char *buffer, int vlanId, int alias) const {
    // Each append is bounded by the 16-byte name buffer.
    int len = std::snprintf(buffer, IfNameSize, "%.15s", name_);
    if (len < 0) len = 0;
    auto append = [&](const char *format, int value) {
        if (len >= static_cast<int>(IfNameSize) - 1) return;
        int n = std::snprintf(buffer + len, IfNameSize - len, format, value);
        if (n > 0) len = std::min(len + n, static_cast<int>(IfNameSize) - 1);
    };
    if (vlanId >= 0 && vlanId <= 4096) append(".%d", vlanId);
    if (alias >= 0 && alias <= 99) append(":%d", alias);
    return len;
}

VlanEntry NetInterface::entry(int index) {
    std::lock_guard<std::mutex> guard(lock_);
    if (index < 0 || index >= VlanEntryCount) return VlanEntry{};
    return entries_[index];
}

bool NetInterface::setupVlan(int index, const InetAddress &address, int prefix, const InetAddress &router,
                             int vlanId) {
    if (index < 0 || index > lastEntryIndex() || prefix < 0) return false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const VlanEntry &e = entries_[index];
        if (e.prefix == prefix && e.vlanId == vlanId && e.address.equals(address) &&
            (e.router.equals(router) || (!e.router.isSet() && !router.isSet())))
            return false;
    }
    removeVlan(index);

    VlanEntry e;
    char sub[IfNameSize];
    {
        // The first tagged entry of a VLAN id owns the VLAN device; further entries of
        // the id, and untagged ones, take the lowest free alias number. The scan and the
        // store are one step under the lock, so that entries set up at the same time on
        // other threads never take the same alias.
        std::lock_guard<std::mutex> guard(lock_);
        bool ownerExists = false;
        bool used[100] = {};
        for (int i = 0; i < VlanEntryCount; i++) {
            const VlanEntry &other = entries_[i];
            if (i == index || other.prefix < 0 || other.vlanId != vlanId) continue;
            if (other.alias < 0)
                ownerExists = true;
            else if (other.alias < 100)
                used[other.alias] = true;
        }
        int alias = -1;
        if (vlanId < 0 || ownerExists) {
            alias = 0;
            while (alias < 99 && used[alias])
                alias++;
        }
        e.vlanId = vlanId;
        e.alias = alias;
        e.address = address;
        e.prefix = prefix;
        e.router = router;
        entries_[index] = e;
    }
    makeName(sub, e.vlanId, e.alias);

    if (e.vlanId >= 0 && e.alias == -1) {
        if (!addVlan(e.vlanId)) {
            // Nothing was made: leave the entry free so that the next set-up retries.
            std::lock_guard<std::mutex> guard(lock_);
            entries_[index].prefix = -1;
            return false;
        }
        up(sub);
    }

    if (!address.isV6()) {
        bool done = setAddress(address, sub);
        setNetmask(prefix, sub);
        // Without a router the sub-interface reaches its own subnet only: a default
        // route without gateway would send every other destination onto its link.
        if (router.ipv4() != 0) addRoute(0, router.ipv4(), 0, sub);
        return done;
    }
    return setupVlanIpv6(e, sub);
}

bool NetInterface::setupVlanIpv6(const VlanEntry &e, const char *subName) {
    // IPv6 has no alias labels: the address goes onto the device itself.
    char device[IfNameSize];
    std::memcpy(device, subName, IfNameSize);
    if (char *colon = std::strchr(device, ':')) *colon = '\0';
    setIpv6Autoconf(p_ipv6_auto->isOn(), device);
    bool done = setIpv6Address(true, e.address, e.prefix, device);
    if (e.router.isSet()) done = setIpv6Route(true, e.router, e.prefix, device);
    return done;
}

bool NetInterface::removeVlan(int index) {
    if (index < 0 || index > lastEntryIndex()) return false;
    VlanEntry e;
    {
        std::lock_guard<std::mutex> guard(lock_);
        e = entries_[index];
        if (e.prefix < 0) return false;
    }
    char sub[IfNameSize];
    makeName(sub, e.vlanId, e.alias);
    bool ownDevice = e.vlanId >= 0 && e.alias < 0;
    if (e.address.isV6() && !ownDevice) {
        // The address lives on a device that stays: take it (and its routes) away.
        char device[IfNameSize];
        std::memcpy(device, sub, IfNameSize);
        if (char *colon = std::strchr(device, ':')) *colon = '\0';
        if (e.router.isSet()) setIpv6Route(false, e.router, e.prefix, device);
        setIpv6Address(false, e.address, e.prefix, device);
    } else {
        down(sub);
    }
    if (ownDevice) deleteVlan(sub);
    std::lock_guard<std::mutex> guard(lock_);
    entries_[index].prefix = -1;
    // The aliases of a VLAN device went with it: their entries are free again, so
    // that the next set-up puts them back.
    if (ownDevice)
        for (VlanEntry &other : entries_)
            if (other.prefix >= 0 && other.vlanId == e.vlanId) other.prefix = -1;
    return true;
}

bool NetInterface::removeAllVlans() {
    bool result = false;
    for (int i = 0; i <= lastEntryIndex(); i++)
        result = removeVlan(i);
    return result;
}
