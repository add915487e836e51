// Page streamers and the stock writers, read through their pipe.

#include "web/htmlstrm.h"

#include "web_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs the writer of a streamer that is not started, on this thread, and returns what
// it wrote into its pipe.
std::string streamed(HtmlStreamer *s, HtmlStreamer::Writer writer) {
    int fd = s->readEnd;
    s->readEnd = -1;
    std::string text;
    std::thread reader([&] {
        char block[4096];
        ssize_t n;
        while ((n = ::read(fd, block, sizeof block)) > 0)
            text.append(block, static_cast<size_t>(n));
    });
    s->writer = writer;
    s->run();
    delete s;
    reader.join();
    ::close(fd);
    return text;
}

TEST(HtmlStreamerTest, DirectoryListingEscapesNamesAndLeadsUp) {
    WebDir dir;
    std::string base = dir.path() + "/list";
    ::mkdir(base.c_str(), 0755);
    ::mkdir((base + "/sub").c_str(), 0755);
    { std::ofstream(base + "/<b>.txt") << "x"; }
    ::chmod((base + "/<b>.txt").c_str(), 0644);
    ::symlink("sub", (base + "/link").c_str());
    char before[4096];
    ASSERT_NE(::getcwd(before, sizeof before), nullptr);
    std::string out = streamed(new HtmlTextStreamer("test", base.c_str()), writeDirListing);
    char after[4096];
    ASSERT_NE(::getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after);
    EXPECT_NE(out.find("<h3 class=\"info\">" + base + "</h3>"), std::string::npos) << out;
    EXPECT_NE(out.find("parent directory"), std::string::npos);
    EXPECT_NE(out.find("&lt;b&gt;.txt"), std::string::npos);
    EXPECT_EQ(out.find("<b>.txt"), std::string::npos);
    EXPECT_NE(out.find("<td>drwxr-xr-x</td>"), std::string::npos);
    EXPECT_NE(out.find("filler('/info/dir?" + base + "/sub','en')"), std::string::npos);
    EXPECT_NE(out.find("-> " + base + "/sub</td>"), std::string::npos);

    out = streamed(new HtmlTextStreamer("test", "/"), writeDirListing);
    EXPECT_EQ(out.find("parent directory"), std::string::npos);
    out = streamed(new HtmlTextStreamer("test", (base + "/none").c_str()), writeDirListing);
    EXPECT_NE(out.find("<pre>scandir("), std::string::npos);
}

TEST(HtmlStreamerTest, FileCopyOnlyOfFilesReadableByOthers) {
    WebDir dir;
    std::string open = dir.path() + "/open.txt", closed = dir.path() + "/closed.txt";
    { std::ofstream(open) << "visible"; }
    { std::ofstream(closed) << "secret"; }
    ::chmod(open.c_str(), 0644);
    ::chmod(closed.c_str(), 0600);
    EXPECT_EQ(streamed(new HtmlTextStreamer("test", open.c_str()), writeFileCopy), "visible");
    EXPECT_EQ(streamed(new HtmlTextStreamer("test", closed.c_str()), writeFileCopy), "Access denied");
    EXPECT_EQ(streamed(new HtmlTextStreamer("test", nullptr), writeFileCopy), "Access denied");
}

TEST(HtmlStreamerTest, InformationWriters) {
    std::string out = streamed(new HtmlStreamer("test"), writeNetCounters);
    EXPECT_NE(out.find("<H3> Net interface statistics </H3>"), std::string::npos);
    out = streamed(new HtmlStreamer("test"), writeDeviceInfo);
    EXPECT_NE(out.find("General version information"), std::string::npos);
    EXPECT_NE(out.find("/romfs"), std::string::npos);
    out = streamed(new HtmlStreamer("test"), writeThreadInfo);
    EXPECT_NE(out.find("Thread Information Table"), std::string::npos);
    EXPECT_NE(out.find("</tbody></table>"), std::string::npos);
}

} // namespace
