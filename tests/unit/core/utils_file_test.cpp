#include "core/crc32.h"
#include "core/task.h"
#include "core/utils_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class FileHelpers : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qmr_files_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return dir + "/" + name; }
    void write(const std::string &name, const std::string &content, mode_t mode = 0644) const {
        std::string p = path(name);
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_GE(fd, 0) << p;
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
        ::chmod(p.c_str(), mode);
    }
    std::string read(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    mode_t modeOf(const std::string &name) const {
        struct stat st;
        EXPECT_EQ(::stat(path(name).c_str(), &st), 0);
        return st.st_mode & 07777;
    }

    std::string dir;
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i & 0xFF);
    return s;
}

// Waits (bounded) until the predicate holds.
bool eventually(const std::function<bool()> &pred) {
    for (int i = 0; i < 1000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// A task whose body is given by the test.
class ScanTask : public Task {
public:
    ScanTask(std::function<void()> body, std::atomic<int> *messages)
        : Task("Scan"), body_(std::move(body)), messages_(messages) {}
    void run() override { body_(); }
    uint32_t onMessage(const TaskMsg &msg) override {
        ++*messages_;
        return msg.flags;
    }

private:
    std::function<void()> body_;
    std::atomic<int> *messages_;
};

} // namespace

// Reference values from Python's zlib.crc32 with the inversions undone.
TEST(Crc32, UninvertedIeeeChecksum) {
    EXPECT_EQ(crc32("abc", 3), 0xCA6598D0u);
    EXPECT_EQ(crc32("", 0), 0u);
    EXPECT_EQ(crc32("123456789", 9), 0x2DFD2D88u);
    std::string p = pattern(8192);
    EXPECT_EQ(crc32(p.data(), p.size()), 0x6E93CA93u);
    // Continuing over a split gives the checksum of the whole.
    EXPECT_EQ(crc32("c", 1, crc32("ab", 2)), 0xCA6598D0u);
    EXPECT_EQ(crc32Update(crc32(p.data(), 5000), p.data() + 5000, 3192), 0x6E93CA93u);
}

// Every length and alignment, and long runs from any start, against the checksum
// computed bit by bit: the wide folding path and the byte tables must agree.
TEST(Crc32, MatchesBitwiseChecksumForAnyLengthAndAlignment) {
    auto bitwise = [](uint32_t crc, const uint8_t *p, size_t n) {
        for (size_t k = 0; k < n; k++) {
            crc ^= p[k];
            for (int bit = 0; bit < 8; bit++)
                crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        return crc;
    };
    std::vector<uint8_t> data(70000);
    uint32_t seed = 12345;
    for (auto &b : data) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    for (size_t offset = 0; offset < 16; offset += 3)
        for (size_t n = 0; n <= 300; n++)
            ASSERT_EQ(crc32Update(0x12345678u, data.data() + offset, n),
                      bitwise(0x12345678u, data.data() + offset, n))
                << "offset " << offset << " length " << n;
    for (size_t n : {4095u, 65536u, 65537u, 69999u})
        EXPECT_EQ(crc32Update(0xFFFFFFFFu, data.data() + 1, n), bitwise(0xFFFFFFFFu, data.data() + 1, n))
            << n;
}

TEST_F(FileHelpers, FileSizeOfMissingDirectoryEmptyAndFilledFiles) {
    write("empty", "");
    write("three", "abc");
    fs::create_directory(path("sub"));
    EXPECT_EQ(fileSize(path("missing").c_str()), -1);
    EXPECT_EQ(fileSize(path("sub").c_str()), 1);
    EXPECT_EQ(fileSize(path("empty").c_str()), 0);
    EXPECT_EQ(fileSize(path("three").c_str()), 3);
    EXPECT_EQ(fileSize(nullptr), -1);

    char when[32];
    std::memset(when, '#', sizeof when);
    EXPECT_EQ(fileSize(path("three").c_str(), when, sizeof when), 3);
    EXPECT_TRUE(std::regex_match(when, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}"))) << when;
    // A buffer too small for the text is left empty, never overrun.
    char tiny[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(fileSize(path("three").c_str(), tiny, 3), 3);
    EXPECT_EQ(tiny[0], '\0');
    EXPECT_EQ(tiny[3], '#');
}

TEST_F(FileHelpers, FileSizeArchiveBitOutsideFatIsReportedAndLeftAsItWas) {
    write("three", "abc");
    for (bool before : {false, true}) {
        bool archive = before;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fileSize(path("three").c_str(), nullptr, 0, &archive), 3);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(archive, before);
        EXPECT_EQ(err.rfind("fileSize: ", 0), 0u) << err;
    }
}

TEST_F(FileHelpers, TempFileIsAnonymousAndUsable) {
    // The test run has no sandbox root: the file is made in /tmp.
    int fd = tempFile();
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_nlink, 0u) << "the name is removed at once";
    EXPECT_EQ(::write(fd, "xyz", 3), 3);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);
}

TEST_F(FileHelpers, CopyFdAppendsTheWholeFileAndReportsItsCrc) {
    write("big", pattern(8192));
    write("out", "head:");
    int out = ::open(path("out").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(out, 0);
    uint32_t crc = 1;
    EXPECT_TRUE(copyFd(path("big").c_str(), out, &crc));
    EXPECT_EQ(crc, 0x6E93CA93u);
    // The destination stays open for more.
    EXPECT_EQ(::write(out, "!", 1), 1);
    ::close(out);
    EXPECT_EQ(read("out"), "head:" + pattern(8192) + "!");
}

TEST_F(FileHelpers, CopyFdFailures) {
    write("src", "abc");
    uint32_t crc = 7;
    int out = ::open(path("out").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(out, 0);
    EXPECT_FALSE(copyFd(path("missing").c_str(), out, &crc));
    EXPECT_EQ(crc, 0u);
    EXPECT_FALSE(copyFd(nullptr, out, nullptr));
    ::close(out);

    // A destination that cannot be written.
    int ro = ::open(path("src").c_str(), O_RDONLY);
    ASSERT_GE(ro, 0);
    EXPECT_FALSE(copyFd(path("src").c_str(), ro, nullptr));
    ::close(ro);
    EXPECT_FALSE(copyFd(path("src").c_str(), -1, nullptr));
    // An empty source is a complete copy.
    write("empty", "");
    int fd = ::open(path("out2").c_str(), O_WRONLY | O_CREAT, 0644);
    crc = 7;
    EXPECT_TRUE(copyFd(path("empty").c_str(), fd, &crc));
    EXPECT_EQ(crc, 0u);
    ::close(fd);
}

TEST_F(FileHelpers, CopyFileCopiesWithCrc) {
    write("abc", "abc");
    write("empty", "");
    write("old", "a much longer previous content");
    uint32_t crc = 0;
    EXPECT_TRUE(copyFile(path("abc").c_str(), path("copy").c_str(), false, &crc));
    EXPECT_EQ(crc, 0xCA6598D0u);
    EXPECT_EQ(read("copy"), "abc");
    crc = 5;
    EXPECT_TRUE(copyFile(path("empty").c_str(), path("copy2").c_str(), false, &crc));
    EXPECT_EQ(crc, 0u);
    EXPECT_TRUE(fs::exists(path("copy2")));
    EXPECT_EQ(read("copy2"), "");
    // An existing destination is truncated.
    EXPECT_TRUE(copyFile(path("abc").c_str(), path("old").c_str(), false, nullptr));
    EXPECT_EQ(read("old"), "abc");

    EXPECT_FALSE(copyFile(path("missing").c_str(), path("copy3").c_str(), false, nullptr));
    EXPECT_FALSE(fs::exists(path("copy3")));
    EXPECT_FALSE(copyFile(path("abc").c_str(), path("nodir/copy").c_str(), false, nullptr));
    EXPECT_FALSE(copyFile(nullptr, path("copy4").c_str(), false, nullptr));
    EXPECT_FALSE(copyFile(path("abc").c_str(), nullptr, false, nullptr));
    // Onto itself, also through another name: refused, the file stays whole.
    fs::create_hard_link(path("abc"), path("abc-link"));
    EXPECT_FALSE(copyFile(path("abc").c_str(), path("abc").c_str(), false, nullptr));
    EXPECT_FALSE(copyFile(path("abc").c_str(), path("abc-link").c_str(), false, nullptr));
    EXPECT_EQ(read("abc"), "abc");
}

TEST_F(FileHelpers, CopyFileKeepsPrivateFilesPrivateAndLeavesTheUmask) {
    struct Case {
        mode_t source;
        bool privateFlag;
        mode_t existing; // 0: no destination yet
        mode_t expected;
    } cases[] = {
        {0644, false, 0, 0644},   {0644, true, 0, 0600},     {0640, false, 0, 0600},
        {0600, false, 0, 0600},   {0604, false, 0, 0644},    {0600, false, 0666, 0600},
        {0644, true, 0666, 0600}, {0644, false, 0600, 0644},
    };
    const mode_t saved = umask(077); // even a strict process mask gives a shared copy its 0644
    int i = 0;
    for (const auto &c : cases) {
        std::string src = "src" + std::to_string(i), dst = "dst" + std::to_string(i);
        ++i;
        write(src, "secret", c.source);
        if (c.existing != 0) write(dst, "old content", c.existing);
        EXPECT_TRUE(copyFile(path(src).c_str(), path(dst).c_str(), c.privateFlag, nullptr));
        EXPECT_EQ(modeOf(dst), c.expected) << std::oct << "source " << c.source << " private "
                                           << c.privateFlag << " existing " << c.existing;
        EXPECT_EQ(read(dst), "secret");
    }
    EXPECT_EQ(umask(saved), 077u) << "the process creation mask is unchanged";
}

TEST_F(FileHelpers, ScanDirsFirstListsSubdirectoriesThenFilesWithoutHiddenOnes) {
    write("b", "1");
    write("c", "1");
    write(".hidden", "1");
    fs::create_directory(path("d"));
    fs::create_directory(path("a"));
    DirList list;
    EXPECT_EQ(list.count, -1);
    ASSERT_EQ(list.scanDirsFirst(dir.c_str()), 4);
    std::vector<std::string> names;
    for (int i = 0; i < list.count; ++i)
        names.push_back(list.name(i));
    EXPECT_EQ(names, (std::vector<std::string>{"a", "d", "b", "c"}));
    EXPECT_EQ(list.name(4), nullptr);
    EXPECT_EQ(list.name(-1), nullptr);
    list.clear();
    EXPECT_EQ(list.count, -1);
    EXPECT_EQ(list.name(0), nullptr);
}

TEST_F(FileHelpers, ScanNewestFirstOrdersByStatusChangeTime) {
    // Status-change times are compared in whole seconds: the changes are a second apart.
    write("a", "1");
    write("c", "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    write("b", "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ::chmod(path("a").c_str(), 0600); // a mode change renews the status-change time
    DirList list;
    ASSERT_EQ(list.scanNewestFirst(dir.c_str()), 3);
    EXPECT_STREQ(list.name(0), "a");
    EXPECT_STREQ(list.name(1), "b");
    EXPECT_STREQ(list.name(2), "c");
    list.clear();
}

TEST_F(FileHelpers, ScanOfAMissingDirectoryListsNothingButHoldsTheLock) {
    DirList list;
    EXPECT_EQ(list.scanDirsFirst(path("missing").c_str()), 0);
    EXPECT_EQ(list.name(0), nullptr);
    EXPECT_TRUE(list.locked);
    std::async(std::launch::async, [&] { EXPECT_EQ(pthread_mutex_trylock(&list.lock), EBUSY); }).get();
    list.clear();
    EXPECT_FALSE(list.locked);
}

TEST_F(FileHelpers, ScanAgainOnTheHoldingThreadClearsAndRetakes) {
    write("x", "1");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    DirList list;
    EXPECT_EQ(list.scanDirsFirst(dir.c_str()), 1);
    write("y", "1");
    EXPECT_EQ(list.scanDirsFirst(dir.c_str()), 2);
    EXPECT_STREQ(list.name(1), "y");
    // Still held by this thread only.
    std::async(std::launch::async, [&] { EXPECT_EQ(pthread_mutex_trylock(&list.lock), EBUSY); }).get();
    list.clear();
    std::async(std::launch::async, [&] {
        EXPECT_EQ(pthread_mutex_trylock(&list.lock), 0);
        pthread_mutex_unlock(&list.lock);
    }).get();
    // The working directory of the process is not touched by a scan.
    char after[4096];
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(after, cwd);
}

TEST_F(FileHelpers, ScanOnAnotherTaskWaitsUntilTheHolderClears) {
    write("x", "1");
    DirList list;
    ASSERT_EQ(list.scanDirsFirst(dir.c_str()), 1); // held by this thread

    std::atomic<int> messages{0};
    std::atomic<bool> scanned{false};
    std::promise<int> result;
    const int base = countTasks();
    auto *task = new ScanTask(
        [&] {
            int n = list.scanDirsFirst(dir.c_str());
            scanned = true;
            result.set_value(n);
            EXPECT_STREQ(list.name(0), "x");
            EXPECT_STREQ(list.name(1), "y");
            list.clear();
        },
        &messages);
    testing::internal::CaptureStderr();
    int number = task->start(0x10000);
    ASSERT_GT(number, 0);
    // While it waits for the lock, the task still reads its messages (it waits through
    // its own pipe), and this thread's listing stays intact.
    ASSERT_TRUE(eventually([&] { return Task::postTo(number, configChangedMsg) == 0 && messages > 0; }));
    EXPECT_FALSE(scanned);
    EXPECT_STREQ(list.name(0), "x");
    EXPECT_EQ(list.count, 1);
    write("y", "1");
    list.clear();
    EXPECT_EQ(result.get_future().get(), 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Param lock Mutex: "), std::string::npos);
    EXPECT_TRUE(eventually([&] { return countTasks() == base; }));
    EXPECT_FALSE(list.locked);
}

TEST_F(FileHelpers, ScanOnAPlainThreadWaitsUntilTheHolderClears) {
    DirList list;
    list.scanDirsFirst(dir.c_str());
    std::atomic<bool> scanned{false};
    testing::internal::CaptureStderr();
    std::thread other([&] {
        list.scanDirsFirst(dir.c_str());
        scanned = true;
        list.clear();
    });
    // Outside a task the waiting thread sleeps between attempts; it cannot get through
    // while this thread holds the listing.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(scanned);
    list.clear();
    other.join();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Param lock Mutex: "), std::string::npos);
    EXPECT_TRUE(scanned);
    EXPECT_FALSE(list.locked);
}

TEST_F(FileHelpers, RemoveFilesDeletesFilesButNotDirectories) {
    write("a", "data");
    write("b", "");
    write(".hidden", "");
    fs::create_directory(path("sub"));
    DirList list;
    // Only the empty ones.
    EXPECT_TRUE(list.removeFiles(dir.c_str(), true));
    EXPECT_TRUE(fs::exists(path("a")));
    EXPECT_FALSE(fs::exists(path("b")));
    EXPECT_TRUE(fs::exists(path(".hidden"))) << "hidden entries are not listed";
    EXPECT_TRUE(fs::exists(path("sub")));
    EXPECT_FALSE(list.locked);
    // All of them.
    write("c", "more");
    EXPECT_TRUE(list.removeFiles(dir.c_str(), false));
    EXPECT_FALSE(fs::exists(path("a")));
    EXPECT_FALSE(fs::exists(path("c")));
    EXPECT_TRUE(fs::exists(path("sub")));
    EXPECT_EQ(list.count, -1);
    // Nothing listed: false, and the lock is not kept.
    fs::remove(path("sub"));
    EXPECT_FALSE(list.removeFiles(dir.c_str(), false));
    EXPECT_FALSE(list.removeFiles(path("missing").c_str(), false));
    EXPECT_FALSE(list.locked);
}

TEST_F(FileHelpers, ForEachCertFileVisitsExistingFilesThenHashLinksInOrder) {
    const std::string certs = path("certs");
    fs::create_directories(certs + "/802.1x");
    for (const char *name : {"cert_mime.pem", "cert_fpkey.pem", "cert.tmp", "cert_pkey.pem", "cert_srv.pem",
                             "b1c2d3e4.0", "a1b2c3d4.0", "short.0", "a1b2c3d4.1"})
        write("certs/" + std::string(name), "x");
    fs::create_symlink("../a1b2c3d4.0", certs + "/802.1x/0badcafe.0");

    std::vector<std::string> seen;
    EXPECT_TRUE(forEachCertFileIn(certs.c_str(), [&](const char *p) {
        seen.push_back(p);
        return true;
    }));
    std::vector<std::string> expected = {
        certs + "/cert_fpkey.pem", certs + "/cert_mime.pem", certs + "/cert.tmp",
        certs + "/a1b2c3d4.0",     certs + "/b1c2d3e4.0",    certs + "/802.1x/0badcafe.0",
    };
    EXPECT_EQ(seen, expected);

    // The first refusal ends the walk.
    seen.clear();
    EXPECT_FALSE(forEachCertFileIn(certs.c_str(), [&](const char *p) {
        seen.push_back(p);
        return seen.size() < 4;
    }));
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(FileHelpers, RestoresCertificatesAndHashLinksFromACard) {
    const std::string card = path("card"), certs = path("certs");
    fs::create_directories(card + "/802.1x");
    fs::create_directories(certs + "/802.1x");
    for (const char *name :
         {"cert_fpkey.pem", "cert_fsrv.pem", "cert_pkey.pem", "a1b2c3d4.0", "short.0", "802.1x/0badcafe.0"})
        write("card/" + std::string(name), name);
    EXPECT_TRUE(restoreCertsInto(card.c_str(), certs.c_str()));
    EXPECT_EQ(read("certs/cert_fsrv.pem"), "cert_fsrv.pem");
    EXPECT_EQ(read("certs/a1b2c3d4.0"), "a1b2c3d4.0");
    EXPECT_EQ(read("certs/802.1x/0badcafe.0"), "802.1x/0badcafe.0");
    EXPECT_FALSE(fs::exists(certs + "/cert_pkey.pem")) << "not one of the files kept on the card";
    EXPECT_FALSE(fs::exists(certs + "/short.0"));
    // The device key is a private copy.
    EXPECT_EQ(modeOf("certs/cert_fpkey.pem") & 077, 0u);
    EXPECT_EQ(read("certs/cert_fpkey.pem"), "cert_fpkey.pem");
    // Without the 802.1x directory its links cannot be copied.
    fs::remove_all(certs + "/802.1x");
    EXPECT_FALSE(restoreCertsInto(card.c_str(), certs.c_str()));
}

TEST_F(FileHelpers, ForEachCertFileReportsAnUnreadableDirectoryAndGoesOn) {
    const std::string certs = path("certs");
    fs::create_directories(certs);
    write("certs/cert_req.pem", "x");
    std::vector<std::string> seen;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(forEachCertFileIn(certs.c_str(), [&](const char *p) {
        seen.push_back(p);
        return true;
    }));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(seen, std::vector<std::string>{certs + "/cert_req.pem"});
    EXPECT_NE(out.find("802.1x"), std::string::npos) << out;
}

TEST_F(FileHelpers, ReadLastLineCases) {
    struct Case {
        const char *content;
        size_t n;
        bool ok;
        const char *line; // null: not checked
    } cases[] = {
        {"first line\ndone\npartial", 12, true, "partial"}, // last 12 bytes: "done\npartial"
        {"all\nlines\nend\n", 12, true, ""},
        {"xy\nab", 5, true, "ab"},
        {"xyz\na", 5, false, nullptr},             // one byte after the newline
        {"no newline at all", 10, false, nullptr}, // no newline in the bytes read
        {"short", 12, false, nullptr},             // shorter than n: the seek fails
        {"x\n", 1, true, ""},
        {"hello\nworld", 11, true, "world"},
    };
    for (const auto &c : cases) {
        write("f", c.content);
        int fd = ::open(path("f").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::vector<char> buf(c.n + 4, '#');
        EXPECT_EQ(readLastLine(fd, buf.data(), c.n), c.ok) << c.content;
        if (c.line) {
            EXPECT_STREQ(buf.data(), c.line) << c.content;
        }
        for (size_t i = c.n; i < buf.size(); ++i)
            EXPECT_EQ(buf[i], '#');
        ::close(fd);
    }
    char buf[8];
    EXPECT_FALSE(readLastLine(-1, buf, sizeof buf));
}
