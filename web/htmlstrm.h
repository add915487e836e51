// Page streamers: a short-lived task that writes the dynamic part of a page into a pipe
// while the connection task copies the pipe to the client. A page handler creates one,
// sets its writer, starts it and returns HtmlStreamer::answer(). The stock writers list
// the tasks, the network counters, the device and version information, a directory and
// a file.
#pragma once

#include "core/buffer.h"
#include "core/task.h"

#include <cstddef>
#include <string>

class HttpConnection;

class HtmlStreamer : public Task {
public:
    using Writer = void (*)(HtmlStreamer &s);

    explicit HtmlStreamer(const char *taskName, Buffer *argument = nullptr);
    ~HtmlStreamer() override;
    void run() override;

    // Writes all bytes, each write waiting up to 60 s for room; false when the reader
    // went away or the time ran out.
    bool write(const void *bytes, size_t length);
    int printf(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Writes text with '&', '<', '>' and quotes as entities.
    bool writeEscaped(const char *text);

    // Starts the streamer with its writer and sets the connection's content type; the
    // page-handler result, or a server error when the pipe or the thread failed.
    int startFor(HttpConnection &c, Writer writer, const char *contentType = "text/html");

    uint32_t written = 0;
    Buffer argument;
    int readEnd = -1;
    int writeEnd = -1;
    Writer writer = nullptr;

private:
    char text_[4096];
};

// A streamer with a text argument (a path).
class HtmlTextStreamer : public HtmlStreamer {
public:
    HtmlTextStreamer(const char *taskName, const char *text);
    std::string text;
    bool hasText = false;
};

void writeThreadInfo(HtmlStreamer &s);
void writeNetCounters(HtmlStreamer &s);
void writeDeviceInfo(HtmlStreamer &s);
// The Wi-Fi status page of the Wi-Fi manager.
void writeWlanInfo(HtmlStreamer &s);
// The argument of these two is the text of an HtmlTextStreamer.
void writeDirListing(HtmlStreamer &s);
void writeFileCopy(HtmlStreamer &s);
