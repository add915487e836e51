// The monitoring, backup and download pages: the monitor settings with their state, the
// log dumps, the backup page and the download table of `GetFileStream`.
#pragma once

#include <cstdint>
#include <string>

class HtmlStreamer;

// One row of the download table.
struct FileStreamRow {
    const char *urlTail; // matched as a prefix of the page's file name
    const char *file;    // appliance path
    void (*writer)(HtmlStreamer &s);
    const char *downloadName; // the attachment name after "<default name>_"
};

// The rows, ended by a row with a null URL tail.
const FileStreamRow *fileStreamTable();
// The first row whose URL tail is a prefix of the file name; null when none.
const FileStreamRow *findFileStreamRow(const char *fileName);

// The streamer writers of the downloads and dumps. The log dumps write HTML when the
// streamer's text is empty, plain text otherwise.
void writeMonitorLog(HtmlStreamer &s);
void writeSystemLog(HtmlStreamer &s);
void writeParameterFile(HtmlStreamer &s);
void writeHiddenParameterFile(HtmlStreamer &s);
// Copies the row's file as it is.
void writeDownloadCopy(HtmlStreamer &s);

// Texts of the monitor and backup pages.
std::string dailyBackupText(bool on, int hour);
bool smtpUsable(bool haveServer, bool auth, bool smtpUser, bool smtpPassword, bool pop3User,
                bool pop3Password);
std::string slotMountText(uint64_t totalKiB, uint64_t freeKiB);

// Draws the load chart into "/tmp/workload.bmp" when the last drawing is older than a
// second: into a temporary file renamed over it, so a download never reads half a chart.
// False when the chart could not be written.
bool refreshLoadChart();
