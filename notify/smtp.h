// The mail client: one short SMTP session per mail (plain, STARTTLS or implicit TLS, with
// AUTH LOGIN), the POP3 mailbox poll of the commands by mail (notify/pop3.cpp), and the
// status words and counters the web pages show.
#pragma once

#include "notify/mail_conn.h"
#include "notify/mail_parse.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

class Buffer;

// Mail status codes (mail_status_text gives their texts).
enum : int {
    MailNoError = 0,
    MailInitialized = 1,
    MailDnsDone = 2,
    MailConnectDone = 3,
    MailServerContacted = 4,
    MailLoginDone = 5,
    MailWorking = 6,
    MailClosed = 7,
    MailApopFailed = 8,
    MailApopDigestFailed = 9,
    MailConnectFailed = 10,
    MailDataFailed = 11,
    MailDeleteFailed = 12,
    MailDnsFailed = 13,
    MailListFailed = 14,
    MailLoginFailed = 15,
    MailMemoryFault = 16,
    MailFromFailed = 17,
    MailAuthFailed = 18,
    MailPopFailed = 19,
    MailPasswordFailed = 20,
    MailRcptFailed = 21,
    MailRetrFailed = 22,
    MailScanFailed = 23,
    MailSendFailed = 24,
    MailStatFailed = 25,
    MailScanStatFailed = 26,
    MailUserFailed = 27,
};

// The translated text of a status code; "unknown" for any other value.
const char *mail_status_text(int code);

// Progress (raised only: 2 DNS, 3 connect, 4 contacted, 5 login, 6 working, 7 closed at
// the task's end) and last error of the two clients; mails the server accepted.
extern std::atomic<int> smtpProgress;
extern std::atomic<int> pop3Progress;
extern std::atomic<int> smtpError;
extern std::atomic<int> pop3Error;
extern std::atomic<uint32_t> mailsSentCount;
// Mails fetched and refused by the POP3 poll.
extern std::atomic<uint32_t> mailsFetchedCount;
extern std::atomic<uint32_t> mailsRefusedCount;

// Raises a progress word to at least value.
void raiseProgress(std::atomic<int> &word, int value);

// The S/MIME body of a mail: reads the body from the buffer and writes its signed or
// encrypted form into the output (at most its free room); nonzero on success. Installed
// by the certificate store; null until then (signed mails then carry the failure text).
using SmimeBuilder = int (*)(const char *inputFile, Buffer &input, Buffer &output, const char *outputFile);
extern SmimeBuilder smime_build_body;

class MailClient {
public:
    MailClient();
    virtual ~MailClient() = default;

    // Handles one received mail (the notification task overrides it): the default
    // does nothing and returns its argument.
    virtual int handleCommand(int number, int size) {
        (void)size;
        return number;
    }

    // SMTP.
    bool openSmtp();
    // MAIL FROM, RCPT TO per receiver (null-terminated list), DATA and the header lines.
    bool sendEnvelope(const char *const *receivers, const char *subject, bool autoReply);
    bool endData();
    // One mail: 1 sent, 0 failed. attachName without attach makes the body the attachment.
    int sendMail(const char *const *receivers, const char *subject, const Buffer &body,
                 const char *attachName, const Buffer *attach, bool autoReply = false);

    // POP3 (notify/pop3.cpp).
    bool pollMailbox();
    // One line of the message being read: its length (CR LF removed, dot-stuffing
    // undone, quoted-printable decoded when asked), or -1 at its end or on a failure.
    int readMessageLine(std::string &line, bool decodeQp);
    // Reads and drops the rest of the message being read.
    void drainMessage();
    // Sends the body back to the sender of the received mail ("Re: " subject).
    void replyMail(Buffer &body);

    MailConnection smtp{true};
    MailConnection pop3{false};
    // The received mail being handled.
    MailHeaders mail;
    bool inMessage = false; // a TOP or RETR answer is being read
    // OR of the change classes of parameters set by mail.
    int changeFlags = 0;
    // The header block of mails shows the TAN.
    bool senderAuthorised = false;
    // LIST of the current poll: {number, size}.
    std::deque<std::pair<int, int>> messages;

protected:
    // Reads the header lines of message n (TOP n 0) into mail: false when that failed.
    bool examineHeaders(int number, int size);
    // RETR n and its header lines: the body lines follow through readMessageLine.
    bool retrieve(int number);
};
