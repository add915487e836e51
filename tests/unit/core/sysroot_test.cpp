#include "core/sysroot.h"

#include <gtest/gtest.h>

// QMR_ROOT is read once per process; the test binary runs without it, so the
// mapping is exercised through isHostView and the unprefixed result.
TEST(SysPath, KernelViewsOfTheProcessAndNamespaceStayHostPaths) {
    struct Case {
        const char *path;
        bool host;
    } cases[] = {
        {"/proc/self/stat", true},
        {"/proc/1234/task", true},
        {"/proc/stat", true},
        {"/proc/meminfo", true},
        {"/proc/loadavg", true},
        {"/proc/net/dev", true},
        {"/proc/sys/net/ipv6/conf", true},
        {"/sys/class/net/eth0", true},
        {"/proc/net/wireless", false},
        {"/proc/product_params", false},
        {"/proc/sys/vm/dirty_expire_centisecs", false},
        {"/etc/params.dat", false},
        {"/var/moni", false},
        {"/dev/gpio", false},
        {"/dev/urandom", true},
        {"/dev/urandomx", false},
        {"/sys/bus/usb/devices", false},
        {"/sys/class/hwmon/hwmon0", false},
        {"/procfoo", false},
        {"/proc/statx", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(isHostView(c.path), c.host) << c.path;
}

TEST(SysPath, WithoutRootPathsAreUnchanged) {
    ASSERT_TRUE(sysRoot().empty());
    EXPECT_EQ(sysPath("/etc/params.dat"), "/etc/params.dat");
    EXPECT_EQ(sysPath("relative/name"), "relative/name");
    EXPECT_EQ(sysPath(static_cast<const char *>(nullptr)), "");
}

TEST(SysPath, ARootPrefixesTheAppliancePathsOnly) {
    EXPECT_EQ(joinRoot("/tmp/r", "/etc/params.dat"), "/tmp/r/etc/params.dat");
    EXPECT_EQ(joinRoot("/tmp/r", "/proc/product_params"), "/tmp/r/proc/product_params");
    EXPECT_EQ(joinRoot("/tmp/r", "/proc/net/wireless"), "/tmp/r/proc/net/wireless");
    EXPECT_EQ(joinRoot("/tmp/r", "/proc/meminfo"), "/proc/meminfo");
    EXPECT_EQ(joinRoot("/tmp/r", "/sys/class/net/eth0/carrier"), "/sys/class/net/eth0/carrier");
    EXPECT_EQ(joinRoot("/tmp/r", "run/x"), "run/x");
}
