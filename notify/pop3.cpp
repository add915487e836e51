// The POP3 client of the commands by mail: the mailbox poll, the header examination of
// each mail, and the command handler of the notification task.

#include "notify/pop3.h"
#include "core/buffer.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/utils_file.h"
#include "core/utils_text.h"
#include "notify/notify.h"
#include "notify/notify_internal.h"
#include "param_catalogue.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <unistd.h>

UpdatePrecheck updatePrecheck = nullptr;
UpdateStarter startUpdateTask = nullptr;

namespace {

constexpr int64_t LineTicks = 6000; // one line of a multi-line answer
constexpr size_t ListMax = 1000;    // messages taken from one LIST

const char *const HelpPage =
    "\r\n The command in the subject line seems to contain a syntax error.\r\n Please check the "
    "syntax\r\n\r\n\r\n"
    " Syntax   : cmd: <command> <comment>\r\n\r\n <command>:\r\n            \"help\"                   sends "
    "this help page\r\n            \"get status\"             sends status information and parameters\r\n    "
    " "
    "       \"get parameters\"         sends a list of parameters\r\n\r\n            \"update %s\"           "
    "   "
    "updates attached software file\r\n            \"set parameters\"         sets parameters on the "
    "device\r\n "
    "                                      Email body has to contain the parameter in syntax:\r\n            "
    "  "
    "                         \"<parameter> = <value>\"\r\n\r\n ! Important for \"set\" and \"update\":\r\n "
    "!     "
    "    - forbidden if Control Center access is restricted\r\n !         - the valid \"TAN = <tan>\" phrase "
    "has "
    "to be the first tuple in the mail body\r\n !         - there should be at least one space between every "
    "item!\r\n\r\n\r\n Note:\r\n         - It is not recommended to use your personal email account\r\n      "
    "    "
    " since the %s server will delete your emails on the\r\n           server without any comment!\r\n       "
    "  - "
    "Base64 encoding is highly recommended for the update of files.\r\n\r\n  Please take care to send pure "
    "ASCII "
    "mails to the %s server.\r\n\r\n";

bool sameAddress(const std::string &a, Param *p) {
    std::string b = notify::text(p);
    if (b.empty() || a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The APOP digest: MD5 over the greeting's time stamp and the password, in hex.
bool apopDigest(const std::string &greeting, const std::string &password, std::string &hex) {
    size_t gt = greeting.rfind('>');
    size_t lt = gt == std::string::npos ? std::string::npos : greeting.rfind('<', gt);
    if (lt == std::string::npos || gt - lt + 1 < 7) return false;
    std::string input = greeting.substr(lt, gt - lt + 1) + password;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(input.data(), input.size(), md, &n, EVP_md5(), nullptr) != 1) return false;
    hex.clear();
    char two[3];
    for (unsigned i = 0; i < n; i++) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return true;
}

} // namespace

int MailClient::readMessageLine(std::string &line, bool decodeQp) {
    if (!inMessage) return -1;
    if (pop3.readLine(line, LineTicks) < 0) {
        inMessage = false;
        pop3.close(); // the answer is cut: the session cannot go on
        return -1;
    }
    if (line == ".") {
        inMessage = false;
        return -1;
    }
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
    if (decodeQp) line = decodeQuotedPrintable(line);
    return static_cast<int>(line.size());
}

void MailClient::drainMessage() {
    std::string line;
    while (readMessageLine(line, false) >= 0) {
    }
}

bool MailClient::examineHeaders(int number, int size) {
    (void)size;
    mail.reset();
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "TOP %d 0\r\n", number);
    if (pop3.command(cmd, "+OK") != 0) {
        pop3Error = MailRetrFailed;
        return false;
    }
    inMessage = true;
    LineSource source = [this](std::string &line) { return readMessageLine(line, false); };
    bool ok = parseMailHeaders(source, mail, false);
    drainMessage();
    if (!ok) {
        pop3Error = MailScanFailed;
        return false;
    }
    senderAuthorised = sameAddress(mail.from, p_monimailto) || sameAddress(mail.from, p_mailto_1) ||
                       sameAddress(mail.from, p_mailto_2);
    return true;
}

bool MailClient::retrieve(int number) {
    char cmd[48];
    std::snprintf(cmd, sizeof cmd, "RETR %d\r\n", number);
    if (pop3.command(cmd, "+OK") != 0) {
        pop3Error = MailRetrFailed;
        return false;
    }
    inMessage = true;
    std::string line;
    if (readMessageLine(line, false) < 0) {
        pop3Error = MailScanFailed;
        return false;
    }
    // The header lines, up to the empty line.
    while (!line.empty() && readMessageLine(line, false) >= 0) {
    }
    return true;
}

bool MailClient::pollMailbox() {
    using namespace notify;
    ptable();
    if (!p_pop3->isOn()) return false;
    if (!pop3.server.isSet()) {
        InetAddress resolved;
        std::string host = text(p_pop3_srv);
        if (host.empty() || !resolved.resolve(host.c_str())) {
            pop3Error = MailDnsFailed;
            return false;
        }
        pop3.server = resolved;
    }
    raiseProgress(pop3Progress, MailDnsDone);
    const int security = p_pop3_sec->value();
    if (!pop3.open(p_pop3_port->value(), security == 2, nullptr, false)) {
        pop3Error = MailConnectFailed;
        pop3.server = InetAddress();
        return false;
    }
    raiseProgress(pop3Progress, MailConnectDone);
    auto fail = [this](int code) {
        pop3Error = code;
        pop3.quit();
        return false;
    };
    std::string greeting;
    if (pop3.command(nullptr, "+OK", &greeting) != 0) return fail(MailConnectFailed);
    raiseProgress(pop3Progress, MailServerContacted);
    std::string user = text(p_pop3_usr), password = text(p_pop3_pwd);
    if (security == 1) {
        std::string digest;
        if (!apopDigest(greeting, password, digest)) return fail(MailApopDigestFailed);
        std::string apop = "APOP " + user + " " + digest + "\r\n";
        if (pop3.command(apop.c_str(), "+OK") != 0) return fail(MailApopFailed);
    } else {
        if (user.empty() || pop3.command(("USER " + user + "\r\n").c_str(), "+OK") != 0)
            return fail(MailUserFailed);
        if (password.empty() || pop3.command(("PASS " + password + "\r\n").c_str(), "+OK") != 0)
            return fail(MailPasswordFailed);
    }
    raiseProgress(pop3Progress, MailLoginDone);
    std::string reply;
    if (pop3.command("STAT\r\n", "+OK", &reply) != 0) return fail(MailStatFailed);
    int count = 0, octets = 0;
    if (reply.size() < 4 || std::sscanf(reply.c_str() + 3, " %d %d", &count, &octets) != 2)
        return fail(MailScanStatFailed);
    if (pop3.command("LIST\r\n", "+OK") != 0) return fail(MailListFailed);
    messages.clear();
    inMessage = true;
    std::string line;
    while (readMessageLine(line, false) >= 0) {
        int number = 0, size = 0;
        char extra;
        if (std::sscanf(line.c_str(), "%d %d%c", &number, &size, &extra) != 2 || number <= 0 || size < 0) {
            drainMessage();
            break;
        }
        if (messages.size() < ListMax) messages.emplace_back(number, size);
    }
    while (!messages.empty() && pop3.isOpen()) {
        auto [number, size] = messages.front();
        messages.pop_front();
        if (changeFlags & ParamClassRestart) continue;
        if (examineHeaders(number, size)) {
            mailsFetchedCount++;
            handleCommand(number, size);
            drainMessage();
        }
        char dele[48];
        std::snprintf(dele, sizeof dele, "DELE %d\r\n", number);
        if (pop3.command(dele, "+OK") != 0) pop3Error = MailDeleteFailed;
    }
    if (messages.empty() && pop3Progress.load() <= MailLoginDone) pop3Progress = MailWorking;
    pop3.quit();
    return true;
}

void MailClient::replyMail(Buffer &body) {
    std::string subject = "Re: " + mail.subject;
    const char *receivers[2] = {mail.from.c_str(), nullptr};
    sendMail(receivers, subject.c_str(), body, nullptr, nullptr, true);
    body.release();
}

int Notify::handleCommand(int number, int size) {
    // Only commands are answered: no reply to spam, to replies, to bounces or to other
    // automatic mail, so two machines never answer each other for ever.
    if (!mail.isCommand || mail.command == MailCmdReply || senderIsAutomatic(mail)) {
        mailsRefusedCount++;
        return 0;
    }
    const ProductParams &product = productParams();
    Buffer body;
    int limit = p_pop3_limit->value();
    if (size / 1024 > limit) {
        mailsRefusedCount++;
        char text[128];
        std::snprintf(text, sizeof text, "Error: mail size:%dkb violation, current limit:%dkb", size / 1024,
                      limit);
        if (body.createMalloc(4096)) {
            writeMailHeader(body, text);
            replyMail(body);
        }
        return 0;
    }
    MailCommandEnv env;
    env.tan = currentTan;
    env.locked = [] { return p_sessKeys->isOn(); };
    env.set = [](const char *name, const char *value) {
        Param *p = ptable().find(name, static_cast<int>(std::strlen(name)), Ptable::NoIndex);
        return p ? p->setFromText(value, -1) : 0;
    };
    LineSource source = [this](std::string &line) { return readMessageLine(line, false); };
    switch (mail.command) {
    case MailCmdGetStatus:
        if (writeStatus(body, "get status")) replyMail(body);
        return 0;
    case MailCmdServicePage:
        if (writeFullStatus(body, false)) replyMail(body);
        return 0;
    case MailCmdGetParameters:
        if (writeFullStatus(body, true)) replyMail(body);
        return 0;
    case MailCmdSetParameters: {
        if (!retrieve(number)) return 0;
        bool accepted = false;
        changeFlags |= setParametersFromMail(source, mail, env, accepted);
        if (accepted) newTan(nullptr);
        return 0;
    }
    case MailCmdUpdate: {
        if (!retrieve(number)) return 0;
        int fd = tempFile();
        int result = fd < 0 ? -5 : saveAttachmentFromMail(source, mail, env, fd);
        // The TAN is used up once accepted, whatever came after it.
        if (result == 0 || result == -1) newTan(nullptr);
        char text[160];
        if (result == 0) {
            if (updatePrecheck != nullptr && updatePrecheck(fd) == 0 && startUpdateTask != nullptr &&
                startUpdateTask(fd))
                return 0;
            ::close(fd);
            std::snprintf(text, sizeof text, "Error : Update file validation failed!?");
        } else {
            if (fd >= 0) ::close(fd);
            const char *reason = result == -1   ? "corrupted/wrong mail attachment"
                                 : result == -2 ? "wrong TAN or restricted access"
                                 : result == -3 ? "no TAN detected"
                                 : result == -4 ? "reading multipart message"
                                                : "misc failure";
            std::snprintf(text, sizeof text, "Error : Update failed on %s!?", reason);
        }
        drainMessage();
        if (body.createMalloc(4096)) {
            writeMailHeader(body, text);
            replyMail(body);
        }
        return 0;
    }
    default:
        break;
    }
    bool help =
        mail.subject.find("help") != std::string::npos || mail.subject.find("HELP") != std::string::npos;
    if (!help) mailsRefusedCount++;
    if (!body.createMalloc(8192)) return 0;
    writeMailHeader(body, help ? "Help info" : "Received unknown command");
    body.appendf(HelpPage, "zqn", product.productName, product.productName);
    replyMail(body);
    return 0;
}
