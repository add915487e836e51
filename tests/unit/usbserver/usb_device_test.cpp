#include "core/tcp.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_quirks.h"

#include "usb_fake_platform.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A table entry in use with a usbfs file open on the fake platform.
class UsbDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedCount = usbDeviceCount.load();
        usbDeviceCount = 4;
        savedMin = MinMMap.load();
        dev.init(UsbEntryPresent);
        dev.busNumber = 1;
        dev.deviceNumber = 2;
        ASSERT_EQ(dev.openFile(O_RDWR), 1);
    }
    void TearDown() override {
        dev.closeFile();
        dev.clear();
        for (UsbDevice &e : usbDeviceTable)
            if (e.state.load() != UsbEntryEmpty) e.clear();
        usbDeviceCount = savedCount;
        MinMMap = savedMin;
        usbDeviceHooks() = UsbDeviceHooks();
    }

    FakeUsbPlatform fake;
    UsbDevice dev;
    int savedCount = 0;
    int savedMin = 0;
};

} // namespace

TEST_F(UsbDeviceTest, StringDescriptorBecomesLatin1Text) {
    fake.setString(0, 0, {4, 3, 0x09, 0x04});
    // U+00E9 stays, U+0142 and U+4E2D become '?', a control character too.
    fake.setString(0x0409, 1, FakeUsbPlatform::utf16(u"A\u0142b\u00e9\u4e2d\u0007"));
    char text[64];
    EXPECT_EQ(dev.stringToText(1, text, sizeof text), 6);
    EXPECT_STREQ(text, "A?b\xe9??");
    EXPECT_EQ(dev.language, 0x0409);

    // Cut at size - 1 characters.
    char small[4];
    EXPECT_EQ(dev.stringToText(1, small, sizeof small), 3);
    EXPECT_STREQ(small, "A?b");

    // Index 0, no buffer and no room are refused.
    EXPECT_EQ(dev.stringToText(0, text, sizeof text), -1);
    EXPECT_EQ(dev.stringToText(1, nullptr, 10), -1);
    EXPECT_EQ(dev.stringToText(1, text, 0), -1);
}

TEST_F(UsbDeviceTest, LanguageListMustHoldOneLanguage) {
    char text[64];
    fake.setString(0, 0, {2, 3}); // no language
    fake.setString(0x0409, 1, FakeUsbPlatform::utf16(u"x"));
    EXPECT_EQ(dev.stringToText(1, text, sizeof text), -1);
    EXPECT_EQ(dev.languageRead, 0);
}

TEST_F(UsbDeviceTest, FetchCutsAtTheFirstZeroUnitAndCachesMisses) {
    fake.setString(0, 0, {4, 3, 0x07, 0x04});
    // bLength claims 10 bytes, a zero unit follows "ab".
    fake.setString(0x0407, 2, {10, 3, 'a', 0, 'b', 0, 0, 0, 'c', 0});
    uint8_t buf[255];
    EXPECT_EQ(dev.fetchString(dev.fd, 0x0407, 2, buf, 255), 6);
    EXPECT_EQ(buf[0], 6);

    // Cached for its language; language 0 matches every cached language.
    uint8_t out[16];
    EXPECT_EQ(dev.lookupString(0x0407, 2, out, sizeof out), 6);
    EXPECT_EQ(dev.lookupString(0, 2, out, sizeof out), 6);
    EXPECT_EQ(dev.lookupString(0x0409, 2, out, sizeof out), -1);
    EXPECT_EQ(dev.lookupString(0x0407, 2, out, 3), 3);

    // A descriptor the device refuses is cached empty.
    EXPECT_LT(dev.fetchString(dev.fd, 0x0407, 5, buf, 255), 0);
    EXPECT_EQ(dev.lookupString(0x0407, 5, out, sizeof out), 0);

    // A second add for the same index and language keeps the first.
    uint8_t other[4] = {4, 3, 'z', 0};
    dev.cacheString(0x0407, 2, other, 4);
    EXPECT_EQ(dev.lookupString(0x0407, 2, out, sizeof out), 6);
    EXPECT_EQ(out[2], 'a');
}

TEST_F(UsbDeviceTest, String238IsNeverFetchedWithItsQuirk) {
    dev.deviceDescriptor[8] = 0xAC; // Apple
    dev.deviceDescriptor[9] = 0x05;
    fake.setString(0x0409, 0xEE, {4, 3, 'x', 0});
    uint8_t buf[255];
    EXPECT_EQ(dev.fetchString(dev.fd, 0x0409, 0xEE, buf, 255), -1);
    EXPECT_TRUE(fake.controls.empty());
}

TEST_F(UsbDeviceTest, BufferPoolReusesMappingsOfEqualSize) {
    MinMMap = 2048;
    // Below MinMMap: heap memory, no mapping.
    void *small = dev.allocBuffer(1000);
    ASSERT_NE(small, nullptr);
    EXPECT_TRUE(fake.mappings.empty());
    dev.freeBuffer(small, 1000);

    void *a = dev.allocBuffer(4096);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(fake.mappings.size(), 1u);
    EXPECT_EQ(fake.mappings.begin()->second, 4104u);
    dev.freeBuffer(a, 4096);
    EXPECT_EQ(dev.poolSize(), 1);
    void *b = dev.allocBuffer(4096);
    EXPECT_EQ(b, a);
    EXPECT_EQ(fake.mappings.size(), 1u);
    uint32_t words[2];
    std::memcpy(words, static_cast<uint8_t *>(b) - 8, sizeof words);
    EXPECT_EQ(words[0], 4104u);
    EXPECT_EQ(words[1], 2u); // use count
    // Another size gets its own mapping.
    void *c = dev.allocBuffer(8192);
    EXPECT_EQ(fake.mappings.size(), 2u);
    dev.freeBuffer(b, 4096);
    dev.freeBuffer(c, 8192);
    EXPECT_EQ(dev.poolSize(), 2);

    // Closing the file unmaps the pool.
    dev.closeFile();
    EXPECT_EQ(dev.poolSize(), 0);
    EXPECT_TRUE(fake.mappings.empty());
    EXPECT_EQ(fake.badUnmaps, 0);
    EXPECT_EQ(dev.allocBuffer(4096), nullptr); // file closed
}

TEST_F(UsbDeviceTest, BufferPoolKeepsAtMost63Mappings) {
    MinMMap = 2048;
    std::vector<void *> buffers;
    for (int i = 0; i < 70; i++)
        buffers.push_back(dev.allocBuffer(4096));
    EXPECT_EQ(fake.mappings.size(), 70u);
    for (void *b : buffers)
        dev.freeBuffer(b, 4096);
    EXPECT_EQ(dev.poolSize(), 63);
    EXPECT_EQ(fake.mappings.size(), 63u);
    EXPECT_EQ(fake.badUnmaps, 0);
}

TEST_F(UsbDeviceTest, HeapBuffersAreKeptUpToTheirCapUntilTheFileCloses) {
    MinMMap = 0;
    // A freed buffer comes back for the next one of its size, never for another size.
    void *a = dev.allocBuffer(65536);
    ASSERT_NE(a, nullptr);
    dev.freeBuffer(a, 65536);
    EXPECT_EQ(dev.keptBytes(), 65536u);
    void *other = dev.allocBuffer(32768);
    EXPECT_NE(other, a);
    EXPECT_EQ(dev.allocBuffer(65536), a);
    EXPECT_EQ(dev.keptBytes(), 0u);
    dev.freeBuffer(a, 65536);
    dev.freeBuffer(other, 32768);
    // Small buffers are not kept.
    void *small = dev.allocBuffer(KeptBufferMin - 1);
    dev.freeBuffer(small, KeptBufferMin - 1);
    EXPECT_EQ(dev.keptBytes(), 65536u + 32768u);

    // Many more freed than the cap: the bytes kept stay at most the cap.
    std::vector<void *> buffers;
    for (size_t i = 0; i < 2 * KeptBufferBytes / 65536; i++)
        buffers.push_back(dev.allocBuffer(65536));
    for (void *b : buffers)
        dev.freeBuffer(b, 65536);
    EXPECT_EQ(dev.keptBytes(), KeptBufferBytes);

    // Closing the file frees them, and a buffer freed after the close is not kept.
    void *late = dev.allocBuffer(65536);
    dev.closeFile();
    EXPECT_EQ(dev.keptBytes(), 0u);
    dev.freeBuffer(late, 65536);
    EXPECT_EQ(dev.keptBytes(), 0u);
    EXPECT_TRUE(fake.mappings.empty());
}

TEST_F(UsbDeviceTest, BufferPoolOffAndFailures) {
    MinMMap = 0;
    void *p = dev.allocBuffer(100000);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(fake.mappings.empty());
    dev.freeBuffer(p, 100000);

    MinMMap = 2048;
    EXPECT_EQ(dev.allocBuffer(0), nullptr);
    EXPECT_EQ(dev.allocBuffer(-5), nullptr);
    fake.failMmap = true;
    EXPECT_EQ(dev.allocBuffer(4096), nullptr);
    fake.failMmap = false;
    dev.freeBuffer(nullptr, 4096);

    // A mapping returned after its file was closed is unmapped, not pooled.
    void *m = dev.allocBuffer(4096);
    ASSERT_NE(m, nullptr);
    dev.closeFile();
    dev.freeBuffer(m, 4096);
    EXPECT_EQ(dev.poolSize(), 0);
    EXPECT_TRUE(fake.mappings.empty());
}

TEST_F(UsbDeviceTest, FailedOpenCountsAsUnplugged) {
    static int disconnects;
    disconnects = 0;
    usbDeviceHooks().disconnected = [](UsbDevice &) {
        disconnects++;
        return 0;
    };
    UsbDevice &e = usbDeviceTable[1];
    UsbDevice scratch;
    scratch.busNumber = 3;
    scratch.deviceNumber = 7;
    scratch.port = 2;
    e.fillFrom(scratch);
    fake.failOpen = true;
    EXPECT_EQ(e.openFile(O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(e.state.load(), UsbEntryEmpty);
    EXPECT_EQ(fake.opens.back().substr(fake.opens.back().size() - 8), "/003/007");
}

TEST_F(UsbDeviceTest, QueryReadsTheFieldsOfAnEntry) {
    UsbDevice &e = usbDeviceTable[2];
    UsbDevice scratch;
    std::strcpy(scratch.manufacturer, "ACME");
    std::strcpy(scratch.product, "Gadget");
    std::strcpy(scratch.serial, "0123456789");
    scratch.deviceDescriptor[8] = 0x29;
    scratch.deviceDescriptor[9] = 0x05;
    scratch.deviceDescriptor[10] = 0x01;
    scratch.port = 3;
    e.fillFrom(scratch);

    char buf[64];
    struct Case {
        int kind;
        const char *text;
    } cases[] = {{1, "ACME"},   {2, "Gadget"}, {3, "0123456789"}, {4, "----"},     {5, ""},
                 {6, "0x0001"}, {7, "0x0529"}, {9, "id err !!"},  {0, "id err !!"}};
    for (const Case &c : cases) {
        EXPECT_EQ(query_usb_device_info(2, c.kind, buf, sizeof buf), static_cast<int>(std::strlen(c.text)));
        EXPECT_STREQ(buf, c.text) << "kind " << c.kind;
    }
    // A text that does not fit is left out; "id err !!" is cut.
    char tiny[5];
    EXPECT_EQ(query_usb_device_info(2, 3, tiny, sizeof tiny), 0);
    EXPECT_EQ(query_usb_device_info(2, 9, tiny, sizeof tiny), 4);
    EXPECT_STREQ(tiny, "id e");
    // Out of range and empty entries.
    EXPECT_EQ(query_usb_device_info(-1, 1, buf, sizeof buf), -1);
    EXPECT_EQ(query_usb_device_info(4, 1, buf, sizeof buf), -1);
    EXPECT_EQ(query_usb_device_info(3, 1, buf, sizeof buf), -1);

    // Opened by a client: its peer address, IPv4 and IPv6.
    struct Case2 {
        int family;
        const char *address;
        const char *text;
    } peers[] = {{AF_INET, "127.0.0.1", "127.000.000.001"}, {AF_INET6, "::1", "::1"}};
    for (const Case2 &p : peers) {
        int listener = ::socket(p.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener, 0);
        sockaddr_storage sa{};
        socklen_t len;
        if (p.family == AF_INET) {
            auto &a = reinterpret_cast<sockaddr_in &>(sa);
            a.sin_family = AF_INET;
            inet_pton(AF_INET, p.address, &a.sin_addr);
            len = sizeof a;
        } else {
            auto &a = reinterpret_cast<sockaddr_in6 &>(sa);
            a.sin6_family = AF_INET6;
            inet_pton(AF_INET6, p.address, &a.sin6_addr);
            len = sizeof a;
        }
        if (::bind(listener, reinterpret_cast<sockaddr *>(&sa), len) != 0) {
            ::close(listener);
            continue; // no IPv6 loopback here
        }
        ASSERT_EQ(::listen(listener, 1), 0);
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len), 0);
        TcpConnection connection(nullptr, nullptr, -1);
        connection.socket = ::socket(p.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(connection.socket, reinterpret_cast<sockaddr *>(&sa), len), 0);
        UsbSrvClient client;
        client.connection = &connection;
        e.owner = &client;
        e.state = UsbEntryOpened;
        EXPECT_EQ(query_usb_device_info(2, 4, buf, sizeof buf), static_cast<int>(std::strlen(p.text)));
        EXPECT_STREQ(buf, p.text);
        EXPECT_EQ(query_usb_device_info(2, 5, buf, sizeof buf), 1);
        EXPECT_STREQ(buf, "1");
        e.owner = nullptr;
        ::close(listener);
    }
    // Opened but without an owner record: no address.
    e.state = UsbEntryOpened;
    EXPECT_EQ(query_usb_device_info(2, 4, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "----");
}

// The minute check of port keys reads an entry while a client task opens it again,
// writing the key under the entry's lock: the check takes the lock too (a race here
// shows in the ThreadSanitizer build).
TEST_F(UsbDeviceTest, KeyExpiryCheckReadsAnEntryUnderItsLock) {
    UsbDevice &e = usbDeviceTable[0];
    e.port = 1;
    e.state = UsbEntryOpened;
    std::thread opener([&e] {
        for (int i = 0; i < 2000; i++) {
            bool locked = e.muxIn("test");
            e.keyIndex = i % 2 ? 0 : UsbKeyUnlimited;
            e.keyExpiryState = -1;
            if (locked) e.muxOut();
        }
    });
    for (int i = 0; i < 500; i++)
        check_port_key_expiry();
    opener.join();
    EXPECT_EQ(e.keyExpiryState, -1) << "no key with a schedule, nothing to warn of";
}

TEST_F(UsbDeviceTest, IdentityTellsAReusedEntry) {
    UsbDevice &e = usbDeviceTable[0];
    UsbDevice scratch;
    scratch.port = 1;
    e.fillFrom(scratch);
    const uint32_t first = e.identity.load();
    EXPECT_TRUE(usbEntryIsSame(0, first));

    // The removal uevent clears the entry before the owner's ENODEV arrives ...
    e.clear();
    EXPECT_FALSE(usbMarkRemovedIfSame(0, first));
    // ... and another device took the slot meanwhile: it is left alone.
    e.fillFrom(scratch);
    EXPECT_NE(e.identity.load(), first);
    EXPECT_FALSE(usbMarkRemovedIfSame(0, first));
    EXPECT_EQ(e.removed, 0);
    EXPECT_TRUE(usbMarkRemovedIfSame(0, e.identity.load()));
    EXPECT_EQ(e.removed, 1);
    EXPECT_FALSE(usbEntryIsSame(99, first));
}

TEST_F(UsbDeviceTest, ClearEmptiesTheEntryButLeavesTheFileAlone) {
    fake.setString(0, 0, {4, 3, 0x09, 0x04});
    fake.setString(0x0409, 1, FakeUsbPlatform::utf16(u"x"));
    char text[8];
    dev.stringToText(1, text, sizeof text);
    dev.configurations.resize(1);
    dev.deviceDescriptor[0] = 18;
    dev.keyIndex = 5;
    dev.video = 1;
    int fd = dev.fd;
    dev.clear();
    EXPECT_EQ(dev.state.load(), UsbEntryEmpty);
    EXPECT_TRUE(dev.strings.empty());
    EXPECT_TRUE(dev.configurations.empty());
    EXPECT_EQ(dev.deviceDescriptor[0], 0);
    EXPECT_EQ(dev.keyIndex, 0);
    EXPECT_EQ(dev.keyExpiryState, -1);
    EXPECT_EQ(dev.currentConfiguration, -1);
    EXPECT_EQ(dev.uasInterface, -1);
    EXPECT_EQ(dev.endpointsIn[0], 1);
    EXPECT_EQ(dev.video, 0);
    EXPECT_EQ(dev.fd, -1);
    // The descriptor was not closed by clear: the caller still owns it.
    EXPECT_EQ(fake.openFds.count(fd), 1u);
    fake.close(fd);
}
