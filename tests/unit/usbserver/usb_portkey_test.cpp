#include "usbserver/usb_access.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <cstring>
#include <string>

namespace {

struct tm at(int year, int month, int day, int hour, int minute, int second) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    time_t s = timegm(&t);
    gmtime_r(&s, &t); // fills in the weekday
    return t;
}

} // namespace

TEST(UsbPortKey, ValidityOfSchedules) {
    struct Case {
        const char *schedule;
        bool weekly;
        struct tm when;
        int left;
    } cases[] = {
        // 2026-06-15 is a Monday, 2026-06-14 a Sunday.
        {"-MtWTF-:8:17", true, at(2026, 6, 15, 17, 30, 30), 1770},
        {"-MtWTF-:8:17", true, at(2026, 6, 15, 8, 0, 0), 86400},
        {"-MtWTF-:8:17", true, at(2026, 6, 15, 7, 59, 59), 0},
        {"-MtWTF-:8:17", true, at(2026, 6, 15, 18, 0, 0), 0},
        {"-MtWTF-:8:17", true, at(2026, 6, 14, 12, 0, 0), 0},
        {"sMtWTFS:8:17", true, at(2026, 6, 14, 12, 0, 0), 86400},
        // The day characters must match exactly; a schedule without both hours fails.
        {"-mtWTF-:8:17", true, at(2026, 6, 15, 12, 0, 0), 0},
        {"-MtWTF-:8", true, at(2026, 6, 15, 12, 0, 0), 0},
        {"-M", true, at(2026, 6, 15, 12, 0, 0), 0},
        {"", true, at(2026, 6, 15, 12, 0, 0), 0},
        // Expiry: valid to the end of 31 December 2025, 23:59:59.
        {"sMtWTFS:0:23:25:12:31:23", false, at(2025, 12, 31, 23, 59, 59), 1},
        {"sMtWTFS:0:23:25:12:31:23", false, at(2025, 12, 31, 22, 0, 0), 86400},
        {"sMtWTFS:0:23:25:12:31:23", false, at(2025, 11, 30, 23, 0, 0), 86400},
        {"sMtWTFS:0:23:25:12:31:23", false, at(2026, 1, 1, 0, 0, 0), 0},
        {"sMtWTFS:0:23:25:12:31:23", false, at(2024, 12, 31, 23, 30, 0), 86400},
        {"sMtWTFS:0:23:25:12", false, at(2024, 12, 31, 23, 30, 0), 0},
        {"sMtWTFS:0:23:x:12:31:23", false, at(2024, 12, 31, 23, 30, 0), 0},
        // A clock before 2018 was never set: no time-limited key is valid.
        {"sMtWTFS:0:23:25:12:31:23", false, at(2017, 6, 1, 12, 0, 0), 0},
        {"sMtWTFS:0:24", true, at(2017, 6, 1, 12, 0, 0), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(usbKeyValidityLeft(c.schedule, c.weekly, c.when), c.left)
            << c.schedule << " at " << asctime(&c.when);
    EXPECT_EQ(usbKeyValidityLeft(nullptr, true, at(2026, 6, 15, 12, 0, 0)), 0);
}

TEST(UsbPortKey, ValidityOfGarbageSchedulesIsZero) {
    const std::string noise[] = {":::::::::", "sMtWTFS:99999999999999999999:1",
                                 "sMtWTFS:1:2:3:4:5:", std::string(300, ':'), "sMtWTFS:-1:-1:-1:-1:-1:-1"};
    for (const std::string &s : noise) {
        EXPECT_EQ(usbKeyValidityLeft(s.c_str(), false, at(2026, 6, 15, 12, 0, 0)), 0) << s;
        EXPECT_GE(usbKeyValidityLeft(s.c_str(), true, at(2026, 6, 15, 12, 0, 0)), 0) << s;
    }
}

TEST(UsbPortKey, ProofsOverTheChallenge) {
    // With challenge 0 the SHA-1 form hashes four capital A and the key.
    uint8_t proof[20], expected[20];
    ASSERT_TRUE(usbKeyProofSha1("secret", 0, proof));
    SHA1(reinterpret_cast<const unsigned char *>("AAAAsecret"), 10, expected);
    EXPECT_EQ(0, std::memcmp(proof, expected, 20));
    // Each challenge byte picks one character: 0x3F..., 0x01, 0x02, 0x03.
    ASSERT_TRUE(usbKeyProofSha1("secret", 0x3F010203u, proof));
    SHA1(reinterpret_cast<const unsigned char *>("/BCDsecret"), 10, expected);
    EXPECT_EQ(0, std::memcmp(proof, expected, 20));
    EXPECT_FALSE(usbKeyProofSha1("", 0, proof));
    EXPECT_FALSE(usbKeyProofSha1(nullptr, 0, proof));

    char des[11], other[11];
    ASSERT_TRUE(usbKeyProofDes("secret", 0, des));
    ASSERT_TRUE(usbKeyProofDes("secret", 0x00000100u, other));
    EXPECT_NE(0, std::memcmp(des, other, 11)) << "the salt follows the challenge";
    // Traditional DES crypt reads eight characters of the key.
    ASSERT_TRUE(usbKeyProofDes("secret12tail", 0, des));
    ASSERT_TRUE(usbKeyProofDes("secret12", 0, other));
    EXPECT_EQ(0, std::memcmp(des, other, 11));
    EXPECT_FALSE(usbKeyProofDes("", 0, des));
}
