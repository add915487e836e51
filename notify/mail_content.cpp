// Mail content: subjects, the header block, the event sections, the status bodies, the
// monitoring mail and the MIME layout of the message.

#include "notify/mail_content.h"

#include "core/buffer.h"
#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/task.h"
#include "core/ticks.h"
#include "core/utils_file.h"
#include "core/utils_text.h"
#include "notify/notify.h"
#include "notify/notify_internal.h"
#include "param_catalogue.h"
#include "usbserver/usb_device.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longest expansion of a template before it is cut to the output.
constexpr size_t SubjectRawMax = 1024;
// A parameter-backup file is attached when it holds 1 to 65,535 bytes.
constexpr off_t BackupMax = 65535;

struct Symbol {
    const char *utf8;
    const char *html;
};
const Symbol symbols[4] = {
    {"\xF0\x9F\x94\xA7", "&#x1F527;"}, // wrench
    {"\xE2\x9D\x97", "&#x2757;"},      // heavy exclamation mark
    {"\xF0\x9F\x9A\xA8", "&#x1F6A8;"}, // rotating light
    {"\xF0\x9F\x8F\x81", "&#x1F3C1;"}, // chequered flag
};

bool localNow(struct tm &out) {
    time_t now = applianceTime();
    return now != static_cast<time_t>(-1) && localtime_r(&now, &out) != nullptr;
}

std::string timeZoneLabel() {
    return p_ntp_tzone ? p_ntp_tzone->choiceCode() : "";
}

std::string productShortName() {
    const char *name = productParams().productName;
    size_t n = std::strcspn(name, " -");
    return std::string(name, n);
}

// Whether a byte is written as "=XX" inside an encoded word.
bool qEncoded(unsigned char c) {
    return c < 0x20 || c >= 0x7f || c == '=' || c == '?' || c == '_';
}

// Length of the UTF-8 sequence a lead byte starts (1 for anything else).
size_t sequenceLength(unsigned char c) {
    if (c >= 0xf0 && c < 0xf8) return 4;
    if (c >= 0xe0) return c < 0xf0 ? 3 : 1;
    if (c >= 0xc0) return 2;
    return 1;
}

std::string macText() {
    const uint8_t *m = productParams().factoryMac;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

int firmwareVersion() {
    auto hook = moniLogHooks().firmwareVersion;
    return hook ? hook() : 0;
}

// The quoted tag of a port (zqn_tag_N) with its leading blank, "" when unset.
std::string portTag(int port) {
    std::string tag = notify::text(ptable().find("zqn_tag_", 8, port));
    return tag.empty() ? "" : " \"" + tag + "\"";
}

// The size of the USB sections: 2 KiB a port, 4 KiB more above 6 ports, 16 KiB at least.
int32_t usbSectionSize() {
    int ports = static_cast<int>(std::min<uint32_t>(productParams().usbPorts, UsbMaxPorts));
    int32_t size = ports * 2048 + (ports > 6 ? 4096 : 0);
    return std::max<int32_t>(size, 16384);
}

// The body grows by the room a section needs; false (body unchanged) without memory.
bool reserve(Buffer &body, int32_t more) {
    if (body.room() >= more) return true;
    Buffer bigger;
    if (!bigger.createMalloc(body.length + more + 1)) return false;
    if (body.length > 0) std::memcpy(bigger.base, body.cursor, static_cast<size_t>(body.length));
    bigger.length = body.length;
    body = std::move(bigger);
    return true;
}

// A file of the monitoring log: "<device name>_NN.log".
bool isMonitorFile(const char *name) {
    const char *device = productParams().defaultName;
    size_t n = std::strlen(device);
    if (std::strncmp(name, device, n) != 0) return false;
    const char *rest = name + n;
    return rest[0] == '_' && rest[1] >= '0' && rest[1] <= '9' && rest[2] >= '0' && rest[2] <= '9' &&
           std::strcmp(rest + 3, ".log") == 0;
}

} // namespace

int format_mail_subject(const char *eventText, const char *templ, char *out, size_t size, int mailMode) {
    if (out == nullptr || size == 0) return 0;
    out[0] = '\0';
    if (templ == nullptr) return 0;
    ptable();
    const ProductParams &product = productParams();
    std::string raw;
    bool symbol = false;
    struct tm now {};
    bool haveTime = localNow(now);
    for (const char *t = templ; *t && raw.size() < SubjectRawMax; t++) {
        if (*t != '%') {
            raw += *t;
            continue;
        }
        char c = *++t;
        if (c == '\0') break;
        char buf[64];
        switch (c) {
        case '%':
            raw += '%';
            break;
        case '1':
        case '2':
        case '3':
        case '4':
            symbol = true;
            raw += mailMode ? symbols[c - '1'].utf8 : symbols[c - '1'].html;
            break;
        case 'D':
            if (haveTime) {
                std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", now.tm_mday, now.tm_mon + 1,
                              now.tm_year + 1900);
                raw += buf;
            }
            break;
        case 'E':
            raw += eventText ? eventText : "";
            break;
        case 'H':
            raw += notify::text(p_sys_name);
            break;
        case 'I':
            raw += notify::ipText();
            break;
        case 'M':
            raw += macText();
            break;
        case 'N':
            raw += product.defaultName;
            break;
        case 'P':
            raw += product.productName;
            break;
        case 'p':
            raw += productShortName();
            break;
        case 'T':
            if (haveTime) {
                std::snprintf(buf, sizeof buf, "%02d:%02d:%02d %-24s", now.tm_hour, now.tm_min, now.tm_sec,
                              timeZoneLabel().c_str());
                raw += buf;
            }
            break;
        default:
            break; // an unknown placeholder is dropped
        }
    }
    if (raw.size() > SubjectRawMax) raw.resize(SubjectRawMax);

    bool encode = false;
    if (mailMode) {
        encode = symbol;
        for (unsigned char c : raw)
            encode = encode || c >= 0x80 || c < 0x20 || c == 0x7f;
    }
    size_t n = 0;
    if (!encode) {
        n = std::min(raw.size(), size - 1);
        std::memcpy(out, raw.data(), n);
        out[n] = '\0';
        return static_cast<int>(n);
    }
    const char *open = "=?utf-8?Q?";
    if (size < std::strlen(open) + 3) return 0;
    std::memcpy(out, open, std::strlen(open));
    n = std::strlen(open);
    // Whole characters only, and room kept for "?=" and the zero.
    for (size_t i = 0; i < raw.size();) {
        size_t len = std::min(sequenceLength(static_cast<unsigned char>(raw[i])), raw.size() - i);
        char piece[16];
        size_t p = 0;
        for (size_t k = 0; k < len; k++) {
            unsigned char c = static_cast<unsigned char>(raw[i + k]);
            if (c == ' ')
                piece[p++] = '_';
            else if (qEncoded(c))
                p += static_cast<size_t>(std::snprintf(piece + p, sizeof piece - p, "=%02X", c));
            else
                piece[p++] = static_cast<char>(c);
        }
        if (n + p + 3 > size) break;
        std::memcpy(out + n, piece, p);
        n += p;
        i += len;
    }
    out[n++] = '?';
    out[n++] = '=';
    out[n] = '\0';
    return static_cast<int>(n);
}

namespace notify {

bool composeMessage(const Buffer &body, const char *attachName, const Buffer *attach, std::string &out) {
    out.clear();
    const std::string text =
        body.length > 0 ? std::string(body.cursor, static_cast<size_t>(body.length)) : "";
    if (p_smtp_sign->isOn()) {
        // Signed or encrypted by the certificate store; attachments are not sent.
        Buffer signedBody;
        if (smime_build_body != nullptr && signedBody.createMalloc(body.length * 2 + 3062 + 1152)) {
            Buffer input;
            if (input.createMalloc(body.length + 1)) {
                if (body.length > 0) std::memcpy(input.base, body.cursor, static_cast<size_t>(body.length));
                input.length = body.length;
                if (smime_build_body(nullptr, input, signedBody, nullptr) && signedBody.length > 0) {
                    out.assign(signedBody.cursor, static_cast<size_t>(signedBody.length));
                    return true;
                }
            }
        }
        char note[512];
        std::snprintf(
            note, sizeof note,
            "\r\n\r\n  S/MIME failure.\r\n"
            "\r\n  Check the device configuration. For further information; see: %s User Manual.\r\n",
            productParams().productName);
        out = note;
        return true;
    }
    out += "MIME-Version: 1.0\r\n";
    const std::string delimiter = std::string("--") + MailBoundary;
    if (attachName != nullptr) {
        out += std::string("Content-Type: multipart/mixed;\r\n boundary=\"") + MailBoundary + "\"\r\n";
        out += "\r\nThis is a multi-part message in MIME format.\r\n" + delimiter + "\r\n";
    }
    if (attachName == nullptr || attach != nullptr) {
        out += "Content-Type: text/plain;\r\n charset=utf-8\r\n\r\n";
        out += text;
    }
    if (attachName != nullptr) {
        const char *data = attach ? attach->cursor : body.cursor;
        size_t length = static_cast<size_t>(attach ? attach->length : body.length);
        // Delimiters stand at line starts.
        if (!out.empty() && out.back() != '\n') out += "\r\n";
        out += delimiter + "\r\n";
        out += "Content-Type: text/plain;\r\n";
        out += std::string(" name=") + attachName + "\r\n";
        out += " charset=utf-8\r\n";
        out += "Content-Transfer-Encoding: base64\r\n";
        out += "Content-Disposition: inline;\r\n";
        out += std::string(" filename=\"") + attachName + "\"\r\n\r\n";
        std::string encoded(length * 2 + 16, '\0');
        size_t n = base64Encode(data, length, encoded.data(), encoded.size(), 0);
        out.append(encoded.data(), n);
        out += "\r\n" + delimiter + "--\r\n";
    }
    return true;
}

std::string dataText(const std::string &message) {
    std::string out;
    out.reserve(message.size() + message.size() / 32 + 8);
    bool lineStart = true;
    for (size_t i = 0; i < message.size(); i++) {
        char c = message[i];
        if (c == '\r') {
            // CR LF, or a bare CR: both end the line.
            out += "\r\n";
            if (i + 1 < message.size() && message[i + 1] == '\n') i++;
            lineStart = true;
            continue;
        }
        if (c == '\n') {
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = false;
    }
    return out;
}

} // namespace notify

void Notify::writeMailHeader(Buffer &body, const char *eventText) {
    struct tm now;
    if (!localNow(now)) return;
    const ProductParams &product = productParams();
    body.appendf("Device: %s\r\n", product.productName);
    body.appendf("Name: %s\r\n", product.defaultName);
    body.appendf("Serial number:%03d%04d%02d%05u\r\n", static_cast<int>(product.productId),
                 static_cast<int>(product.year), static_cast<int>(product.month), product.serialNo);
    const uint8_t *m = product.factoryMac;
    body.appendf("MAC address: %02X:%02X:%02X:%02X:%02X:%02X\r\n", m[0], m[1], m[2], m[3], m[4], m[5]);
    body.appendf("Time: %04d-%02d-%02d %02d:%02d:%02d %s\r\n", now.tm_year + 1900, now.tm_mon + 1,
                 now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, timeZoneLabel().c_str());
    body.appendf("================================\r\n");
    body.appendf("IPv4 address: %s\r\n", notify::ipText().c_str());
    if (notify::isSet(p_sys_name)) body.appendf("Host name: %s\r\n", notify::text(p_sys_name).c_str());
    if (notify::isSet(p_sys_descr)) body.appendf("Description: %s\r\n", notify::text(p_sys_descr).c_str());
    if (notify::isSet(p_sys_contact))
        body.appendf("Contact person: %s\r\n", notify::text(p_sys_contact).c_str());
    body.appendf("Software: %s\r\n", SoftwareVersionText);
    body.appendf("Firmware: %d.%d\r\n", static_cast<int>(product.productId), firmwareVersion());
    int64_t seconds = sysTicks() / 100;
    body.appendf("Uptime: %d days %02d:%02d:%02d hours\r\n\r\n", static_cast<int>(seconds / 86400),
                 static_cast<int>(seconds / 3600 % 24), static_cast<int>(seconds / 60 % 60),
                 static_cast<int>(seconds % 60));
    body.appendf("Event: %s\r\n\r\n", eventText ? eventText : "");
    if (senderAuthorised) body.appendf("TAN: %s\r\n\r\n", currentTan);
}

namespace {

// The USB device list of the status body.
void writeUsbDevices(Buffer &body) {
    Ptable &table = ptable();
    body.appendf("\r\n=== USB Devices ===================================================\r\n");
    int ports = static_cast<int>(std::min<uint32_t>(productParams().usbPorts, UsbMaxPorts));
    int entries = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    for (int port = 1; port <= ports; port++) {
        for (int e = 0; e < entries; e++) {
            UsbDevice &d = usbDeviceTable[e];
            if (d.port != port || d.state.load() <= 1) continue;
            int n = e + 1;
            body.appendf("\r\n Port %2d%s:\r\n ---------\r\n", port, portTag(port).c_str());
            const char *labels[3] = {" Manufacturer :", " Product      :", " Serial       :"};
            const char *families[3] = {"usb_manu_", "usb_prod_", "usb_sern_"};
            for (int k = 0; k < 3; k++) {
                Param *p = table.find(families[k], static_cast<int>(std::strlen(families[k])), n);
                if (p)
                    body.appendf("%s %s\r\n", labels[k], notify::text(p).c_str());
                else
                    body.appendf("%s -\r\n", labels[k]);
            }
            std::string owner = notify::text(table.find("usb_owner_", 10, n));
            if (d.state.load() == UsbEntryOpened) {
                char occupied[160];
                std::snprintf(occupied, sizeof occupied, getmuText("Occupied by %s"), owner.c_str());
                owner = occupied;
            }
            body.appendf(" Device status: %s\r\n", owner.c_str());
            auto *access = dynamic_cast<P3List *>(table.find("zqn_accctrl_", 12, n));
            const char *marks[3] = {nullptr, nullptr, nullptr};
            int count = 0;
            if (access && (access->equals("key") || access->equals("keyids")))
                marks[count++] = "port key control set";
            if (access && (access->equals("ids") || access->equals("keyids")))
                marks[count++] = "device allocation set";
            if (p_zqn_sec->isOn()) marks[count++] = "data encryption set";
            for (int k = 0; k < count; k++)
                body.appendf("%s %s\r\n", k == 0 ? " Port status  :" : "              :", marks[k]);
        }
    }
}

} // namespace

bool Notify::writeStatus(Buffer &body, const char *eventText) {
    if (!body.createMalloc(usbSectionSize() + 4096)) return false;
    writeMailHeader(body, eventText);
    writeUsbDevices(body);
    return true;
}

bool Notify::writeFullStatus(Buffer &body, bool parametersOnly) {
    Ptable &table = ptable();
    int count = 0;
    Param **items = table.getItems(count);
    int32_t size = usbSectionSize() + 4096 + 64 * 1024 + count * 160;
    if (!body.createMalloc(size)) return false;
    writeMailHeader(body, parametersOnly ? "Parmeter list" : "FullStatus");
    writeUsbDevices(body);
    if (!parametersOnly) {
        body.appendf("\r\n=== Memory info ===================================================\r\n\r\n");
        if (FILE *f = std::fopen("/proc/meminfo", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, f) && body.room() > 512) {
                size_t n = std::strcspn(line, "\n");
                body.appendf("\t%.*s\r\n", static_cast<int>(n), line);
            }
            std::fclose(f);
        }
        body.appendf("\r\n=== Thread info ===================================================\r\n\r\n");
        body.appendf(" No:   Id|Name                 |  used/free  | alive dd::hh:mm:ss\r\n");
        body.appendf(" --------+---------------------+-------------+-----------\r\n");
        if (TLOCK()) {
            int64_t now = sysTicks();
            for (int i = 0; i < TaskRegistrySize && body.room() > 256; i++) {
                Task *t = registrySlot(i);
                if (t == nullptr) continue;
                int64_t s = (now - t->startTick.load()) / 100;
                body.appendf(" %2d:%5d|%-20s | %5d/ -  | %3d::%02d:%02d:%02d\r\n", i, t->taskNumber,
                             t->name ? t->name : "", static_cast<int>(t->stackSize),
                             static_cast<int>(s / 86400), static_cast<int>(s / 3600 % 24),
                             static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
            }
            TUNLOCK();
        }
    }
    body.appendf("\r\n=== Params info ===================================================\r\n\r\n");
    constexpr uint32_t Hidden = 0x1000023;
    int width = 0;
    for (int i = 0; i < count; i++)
        if (items[i] && !items[i]->hasFlags(Hidden))
            width = std::max(width, static_cast<int>(std::strlen(items[i]->name())));
    char value[ParamMaxText + 1];
    for (int i = 0; i < count && body.room() > 256; i++) {
        Param *p = items[i];
        if (p == nullptr || p->hasFlags(Hidden)) continue;
        p->toText(value, sizeof value, true);
        body.appendf("\t%-*s = %s \r\n", width, p->name(), value);
    }
    return true;
}

int Notify::sendEventMail(uint32_t bits) {
    MailBatch batch;
    batch.bits = bits;
    return sendBatch(batch);
}

int Notify::sendPendingMail() {
    // The slots this mail takes: their mail bits and the sequence they had then. An
    // event recorded while the mail is written goes with the next one.
    MailBatch batch;
    {
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        batch.taken = mailPending;
        std::memcpy(batch.seq, slotSeq, sizeof batch.seq);
        for (int i = 0; i < NotifyRingSize; i++)
            if (batch.taken & (1u << i)) batch.bits |= ring[i].event;
    }
    if (batch.taken == 0) return 0;
    int result = sendBatch(batch);
    std::lock_guard<std::mutex> lock(notifyRingMutex());
    dropMailBits(batch.taken, batch.seq);
    return result;
}

int Notify::sendBatch(const MailBatch &batch) {
    const uint32_t bits = batch.bits;
    const char *eventText = nullptr;
    bool want1 = false, want2 = false;
    auto wish = [&](const char *text, Param *one, Param *two) {
        eventText = text;
        want1 = want1 || one->isOn();
        want2 = want2 || two->isOn();
    };
    const bool slot = (p_sw_features->value() & 0x200000) != 0;
    if (bits & 0x28221000) {
        const char *text = (bits & NotifyRestart)       ? "Restart"
                           : (bits & NotifyPowerInput)  ? "Power supply"
                           : (bits & NotifyLinkChanged) ? "Network link"
                                                        : "System warning";
        wish(text, p_notisys_1, p_notisys_2);
    }
    if (bits & 0xf00)
        wish((bits & (NotifyUsbAttached | NotifyUsbDetached)) ? "USB devices changed"
                                                              : "USB devices status changed",
             p_notiusb_1, p_notiusb_2);
    if (slot && (bits & NotifyCardEvents)) {
        if (bits & NotifyCardOut)
            wish("SDCard is plugged out", p_notisdcard_1, p_notisdcard_2);
        else if (!(bits & NotifyCardReady))
            wish((bits & NotifyCardMissing) ? "SDCard is missing" : "SDCard is unusable", p_notisdcard_1,
                 p_notisdcard_2);
    }
    if (bits & NotifyStatusInfo) wish("status information", p_notistat_1, p_notistat_2);
    if (bits & NotifyBackup) wish("Parameter backup", p_notibup_1, p_notibup_2);
    if (eventText == nullptr) return 0;
    want1 = want1 && notify::isSet(p_mailto_1);
    want2 = want2 && notify::isSet(p_mailto_2);
    if (!want1 && !want2) return 0;
    std::string to1 = notify::text(p_mailto_1), to2 = notify::text(p_mailto_2);
    const char *receivers[3] = {nullptr, nullptr, nullptr};
    int n = 0;
    if (want1) receivers[n++] = to1.c_str();
    if (want2) receivers[n++] = to2.c_str();

    senderAuthorised = true;
    char subject[256];
    std::string templ = notify::text(p_mailsub);
    format_mail_subject(eventText, templ.c_str(), subject, sizeof subject, 1);

    // One body: the header block once, then each section of the events taken.
    Buffer body;
    if (!body.createMalloc(4096)) return 1;
    writeMailHeader(body, eventText);
    Buffer attach;
    writeSections(body, attach, batch);

    std::string name;
    const char *attachName = nullptr;
    if (attach.length > 0) {
        name = std::string("parameters_") + productParams().defaultName + ".txt";
        attachName = name.c_str();
    }
    int sent = sendMail(receivers, subject, body, attachName, attach.length > 0 ? &attach : nullptr);
    if (want1) (sent ? mailOkCount[0] : mailFailCount[0])++;
    if (want2) (sent ? mailOkCount[1] : mailFailCount[1])++;
    return 1;
}

void Notify::writeSections(Buffer &body, Buffer &attach, const MailBatch &batch) {
    const uint32_t bits = batch.bits;
    const uint32_t taken = batch.taken;
    const uint32_t *seq = batch.seq;
    // Copies of the slots whose event one writer owns (taken under the lock, written
    // without it).
    auto slotsOf = [&](uint32_t owned, NotifyEvent *copies, int &count) {
        count = 0;
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        for (int i = 0; i < NotifyRingSize; i++) {
            if (!(taken & (1u << i)) || slotSeq[i] != seq[i] || !(ring[i].event & owned)) continue;
            copies[count++] = ring[i];
        }
    };
    NotifyEvent slots[NotifyRingSize];
    int count = 0;

    if (bits & 0xf00) {
        slotsOf(0xf00, slots, count);
        if (count > 0 && reserve(body, usbSectionSize())) {
            body.appendf("\r\n=== USB Devices ===================================================\r\n");
            for (int i = 0; i < count; i++) {
                const NotifyEvent &e = slots[i];
                body.appendf("\r\n Port %2d%s:\r\n ---------\r\n", e.aux, portTag(e.aux).c_str());
                body.appendf(" Manufacturer : %s\r\n", e.text1);
                body.appendf(" Product      : %s\r\n", e.text2);
                body.appendf(" Serial       : %s\r\n", e.text3);
                if (e.event & (NotifyUsbConnected | NotifyUsbDisconnected))
                    body.appendf(" Device status: recently %s %s\r\n",
                                 (e.event & NotifyUsbConnected) ? "connected by" : "disconnected from",
                                 e.text4);
                else if (e.event & NotifyUsbAttached)
                    body.appendf(" Device status: recently attached\r\n");
                else
                    body.appendf(" Device status: recently detached\r\n");
            }
        }
    }
    if (bits & NotifyPowerInput) {
        slotsOf(NotifyPowerInput, slots, count);
        if (count > 0 && reserve(body, 4096)) {
            body.appendf("\r\n=== Power supplies ===================================================\r\n");
            // The aux word as the power-input watch writes it: bit 0 input 1 good.
            for (int i = 0; i < count; i++) {
                body.appendf("\r\n Power supply 1 is switched %s", (slots[i].aux & 1) ? "on" : "off");
                body.appendf("\r\n Power supply 2 is switched %s\r\n ", (slots[i].aux & 2) ? "on" : "off");
            }
        }
    }
    if (bits & NotifyLinkChanged) {
        slotsOf(NotifyLinkChanged, slots, count);
        if (count > 0 && reserve(body, 4096)) {
            body.appendf("\r\n=== Network links ===================================================\r\n");
            unsigned id = productParams().productId;
            auto state = [](bool up) { return up ? "link established" : "no link"; };
            for (int i = 0; i < count; i++) {
                int aux = slots[i].aux;
                if (id == 278 || id == 295) {
                    body.appendf("\r\n RJ-45 network connector 2: %s", state(aux & 0x10));
                    body.appendf("\r\n RJ-45 network connector 1: %s\r\n ", state(aux & 0x1));
                } else {
                    // One connector: its link is bit 4, or bit 0 where the board reports
                    // its only port as the right-hand one (287 and 294 of the second
                    // hardware generation).
                    body.appendf("\r\n RJ-45 network connector: %s\r\n ", state(aux & 0x11));
                }
            }
        }
    }
    if ((bits & NotifyCardEvents) && (p_sw_features->value() & 0x200000)) {
        slotsOf(NotifyCardEvents, slots, count);
        if (count > 0 && reserve(body, 4096)) {
            std::string shortName = productShortName();
            for (int i = 0; i < count; i++) {
                const NotifyEvent &e = slots[i];
                if (e.event & NotifyCardReady)
                    body.appendf(
                        "\r\n\tAn SD card has been connected to the %s server.\r\n\tThe SD card will be used "
                        "to back up parameters.\r\n",
                        shortName.c_str());
                if (e.event & NotifyCardProtected)
                    body.appendf(
                        "\r\n\tThe SD card cannot be used because it is write protected.\r\n\tDeclare the SD "
                        "card read/write by moving the write-protection notch.\r\n");
                if (e.event & NotifyCardOut) body.appendf("\r\n\tAn SD card has been removed.");
                if (e.event & NotifyCardUnusable)
                    body.appendf(
                        "\r\n\tThe SD card cannot be used because it has the wrong file format and/or is "
                        "write protected.\r\n\tFormat to FAT32 and/or declare the SD card read/write by "
                        "moving the write-protection notch.\r\n");
                body.appendf("\r\n ---------\r\n");
                body.appendf(" Manufacturer : %s\r\n", e.text1);
                body.appendf(" Product      : %s\r\n", e.text2);
                body.appendf(" Device label : %s\r\n", e.text3);
            }
        }
    }
    if (bits & NotifyWarning) {
        slotsOf(NotifyWarning, slots, count);
        if (count > 0 && reserve(body, 4096)) {
            body.appendf("\r\n ---------- \r\n");
            for (int i = 0; i < count; i++) {
                body.appendf("\r\n %s", slots[i].text1);
                body.appendf("\r\n Help cool down the device with appropriate measures.\r\n ");
            }
        }
    }
    if (bits & NotifyPowerLimit) {
        slotsOf(NotifyPowerLimit, slots, count);
        if (count > 0 && reserve(body, 4096)) {
            body.appendf("\r\n ---------- \r\n");
            for (int i = 0; i < count; i++) {
                body.appendf("\r\n Power consumption too high!");
                body.appendf("\r\n The following USB port has been deactivated for protection: %d %s %s\r\n ",
                             slots[i].aux, slots[i].text1, slots[i].text2);
                body.appendf("\r\n Decrease the load and re-activate the USB port in order to use it and the "
                             "connected device again.\r\n ");
            }
        }
    }
    if (bits & (NotifyStatusInfo | NotifyRestart)) {
        if (reserve(body, usbSectionSize())) writeUsbDevices(body);
    }
    if (bits & NotifyBackup) {
        // The first backup file that qualifies is attached; every descriptor taken is
        // closed.
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        for (int i = 0; i < NotifyRingSize; i++) {
            NotifyEvent &e = ring[i];
            if (!(taken & (1u << i)) || slotSeq[i] != seq[i] || e.event != NotifyBackup || e.aux < 0)
                continue;
            struct stat st;
            if (attach.length == 0 && fstat(e.aux, &st) == 0 && st.st_size >= 1 && st.st_size <= BackupMax &&
                attach.createMalloc(static_cast<int32_t>(st.st_size) + 1024)) {
                off_t at = 0;
                while (at < st.st_size) {
                    ssize_t n = pread(e.aux, attach.base + at, static_cast<size_t>(st.st_size - at), at);
                    if (n <= 0) break;
                    at += n;
                }
                attach.length = static_cast<int32_t>(at);
                attach.base[attach.length++] = '\n';
                attach.base[attach.length] = '\0';
            }
            ::close(e.aux);
            e.aux = -1;
        }
    }
}

void Notify::sendMonitorMail(int fileIndex) {
    std::string to = notify::text(p_monimailto);
    if (to.empty()) return;
    const char *receivers[2] = {to.c_str(), nullptr};
    senderAuthorised = true;
    char subject[256];
    std::string templ = notify::text(p_monimailsub);
    format_mail_subject("Monitor", templ.c_str(), subject, sizeof subject, 1);
    Buffer body;
    std::string dir = moniLog.monitorDir();
    if (fileIndex >= 0) {
        char path[512];
        moniFileName(fileIndex, path, sizeof path);
        struct stat st;
        // A file that is not there (the ring has not come round to it) is not mailed.
        if (::stat(path, &st) != 0) return;
        int64_t size = st.st_size;
        if (!body.createMalloc(static_cast<int32_t>(std::min<int64_t>(size, 64LL << 20)) + 4096)) return;
        body.printBanner("Monitor");
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            while (body.room() > 1) {
                ssize_t n = ::read(fd, body.cursor + body.length, static_cast<size_t>(body.room() - 1));
                if (n <= 0) break;
                body.length += static_cast<int32_t>(n);
            }
            ::close(fd);
        }
    } else {
        DirList list;
        int count = list.scanNewestFirst(dir.c_str());
        int64_t total = 0;
        for (int i = 0; i < count && total >= 0; i++) {
            const char *name = list.name(i);
            if (!isMonitorFile(name)) continue;
            struct stat st;
            std::string path = dir + "/" + name;
            if (::stat(path.c_str(), &st) != 0)
                total = -1;
            else
                total += st.st_size;
        }
        int64_t limit = static_cast<int64_t>(p_smtp_limit->value()) * 1024;
        if (total < 0) total = -1;
        if (limit > 0 && total > limit) total = limit;
        if (!body.createMalloc(static_cast<int32_t>(std::min<int64_t>(total, 64LL << 20)) + 4096)) {
            list.clear();
            return;
        }
        body.printBanner("Monitor");
        for (int i = 0; i < count && body.room() > 15; i++) {
            const char *name = list.name(i);
            if (!isMonitorFile(name)) continue;
            int fd = ::open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            while (body.room() > 15) {
                ssize_t n = ::read(fd, body.cursor + body.length, static_cast<size_t>(body.room() - 15));
                if (n <= 0) break;
                body.length += static_cast<int32_t>(n);
            }
            ::close(fd);
        }
        list.clear();
        if (body.length > 80) {
            // Cut back to the last whole line.
            for (int32_t i = body.length - 1; i >= 0; i--) {
                if (body.cursor[i] == '\n') {
                    body.length = i;
                    break;
                }
            }
        }
    }
    int sent = sendMail(receivers, subject, body, nullptr, nullptr);
    (sent ? moniMailOkCount : moniMailFailCount)++;
}
