// The SMTP client: one session per mail, the mail status words and their texts.

#include "notify/smtp.h"

#include "core/buffer.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "core/utils_text.h"
#include "notify/notify_internal.h"
#include "param_catalogue.h"

#include <cstring>
#include <ctime>

std::atomic<int> smtpProgress{MailInitialized};
std::atomic<int> pop3Progress{MailInitialized};
std::atomic<int> smtpError{MailNoError};
std::atomic<int> pop3Error{MailNoError};
std::atomic<uint32_t> mailsSentCount{0};
std::atomic<uint32_t> mailsFetchedCount{0};
std::atomic<uint32_t> mailsRefusedCount{0};
SmimeBuilder smime_build_body = nullptr;

namespace {

// Failures this soon after start are not recorded: the start-up mail does not leave an
// error when the network is not ready yet.
constexpr int64_t DnsQuietTicks = 3000;
constexpr int64_t ConnectQuietTicks = 400;
// Receivers named in the To: line at most.
constexpr int ToLineMax = 16;

const char *const statusTexts[] = {
    "No error",
    "Initialized",
    "DNS done",
    "TCP connect done",
    "Server contacted",
    "Login done",
    "Working",
    "TCP connection closed",
    "APOP login failed",
    "APOP build MD5 xsum failed",
    "TCP connect failed",
    "Send email DATA command failed",
    "DEL command failed",
    "DNS request failed",
    "LIST command failed",
    "Login failed",
    "Memory fault",
    "Send FROM failed",
    "SMTP Authentication failed",
    "Pop emails failed",
    "Password failed",
    "RCPT command failed",
    "RETR command failed",
    "Scan email failed",
    "Send email failed",
    "Get STAT failed",
    "Scan STAT failed",
    "USER command failed",
};

std::string base64Line(const std::string &text) {
    // One line: the encoder breaks lines after 80 characters, so it is given room for
    // the whole text and the breaks are taken out again.
    std::string out(text.size() * 2 + 8, '\0');
    size_t n = base64Encode(text.data(), text.size(), out.data(), out.size(), 0);
    out.resize(n);
    std::string line;
    for (char c : out)
        if (c != '\r' && c != '\n') line += c;
    return line;
}

} // namespace

namespace notify {

std::string text(Param *p) {
    if (p == nullptr) return "";
    // A string's own text: toText shows a secret as stars.
    if (auto *s = dynamic_cast<StringParam *>(p)) {
        return s->getText();
    }
    char buf[ParamMaxText + 1] = "";
    p->toText(buf, sizeof buf, false);
    return buf;
}

bool isSet(Param *p) {
    return p != nullptr && p->hasValue();
}

std::string ipText() {
    return text(p_ip_addr);
}

int64_t tickSeconds() {
    return sysTicks() / 100;
}

} // namespace notify

const char *mail_status_text(int code) {
    if (code < 0 || code >= static_cast<int>(sizeof statusTexts / sizeof statusTexts[0]))
        return getmuText("unknown");
    return getmuText(statusTexts[code]);
}

void raiseProgress(std::atomic<int> &word, int value) {
    int current = word.load();
    while (current < value && !word.compare_exchange_weak(current, value)) {
    }
}

MailClient::MailClient() = default;

bool MailClient::openSmtp() {
    using namespace notify;
    ptable();
    if (!smtp.server.isSet()) {
        std::string host = isSet(p_smtp_srv) ? text(p_smtp_srv) : text(p_pop3_srv);
        InetAddress resolved;
        if (host.empty() || !resolved.resolve(host.c_str())) {
            if (sysTicks() > DnsQuietTicks) smtpError = MailDnsFailed;
            return false;
        }
        smtp.server = resolved;
    }
    raiseProgress(smtpProgress, MailDnsDone);
    std::string domain = text(p_dns_domain);
    std::string ehlo = (!domain.empty() && domain.size() <= 119) ? domain : ipText();
    bool implicitTls = p_smtp_secure->equals("ssl");
    bool starttls = p_smtp_secure->equals("tls");
    if (!smtp.open(p_smtp_port->value(), implicitTls, ehlo.c_str(), starttls)) {
        if (sysTicks() > ConnectQuietTicks) smtpError = MailConnectFailed;
        smtp.server = InetAddress();
        return false;
    }
    raiseProgress(smtpProgress, MailConnectDone);
    if (p_smtp_auth->isOn()) {
        std::string password = isSet(p_smtp_pwd) ? text(p_smtp_pwd) : text(p_pop3_pwd);
        std::string user = isSet(p_smtp_usr) ? text(p_smtp_usr) : text(p_pop3_usr);
        if (!password.empty() && !user.empty()) {
            // A refused login leaves its error; the mail is tried all the same and the
            // server decides at MAIL FROM.
            if (smtp.command("AUTH LOGIN\r\n", "334 VXNlcm5hbWU6") != 0 ||
                smtp.command((base64Line(user) + "\r\n").c_str(), "334 UGFzc3dvcmQ6") != 0 ||
                smtp.command((base64Line(password) + "\r\n").c_str(), nullptr) != 235)
                smtpError = MailAuthFailed;
        }
    }
    return true;
}

bool MailClient::sendEnvelope(const char *const *receivers, const char *subject, bool autoReply) {
    using namespace notify;
    std::string sender;
    for (Param *p : {static_cast<Param *>(p_smtp_sender), static_cast<Param *>(p_pop3_usr),
                     static_cast<Param *>(p_smtp_usr), static_cast<Param *>(p_sys_name)}) {
        if (isSet(p)) {
            sender = text(p);
            break;
        }
    }
    if (sender.empty()) sender = "anonymous";
    std::string local = sender, domain;
    size_t at = sender.find('@');
    if (at != std::string::npos) {
        local = sender.substr(0, at);
        domain = sender.substr(at + 1);
    } else {
        domain = isSet(p_smtp_srv) ? text(p_smtp_srv) : (isSet(p_pop3_srv) ? text(p_pop3_srv) : ipText());
    }
    std::string from = "MAIL FROM: <" + local + "@" + domain + ">\r\n";
    if (smtp.command(from.c_str(), nullptr) != 250) {
        smtpError = MailFromFailed;
        return false;
    }
    for (int i = 0; receivers[i] != nullptr; i++) {
        std::string rcpt = std::string("RCPT TO:<") + receivers[i] + ">\r\n";
        if (smtp.command(rcpt.c_str(), nullptr) != 250) {
            smtpError = MailRcptFailed;
            return false;
        }
    }
    if (smtp.command("DATA\r\n", nullptr) != 354) {
        smtpError = MailDataFailed;
        return false;
    }
    std::string head = "To:";
    for (int i = 0; receivers[i] != nullptr && i < ToLineMax; i++) {
        if (i > 0) head += ",\r\n ";
        head += receivers[i];
    }
    head += "\r\n";
    head += "From: " + local + " <" + local + "@" + domain + ">\r\n";
    head += std::string("Subject: ") + subject + "\r\n";
    char date[128] = "";
    time_t now = applianceTime();
    struct tm tm;
    if (now != static_cast<time_t>(-1) && localtime_r(&now, &tm) != nullptr)
        strftime(date, sizeof date, "%a, %d %b %Y %X %z (%Z)", &tm);
    head += std::string("Date: ") + date + "\r\n";
    if (autoReply) head += "Auto-Submitted: auto-replied\r\n";
    std::string data = dataText(head);
    return smtp.write(data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
}

bool MailClient::endData() {
    if (smtp.command("\r\n\r\n.\r\n", nullptr) == 250) {
        mailsSentCount++;
        raiseProgress(smtpProgress, MailWorking);
        return true;
    }
    smtpError = MailSendFailed;
    return false;
}

int MailClient::sendMail(const char *const *receivers, const char *subject, const Buffer &body,
                         const char *attachName, const Buffer *attach, bool autoReply) {
    if (receivers == nullptr || receivers[0] == nullptr) return 0;
    if (!openSmtp()) return 0;
    bool sent = false;
    if (sendEnvelope(receivers, subject, autoReply)) {
        std::string message;
        if (!notify::composeMessage(body, attachName, attach, message)) {
            smtpError = MailMemoryFault;
        } else {
            std::string data = notify::dataText(message);
            if (smtp.write(data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size()))
                sent = endData();
            else
                smtpError = MailSendFailed;
        }
    }
    smtp.quit();
    return sent ? 1 : 0;
}
