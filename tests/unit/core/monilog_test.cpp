#include "core/monilog.h"
#include "core/monilog_internal.h"
#include "core/ptable.h"
#include "param_catalogue.h"
#include "param_guard.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct tm fixedTime;
bool timeKnown = true;

bool fixedClock(struct tm *out) {
    if (!timeKnown) return false;
    *out = fixedTime;
    return true;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string logName(int index) {
    char name[4096];
    moniFileName(index, name, sizeof name);
    return name;
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start)); // torn: no CR LF
            break;
        }
        lines.push_back(text.substr(start, end + 2 - start));
        start = end + 2;
    }
    return lines;
}

class MoniLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/monilog_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        moniLog.init(base);
        fixedTime = {};
        fixedTime.tm_mday = 7;
        fixedTime.tm_mon = 11;
        fixedTime.tm_year = 126;
        fixedTime.tm_hour = 9;
        fixedTime.tm_min = 5;
        fixedTime.tm_sec = 3;
        timeKnown = true;
        setMoniClock(fixedClock);
        moniLogHooks() = MoniLogHooks();
    }

    void TearDown() override {
        moniLog.init(base); // closes the current file
        setMoniClock(nullptr);
        moniLogHooks() = MoniLogHooks();
        std::filesystem::permissions(base, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add);
        std::filesystem::remove_all(base);
    }

    // Makes the monitor directory with the given files, each holding "old <i>\r\n"
    // (or nothing for the empty ones).
    void prepareRing(const std::set<int> &present, const std::set<int> &empty = {}) {
        ASSERT_EQ(moniLog.open(), 1);
        for (int i : present)
            writeFile(logName(i), "old " + std::to_string(i) + "\r\n");
        for (int i : empty)
            writeFile(logName(i), "");
    }

    std::string base;
};

TEST_F(MoniLogTest, LinesCarryStampCodesAndTextInTheirLayout) {
    struct Case {
        unsigned mask;
        const char *expected;
    } cases[] = {
        {0, " 07 09:05:03 |         | text 42\r\n"},
        {MoniErr, " 07 09:05:03 | ERR     | text 42\r\n"},
        {MoniPar, " 07 09:05:03 | PAR     | text 42\r\n"},
        {MoniErr | MoniSta, " 07 09:05:03 | ERR STA | text 42\r\n"},
        {MoniUpo | MoniAcc, " 07 09:05:03 | UPO ACC | text 42\r\n"},
        {MoniErr | MoniSta | MoniPar | MoniUpo | MoniAcc, " 07 09:05:03 | ERR STA PAR UPO ACC | text 42\r\n"},
        {32 | MoniAcc, " 07 09:05:03 | ACC     | text 42\r\n"}, // unknown bits carry no code
    };
    std::string expectedFile;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(mprintf(c.mask, __FILE__, __LINE__, "text %d", 42), (int)strlen(c.expected));
        expectedFile += c.expected;
    }
    timeKnown = false;
    EXPECT_GT(mprintf(MoniSta, __FILE__, __LINE__, "no clock"), 0);
    expectedFile += " 00 00:00:00 | STA     | no clock\r\n";

    EXPECT_EQ(readFile(logName(0)), expectedFile);
    EXPECT_EQ(moniLog.linesWritten(), 8);
    EXPECT_EQ(moniLog.bytesInFile(), expectedFile.size());

    struct stat st;
    ASSERT_EQ(stat(logName(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(moniLog.monitorDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(stat(moniLog.sysDir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(MoniLogTest, LongTextIsCutAndControlCharactersCannotForgeLines) {
    std::string longText(2000, 'a');
    EXPECT_EQ(mprintf(MoniErr, __FILE__, __LINE__, "%s", longText.c_str()), MoniLineMax);
    mprintf(MoniAcc, __FILE__, __LINE__, "page %s.", "/x\r\n 07 09:05:03 | ERR     | forged\x1b[2J\x7f\tend");

    std::vector<std::string> lines = splitLines(readFile(logName(0)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), (size_t)MoniLineMax);
    EXPECT_EQ(lines[0], " 07 09:05:03 | ERR     | " + std::string(MoniLineMax - 27, 'a') + "\r\n");
    EXPECT_EQ(lines[1], " 07 09:05:03 | ACC     | page /x.. 07 09:05:03 | ERR     | forged.[2J.\tend.\r\n");
}

TEST_F(MoniLogTest, ErrnoOfTheCallerIsReportedAndKept) {
    errno = ENOENT;
    mprintf(MoniErr, __FILE__, __LINE__, "open failed (%m)");
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(readFile(logName(0)),
              std::string(" 07 09:05:03 | ERR     | open failed (") + strerror(ENOENT) + ")\r\n");
}

TEST_F(MoniLogTest, FirstLineContinuesTheRingBehindTheLastRun) {
    struct Case {
        const char *what;
        std::set<int> present;
        std::set<int> empty;
        int current;
        int gap;
    } cases[] = {
        {"no files", {}, {}, 0, 1},
        {"0..4 present, 5 missing", {0, 1, 2, 3, 4, 6, 7, 8}, {}, 5, 6},
        {"an empty file is reused", {0, 1, 3, 4}, {2}, 2, 3},
        {"0..9 present: the gap wraps", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {}, 10, 0},
        {"all eleven present", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {}, 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        moniLog.init(base);
        std::filesystem::remove_all(base + "/monitor");
        prepareRing(c.present, c.empty);

        ASSERT_GT(mprintf(MoniSta, __FILE__, __LINE__, "first"), 0);
        EXPECT_EQ(moniLog.fileIndex(), c.current);
        EXPECT_EQ(readFile(logName(c.current)), " 07 09:05:03 | STA     | first\r\n");
        EXPECT_FALSE(exists(logName(c.gap)));
        for (int i = 0; i < MoniFileCount; i++) {
            if (i == c.current || i == c.gap) continue;
            EXPECT_EQ(exists(logName(i)), c.present.count(i) + c.empty.count(i) > 0) << i;
            if (c.present.count(i)) {
                EXPECT_EQ(readFile(logName(i)), "old " + std::to_string(i) + "\r\n") << i;
            }
        }
    }
}

// Eight threads fill more than two files, starting at index 10 so that the ring wraps:
// every line arrives whole exactly once, each finished file ends with the line that
// took it over 2 MiB, and each switch deleted the file behind the new one.
TEST_F(MoniLogTest, ConcurrentWritersSwitchFilesWithoutLosingOrTearingLines) {
    prepareRing({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    moniLogHooks().mainInterfaceUp = [] { return false; };

    constexpr int threads = 8;
    constexpr int perThread = 1150; // about 4.6 MiB in all
    const std::string padding(440, 'x');
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++) {
        writers.emplace_back([t, &padding] {
            for (int s = 0; s < perThread; s++)
                mprintf(MoniUpo, __FILE__, __LINE__, "T%d S%d %s", t, s, padding.c_str());
        });
    }
    for (std::thread &w : writers)
        w.join();

    EXPECT_EQ(moniLog.linesWritten(), threads * perThread);
    EXPECT_EQ(moniLog.fileIndex(), 1);
    EXPECT_FALSE(exists(logName(2)));
    for (int i = 3; i <= 9; i++)
        EXPECT_EQ(readFile(logName(i)), "old " + std::to_string(i) + "\r\n") << i;

    const std::regex layout(" 07 09:05:03 \\| UPO     \\| T(\\d) S(\\d+) x{440}\r\n");
    std::set<std::pair<int, int>> seen;
    for (int index : {10, 0, 1}) {
        std::string text = readFile(logName(index));
        std::vector<std::string> lines = splitLines(text);
        ASSERT_FALSE(lines.empty()) << index;
        for (const std::string &line : lines) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, layout)) << "file " << index << ": " << line;
            EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second) << line;
        }
        if (index != 1) {
            EXPECT_GT(text.size(), MoniFileLimit) << index;
            EXPECT_LE(text.size() - lines.back().size(), MoniFileLimit) << index;
        } else {
            EXPECT_LE(text.size(), MoniFileLimit);
            EXPECT_EQ(moniLog.bytesInFile(), text.size());
        }
    }
    EXPECT_EQ(seen.size(), (size_t)(threads * perThread));
}

// A file that cannot be opened is tried again in place: the ring does not walk on
// (deleting a file on every attempt), and the finished file is handed on once, when
// the new one opens.
TEST_F(MoniLogTest, FailedOpenKeepsTheRingInPlace) {
    static int handOns;
    handOns = 0;
    moniLogHooks().mainInterfaceUp = [] {
        handOns++;
        return true;
    };
    prepareRing({3, 4, 5});
    ASSERT_GT(mprintf(MoniSta, __FILE__, __LINE__, "in 0"), 0);
    EXPECT_EQ(handOns, 1);
    ASSERT_EQ(mkdir(logName(1).c_str(), 0755), 0); // file 1 cannot be opened

    EXPECT_EQ(moniLog.newFile(), 0);
    for (int attempt = 0; attempt < 12; attempt++)
        EXPECT_EQ(mprintf(MoniSta, __FILE__, __LINE__, "lost"), 0);
    EXPECT_EQ(moniLog.fileIndex(), 0);
    EXPECT_FALSE(moniLog.isOpen());
    EXPECT_EQ(handOns, 1);
    EXPECT_EQ(readFile(logName(0)), " 07 09:05:03 | STA     | in 0\r\n");
    for (int i : {3, 4, 5})
        EXPECT_TRUE(exists(logName(i))) << i;

    ASSERT_EQ(rmdir(logName(1).c_str()), 0);
    ASSERT_GT(mprintf(MoniSta, __FILE__, __LINE__, "in 1"), 0);
    EXPECT_EQ(moniLog.fileIndex(), 1);
    EXPECT_EQ(handOns, 2);
    EXPECT_EQ(readFile(logName(1)), " 07 09:05:03 | STA     | in 1\r\n");
    EXPECT_EQ(readFile(logName(0)), " 07 09:05:03 | STA     | in 0\r\n");
    EXPECT_EQ(moniLog.linesWritten(), 2);
}

TEST_F(MoniLogTest, CloseAndNewFileMoveOnAndMissingDirectoriesAreReported) {
    mprintf(MoniSta, __FILE__, __LINE__, "a");
    moniLog.close();
    EXPECT_FALSE(moniLog.isOpen());
    mprintf(MoniSta, __FILE__, __LINE__, "b");
    EXPECT_EQ(moniLog.fileIndex(), 1);
    EXPECT_EQ(moniLog.newFile(), 1);
    EXPECT_EQ(moniLog.fileIndex(), 2);
    EXPECT_EQ(moniLog.bytesInFile(), 0u);

    // A base that is a plain file: no directories, no file, no line.
    moniLog.init(base + "/plain");
    writeFile(base + "/plain", "x");
    EXPECT_EQ(moniLog.open(), 0);
    EXPECT_FALSE(moniLog.ready());
    EXPECT_EQ(mprintf(MoniErr, "caller.cpp", 12, "nowhere"), 0);
    EXPECT_EQ(moniLog.newFile(), 0);
}

TEST_F(MoniLogTest, DumpWritesSixteenBytesALine) {
    unsigned char data[20];
    for (int i = 0; i < 20; i++)
        data[i] = static_cast<unsigned char>(i < 16    ? 'A' + i
                                             : i == 16 ? 0x00
                                             : i == 17 ? 0x7f
                                             : i == 18 ? '~'
                                                       : ' ');
    mprintf(MoniErr, __FILE__, __LINE__, "start");
    uint32_t before = moniLog.bytesInFile();

    mdump(MoniErr, data, sizeof data, "rx");
    mdump(MoniSta, data, sizeof data, "not enabled"); // "moniflags" holds errors only
    const std::string first = "rx 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP\n";
    const std::string second = "rx 00 7f 7e 20 " + std::string(12 * 3, ' ') + "  ..~ \n";
    std::string expected = " 07 09:05:03 | ERR     | start\r\n" + first + second;
    EXPECT_EQ(readFile(logName(0)), expected);
    EXPECT_EQ(moniLog.bytesInFile(), before + first.size() + second.size());

    // Without a label each line begins with the address of its chunk.
    mdump(MoniErr | MoniSta, data, 17, nullptr);
    char address0[32], address1[32];
    snprintf(address0, sizeof address0, "%p ", static_cast<void *>(data));
    snprintf(address1, sizeof address1, "%p ", static_cast<void *>(data + 16));
    expected += address0 + first.substr(3) + address1 + "00 " + std::string(15 * 3, ' ') + "  .\n";
    EXPECT_EQ(readFile(logName(0)), expected);
    EXPECT_EQ(moniLog.linesWritten(), 1);
}

// What the remote syslog client was handed: priority, source, line number and text.
struct SentLine {
    int priority;
    std::string source;
    int sourceLine;
    std::string text;
};
std::vector<SentLine> sentLines;

int recordSyslog(int priority, const char *source, int sourceLine, const char *text) {
    sentLines.push_back({priority, source, sourceLine, text});
    return 1;
}

TEST_F(MoniLogTest, DumpLinesGoToSyslogWithTheLinePriorityNotTheirMask) {
    ParamGuard guard;
    guard.set(p_syslogng, "on");
    guard.set(p_moniflags, "3");
    sentLines.clear();
    moniLogHooks().syslogSend = recordSyslog;
    const unsigned char data[18] = {'A', 'B'};
    // Mask 1 (errors) would be kern.alert, mask 2 kern.crit, if it were the priority.
    mprintf(MoniErr, __FILE__, 321, "before");
    mdump(MoniErr, data, sizeof data, "rx");
    mdump(MoniSta, data, 2, "st");
    ASSERT_EQ(sentLines.size(), 4u);
    EXPECT_EQ(sentLines[0].priority, 13);
    EXPECT_EQ(sentLines[0].sourceLine, 321);
    EXPECT_NE(sentLines[0].text.find("| before\r\n"), std::string::npos) << sentLines[0].text;
    for (size_t i = 1; i < sentLines.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sentLines[i].priority, 13);
        EXPECT_EQ(sentLines[i].source, "mdump");
        EXPECT_EQ(sentLines[i].sourceLine, 0);
    }
    EXPECT_EQ(sentLines[1].text.rfind("rx 41 42 ", 0), 0u) << sentLines[1].text;
    EXPECT_EQ(sentLines[3].text.rfind("st 41 42 ", 0), 0u) << sentLines[3].text;

    // With syslog off the lines stay local.
    guard.set(p_syslogng, "off");
    mdump(MoniErr, data, 2, "rx");
    EXPECT_EQ(sentLines.size(), 4u);
}

TEST(MoniEnabledTest, NeedsMonitoringOnAndACategoryOfTheMask) {
    ptable();
    ParamGuard params{{p_monitoring, p_moniflags}};
    struct Case {
        const char *monitoring;
        const char *flags;
        unsigned mask;
        bool enabled;
    } cases[] = {
        {"off", "31", MoniErr, false}, // the log as a whole is off
        {"on", "1", MoniErr, true},           {"on", "1", MoniSta, false},
        {"on", "6", MoniErr | MoniPar, true}, {"on", "0", MoniErr | MoniSta, false},
    };
    for (const Case &c : cases) {
        p_monitoring->setText(c.monitoring, -1);
        p_moniflags->setText(c.flags, -1);
        EXPECT_EQ(moniEnabled(c.mask), c.enabled) << c.monitoring << " " << c.flags << " " << c.mask;
    }
}

class StatLogTest : public MoniLogTest {
protected:
    void SetUp() override {
        MoniLogTest::SetUp();
        MoniLogHooks &hooks = moniLogHooks();
        hooks.boardInputBits = [] { return 0x05u; };
        hooks.mainLinkFlags = [] { return 0x11u; };
        hooks.warmStarts = [] { return 3; };
        hooks.crashCount = [] { return 2; };
        hooks.firmwareVersion = [] { return 7; };
        hooks.fanFailCount = [] { return 4; };
    }

    std::string head(const char *kind) {
        return std::string(kind) + ";" + moni::deviceName() + ";0x05;0x11;07.12.26 09:05:03";
    }

    // Writes a statistics file so that its change time is later than that of every
    // other one (file times may be coarse: touch it again until it is).
    void touchInOrder(int index, const std::string &text) {
        writeFile(statFileName(index), text);
        for (;;) {
            struct stat own, other;
            ASSERT_EQ(stat(statFileName(index).c_str(), &own), 0);
            bool latest = true;
            for (int i = 0; i < StatFileCount; i++) {
                if (i != index && stat(statFileName(i).c_str(), &other) == 0 &&
                    (other.st_ctim.tv_sec > own.st_ctim.tv_sec ||
                     (other.st_ctim.tv_sec == own.st_ctim.tv_sec &&
                      other.st_ctim.tv_nsec >= own.st_ctim.tv_nsec)))
                    latest = false;
            }
            if (latest) return;
            usleep(2000);
            chmod(statFileName(index).c_str(), 0644);
        }
    }
};

TEST_F(StatLogTest, LinesOfEachKind) {
    const int temperatures[4] = {41, 42, 43, -5};
    const int sensors[4] = {123, 7, 0, -15};
    const int ports[4] = {1, 0, 2, 4};
    EXPECT_EQ(sysStatLog(StatUp), 1);
    EXPECT_EQ(sysStatLog(StatDown), 1);
    EXPECT_EQ(sysStatLog(StatSys, temperatures, sensors, ports), 1);
    EXPECT_EQ(sysStatLog(StatSys, temperatures, nullptr, ports), 0);
    EXPECT_EQ(sysStatLog(3), 0);
    EXPECT_EQ(sysStatLog(-1), 0);
    timeKnown = false;
    EXPECT_EQ(sysStatLog(StatDown), 1);

    std::string expected = head("InfoUp__2") + ";3;0;HW:0.0;FW:7;SW:20.1.22 [2]\r\n" + head("InfoDown2") +
                           ";4\r\n" + head("InfoSys_3") + ";41;42;43;-5;12,3;0,7;0,0;-1,5;1;0;2;4;4\r\n" +
                           "InfoDown2;" + moni::deviceName() + ";0x05;0x11;;4\r\n";
    EXPECT_EQ(readFile(statFileName(0)), expected);
    EXPECT_FALSE(exists(statFileName(1)));
    struct stat st;
    ASSERT_EQ(stat(statFileName(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(StatLogTest, RingOfFourFollowsTheLatestFile) {
    ASSERT_TRUE(moni::ensureDir(moniLog.sysDir()));
    // The latest file is small: the line is appended to it.
    touchInOrder(3, "three\r\n");
    touchInOrder(0, "zero\r\n");
    touchInOrder(1, "one\r\n");
    ASSERT_EQ(sysStatLog(StatDown), 1);
    EXPECT_EQ(readFile(statFileName(1)), "one\r\n" + head("InfoDown2") + ";4\r\n");

    // The latest file holds 1,048,577 bytes: the next one is deleted and started.
    touchInOrder(2, std::string(StatFileLimit + 1, 'x'));
    ASSERT_EQ(sysStatLog(StatDown), 1);
    EXPECT_EQ(readFile(statFileName(3)), head("InfoDown2") + ";4\r\n");
    EXPECT_EQ(readFile(statFileName(0)), "zero\r\n");
    EXPECT_EQ(readFile(statFileName(2)).size(), (size_t)StatFileLimit + 1);

    // Exactly 1 MiB still takes lines; from 3 the ring wraps to 0.
    touchInOrder(3, std::string(StatFileLimit, 'y'));
    ASSERT_EQ(sysStatLog(StatDown), 1);
    EXPECT_EQ(readFile(statFileName(3)).size(), StatFileLimit + head("InfoDown2").size() + 4);
    ASSERT_EQ(sysStatLog(StatDown), 1);
    EXPECT_EQ(readFile(statFileName(0)), head("InfoDown2") + ";4\r\n");
}

} // namespace
