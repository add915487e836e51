// Reading a received mail line by line: its header fields, the command in its subject,
// the parameter lines of a "set parameters" mail and the attached file of an update,
// both behind the transaction number (TAN). Everything here works on lines handed in by
// a LineSource, so the POP3 client and the fuzz target feed it alike. Every field and
// every stack is bounded; a mail of any shape gives a result, never more than it holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Gives the next line of the message (CR LF removed, dot-stuffing undone): its length,
// or -1 at the end of the message.
using LineSource = std::function<int(std::string &line)>;

// Content types and transfer encodings of a mail or a part.
enum : int {
    MailNone = 25,
    MailText = 26,
    MailApplication = 27,
    MailMultipart = 28,
    MailImage = 29,
    Mail7bit = 31,
    Mail8bit = 32,
    MailBase64 = 33,
    MailQuotedPrintable = 34,
};

// Command codes of the subject.
enum : int {
    MailCmdNone = 0,
    MailCmdGetStatus = 6,
    MailCmdServicePage = 7,
    MailCmdPrint = 8,
    MailCmdPrintAttachment = 9,
    MailCmdGetHidden = 10,
    MailCmdGetParameters = 11,
    MailCmdFileList = 12,
    MailCmdJobHistory = 13,
    MailCmdPageCounter = 14,
    MailCmdSetParameters = 15,
    MailCmdUpdate = 16,
    MailCmdReply = 17,
    MailCmdErase = 18,
    MailCmdCleanQueue = 19,
};

// Longest header value kept (the rest is cut), nesting of multiparts.
constexpr size_t MailFieldMax = 127;
constexpr int MailBoundaryDepth = 3;

struct MailHeaders {
    std::string from; // the address between "<" and ">", else the whole value
    std::string date;
    std::string subject;
    std::string attachName; // name= of an application or image part
    std::string autoSubmitted;
    int contentType = MailNone;
    int transferEncoding = MailNone;
    std::string boundaries[MailBoundaryDepth];
    int depth = 0; // boundaries in use
    // The subject's command.
    int command = MailCmdNone;
    bool ack = false;
    bool isCommand = false; // the subject's first word is "cmd:"

    void reset() { *this = MailHeaders(); }
};

// Reads header lines until the source ends or (stopAtBlank) the empty line that ends
// them, then parses the subject. False when not even one line could be read.
bool parseMailHeaders(const LineSource &source, MailHeaders &mail, bool stopAtBlank);

// The command of a subject; ack and isCommand as found.
int subjectCommand(const std::string &subject, bool &ack, bool &isCommand);

// The value of a header field: from the first character after the colon's blanks up to
// the first control character, cut at MailFieldMax.
std::string headerValue(const std::string &text);

// The sender may not be answered: empty or "<>", MAILER-DAEMON, or a mail that says it
// was submitted automatically.
bool senderIsAutomatic(const MailHeaders &mail);

// What the parameter and attachment readers need of the daemon.
struct MailCommandEnv {
    std::string tan;                                             // the current TAN
    std::function<bool()> locked;                                // access is restricted ("sessKeys" on)
    std::function<int(const char *name, const char *value)> set; // the change class, 0 unknown
};

// "set parameters": the body lines after a matching "tan" line are set. Returns the OR
// of the change classes; tanAccepted tells whether the TAN line matched.
int setParametersFromMail(const LineSource &source, const MailHeaders &mail, const MailCommandEnv &env,
                          bool &tanAccepted);

// Update: the first application part after a text part with a matching TAN line is
// Base64-decoded into fd. 0 when saved; -1 no part after the TAN or a cut message, -2
// wrong TAN or restricted access, -3 no TAN (or not multipart), -4 the message ended
// inside a text part.
int saveAttachmentFromMail(const LineSource &source, const MailHeaders &mail, const MailCommandEnv &env,
                           int fd);

// Replaces "=XX" by its byte and drops a soft line break's "=" at the end.
std::string decodeQuotedPrintable(const std::string &line);
