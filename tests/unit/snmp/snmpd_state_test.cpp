// The library's persistent state file: the users the configuration creates lose their
// kept keys before the library reads it; every other line stays.
#include "snmp/snmp_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(PersistentState, UserNamesAsTheLibraryWritesThem) {
    const struct {
        const char *line;
        bool ok;
        const char *name;
    } table[] = {
        {"usmUser 1 3 0x80001f8804 \"Admin\" \"Admin\" NULL .1.3 0xab", true, "Admin"},
        {"usmUser 1 3 0x80001f8804 \"Ad min\" \"Ad min\" NULL", true, "Ad min"},
        {"usmUser 1 3 0x80001f8804 0x41642261 0x41642261 NULL", true, "Ad\"a"},
        {"  usmUser 1 3 0x80 plain x", true, "plain"},
        {"usmUser 1 3 0x80001f8804 \"unterminated", false, ""},
        {"usmUser 1 3 0x80001f8804 0x4g", false, ""},
        {"usmUser 1 3", false, ""},
        {"engineBoots 4", false, ""},
        {"# usmUser 1 3 0x80 \"x\"", false, ""},
        {"", false, ""},
    };
    for (const auto &t : table) {
        std::string name;
        EXPECT_EQ(persistentUserName(t.line, name), t.ok) << t.line;
        if (t.ok) {
            EXPECT_EQ(name, t.name) << t.line;
        }
    }
}

TEST(PersistentState, DropsOnlyTheConfiguredUsers) {
    char dir[] = "/tmp/qmr-snmpstate-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/snmpd.conf";
    const std::string keep = "#\n# persistent data\n#\n"
                             "usmUser 1 3 0x80001f88 \"Other\" \"Other\" NULL .1.3.6 0x01\n"
                             "engineBoots 7\n"
                             "oldEngineID 0x80001f8804\n";
    std::ofstream(path) << "usmUser 1 3 0x80001f88 \"Admin\" \"Admin\" NULL .1.3.6 0x02\n"
                        << keep << "usmUser 1 3 0x80001f88 0x55736572 0x55736572 NULL .1.3.6 0x03";
    EXPECT_TRUE(dropPersistentUsers(path, {"Admin", "User"}));
    EXPECT_EQ(readFile(path), keep);
    // Nothing to drop leaves the file as it is; a missing file is no error.
    EXPECT_TRUE(dropPersistentUsers(path, {"Admin"}));
    EXPECT_EQ(readFile(path), keep);
    EXPECT_TRUE(dropPersistentUsers(std::string(dir) + "/none.conf", {"Admin"}));
    unlink(path.c_str());
    rmdir(dir);
}

} // namespace
