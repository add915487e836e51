// The load chart: the whole history drawn into a 4-bit image, oldest sample on the
// left, and written as a BMP file, plain or run-length coded.
#include "core/load.h"

#include "core/ptable.h"
#include "param_catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t HeaderBytes = 14 + 40 + 64; // file header, information header, palette
constexpr int GridColour = 12;

// Palette entries as red, green, blue.
constexpr uint8_t Palette[16][3] = {
    {0x00, 0x00, 0x40}, {0xFF, 0xFF, 0xA2}, {0xFF, 0xD7, 0x00}, {0xD2, 0x69, 0x1E},
    {0xFF, 0x8C, 0x00}, {0xE5, 0xC5, 0x04}, {0xED, 0x4A, 0x01}, {0x99, 0xFF, 0x66},
    {0x50, 0xBB, 0x11}, {0x06, 0x8C, 0x32}, {0x00, 0x66, 0x22}, {0x94, 0x00, 0xD3},
    {0x00, 0x00, 0x80}, {0xBE, 0xBE, 0xBE}, {0x69, 0x69, 0x69}, {0xDD, 0xA0, 0xDD},
};

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// Columns between two time marks for the "deltaload" choice; 0 for none.
int markSpacing() {
    ptable();
    int32_t index = p_deltaload->current();
    if (index < 0 || index >= p_deltaload->optionCount()) return 0;
    const char *keyword = p_deltaload->options()[index].keyword;
    // A mark every minute of "10m"; every 10 minutes of "1h"; every hour of "8h" and
    // "1d"; every day of "1w": the seconds over the sample divider of the choice.
    static const struct {
        const char *keyword;
        int spacing;
    } marks[] = {{"10m", 60}, {"1h", 600 / 5}, {"8h", 3600 / 38}, {"1d", 3600 / 113}, {"1w", 86400 / 788}};
    for (const auto &m : marks)
        if (std::strcmp(keyword, m.keyword) == 0) return m.spacing;
    return 0;
}

bool writeAll(int fd, const uint8_t *data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

LoadGraph::LoadGraph(int width, int height)
    : width_(std::max(width, 1)), height_(std::max(height, 1)),
      // Rows of a BMP are padded to whole 32-bit words.
      rowBytes_((static_cast<size_t>(width_) + 7) / 8 * 4) {
    std::memset(headers_, 0, sizeof headers_);
    headers_[0] = 'B';
    headers_[1] = 'M';
    put32(headers_ + 10, HeaderBytes);
    put32(headers_ + 14, 40);
    put32(headers_ + 18, static_cast<uint32_t>(width_));
    put32(headers_ + 22, static_cast<uint32_t>(height_));
    put16(headers_ + 26, 1);
    put16(headers_ + 28, 4);
    put32(headers_ + 38, 3780);
    put32(headers_ + 42, 3780);
    put32(headers_ + 46, 16);
    for (int i = 0; i < 16; i++) {
        palette_[i * 4] = Palette[i][2];
        palette_[i * 4 + 1] = Palette[i][1];
        palette_[i * 4 + 2] = Palette[i][0];
        palette_[i * 4 + 3] = 0;
    }
}

void LoadGraph::setPixel(int x, int row, int colour) {
    if (x < 0 || x >= width_ || row < 0 || row >= height_) return;
    uint8_t &b = image_[static_cast<size_t>(row) * rowBytes_ + static_cast<size_t>(x) / 2];
    if (x % 2 == 0)
        b = static_cast<uint8_t>((b & 0x0F) | (colour << 4));
    else
        b = static_cast<uint8_t>((b & 0xF0) | (colour & 0x0F));
}

void LoadGraph::bar(int x, int value, int colour) {
    if (value == 0 || value >= height_) return;
    for (int row = value; row >= 0; row--)
        setPixel(x, row, colour);
}

void LoadGraph::point(int x, int value, int colour) {
    if (value == 0 || value >= height_) return;
    setPixel(x, value, colour);
}

void LoadGraph::draw(const LoadHistory &history) {
    image_.assign(rowBytes_ * static_cast<size_t>(height_), 0);

    for (int row : {height_ / 4, height_ / 2, 3 * height_ / 4})
        for (int x = 0; x < width_; x++)
            setPixel(x, row, GridColour);
    if (int spacing = markSpacing(); spacing > 0)
        for (int x = width_ - spacing; x > 0; x -= spacing)
            for (int row = 0; row < height_; row++)
                setPixel(x, row, GridColour);

    ptable();
    const uint32_t filter = static_cast<uint32_t>(p_wl_filter->value());
    auto on = [filter](int bit) { return (filter & (1u << bit)) != 0; };
    const SensorSetup &setup = history.setup();
    const unsigned product = setup.productId;
    const bool extended = hasExtendedSensorBoard(product);
    const int index = history.writeIndex();

    for (int x = 0; x < width_; x++) {
        const int slot = (x + index) % LoadSampleCount;
        auto s = [&](int series) { return static_cast<int>(history.value(series, slot)); };

        // Both cores: the larger bar first so that the smaller one stays visible on it.
        const int cpu0 = on(0) ? s(LoadCpu0) : 0;
        const int cpu1 = on(1) ? s(LoadCpu1) : 0;
        if (cpu1 > cpu0) {
            bar(x, cpu1, 2);
            bar(x, cpu0, 1);
        } else {
            bar(x, cpu0, 1);
            bar(x, cpu1, 2);
        }
        if (on(13)) bar(x, s(LoadUsbOut), 14);
        if (on(12)) bar(x, s(LoadUsbIn), 13);
        if (on(3)) point(x, s(LoadMemFree), 11);
        if (on(2)) point(x, s(LoadMemAvailable), 15);
        if (on(4) && hasMainTemperature(setup)) point(x, s(LoadMainTemperature), 6);
        if (product == 317) {
            if (on(5)) point(x, s(LoadTemperature2), 3);
            if (on(6)) point(x, s(LoadTemperature3), 4);
        }
        if (extended) {
            if (on(5)) point(x, s(LoadTemperature2), 3);
            if (on(9)) point(x, s(LoadCurrentB), 8);
            if (on(8)) point(x, s(LoadCurrentA), 7);
            if (product == 295) {
                if (on(6)) point(x, s(LoadTemperature3), 4);
                if (on(7)) point(x, s(LoadPhyTemperature), 5);
                if (on(10)) point(x, s(LoadCurrentC), 9);
                if (on(11)) point(x, s(LoadCurrentD), 10);
                if (s(LoadFan) != 0) setPixel(x, height_ - 1, 5);
            }
        }
    }
}

size_t LoadGraph::encode(std::string &out) const {
    // Each row as runs of identical bytes (two pixels each, at most 127 bytes a run),
    // ended by 00 00; the image ended by 00 01.
    const size_t usedBytes = (static_cast<size_t>(width_) + 1) / 2;
    out.clear();
    for (int row = 0; row < height_; row++) {
        const uint8_t *p = image_.data() + static_cast<size_t>(row) * rowBytes_;
        size_t pixelsLeft = static_cast<size_t>(width_);
        for (size_t i = 0; i < usedBytes;) {
            size_t run = 1;
            while (i + run < usedBytes && run < 127 && p[i + run] == p[i])
                run++;
            size_t pixels = std::min(run * 2, pixelsLeft);
            out.push_back(static_cast<char>(pixels));
            out.push_back(static_cast<char>(p[i]));
            pixelsLeft -= pixels;
            i += run;
        }
        out.push_back(0);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(1);
    return out.size();
}

int LoadGraph::write(bool runLength, const char *path) {
    return write(loadHistory(), runLength, path);
}

int LoadGraph::write(const LoadHistory &history, bool runLength, const char *path) {
    if (path == nullptr) return 0;
    draw(history);

    std::string encoded;
    const uint8_t *data = image_.data();
    size_t dataSize = image_.size();
    uint8_t headers[54];
    std::memcpy(headers, headers_, sizeof headers);
    put32(headers + 30, runLength ? 2 : 0);
    if (runLength) {
        dataSize = encode(encoded);
        data = reinterpret_cast<const uint8_t *>(encoded.data());
        // Readers of run-length coded images need the coded size.
        put32(headers + 34, static_cast<uint32_t>(dataSize));
    }
    put32(headers + 2, static_cast<uint32_t>(dataSize + HeaderBytes));

    // A fresh file every time: whatever stood at the path (also a link) is removed
    // first, and the file is never opened through a link.
    if (::unlink(path) != 0 && errno != ENOENT) return 0;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0744);
    if (fd < 0) return 0;
    // The mode is set on the descriptor rather than through the process-wide file
    // creation mask, which other threads create their files under.
    bool ok = ::fchmod(fd, 0744) == 0 && writeAll(fd, headers, sizeof headers) &&
              writeAll(fd, palette_, sizeof palette_) && writeAll(fd, data, dataSize);
    if (::close(fd) != 0) ok = false;
    return ok ? 1 : 0;
}
