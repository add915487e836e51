// Received mails: header fields, subject commands, parameter lines and the attached
// update file. See mail_parse.h.

#include "notify/mail_parse.h"

#include <cctype>
#include <cstring>
#include <unistd.h>

namespace {

// A logical header (its continuation lines joined) is kept up to this length.
constexpr size_t HeaderLineMax = 2048;
// Lines of one mail's header block taken at most.
constexpr int HeaderLinesMax = 4096;
// Bytes an update file may have.
constexpr int64_t AttachmentMax = 64LL * 1024 * 1024;

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10) & 0xf;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool equalsNoCase(const std::string &a, const char *b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Finds the text case-insensitively; npos when absent.
size_t findNoCase(const std::string &hay, const char *needle, size_t from = 0) {
    size_t n = std::strlen(needle);
    if (n == 0 || hay.size() < n) return std::string::npos;
    for (size_t i = from; i + n <= hay.size(); i++) {
        size_t j = 0;
        while (j < n && std::tolower(static_cast<unsigned char>(hay[i + j])) ==
                            std::tolower(static_cast<unsigned char>(needle[j])))
            j++;
        if (j == n) return i;
    }
    return std::string::npos;
}

// A word ends at a blank, "/", ";", CR, LF, tab or the end.
bool isWordEnd(char c) {
    return c == ' ' || c == '/' || c == ';' || c == '\r' || c == '\n' || c == '\t' || c == '\0';
}

std::string firstWord(const std::string &value) {
    size_t i = 0;
    while (i < value.size() && isBlank(value[i]))
        i++;
    size_t start = i;
    while (i < value.size() && !isWordEnd(value[i]))
        i++;
    return value.substr(start, i - start);
}

// The value of a "key=" parameter of a header (quotes dropped), "" when absent. A
// quoted value ends at its closing quote, a bare one at ";", a blank or a control.
std::string headerParameter(const std::string &value, const char *key) {
    size_t at = 0;
    size_t keyLength = std::strlen(key);
    while ((at = findNoCase(value, key, at)) != std::string::npos) {
        // The key must start a parameter: after ";" or a blank.
        if (at == 0 || value[at - 1] == ';' || isBlank(value[at - 1])) break;
        at += keyLength;
    }
    if (at == std::string::npos) return "";
    size_t i = at + keyLength;
    std::string out;
    if (i < value.size() && value[i] == '"') {
        for (i++; i < value.size() && value[i] != '"' && out.size() < 1024; i++)
            out += value[i];
    } else {
        for (; i < value.size() && value[i] != ';' && !isBlank(value[i]) &&
               !isControl(static_cast<unsigned char>(value[i])) && out.size() < 1024;
             i++)
            out += value[i];
    }
    return out;
}

// What the content headers of a mail or a part say.
struct Content {
    int type = MailNone;
    int encoding = MailNone;
    std::string boundary;
    std::string name;
};

int contentTypeOf(const std::string &word) {
    if (equalsNoCase(word, "text")) return MailText;
    if (equalsNoCase(word, "application")) return MailApplication;
    if (equalsNoCase(word, "multipart")) return MailMultipart;
    if (equalsNoCase(word, "image")) return MailImage;
    return MailNone;
}

int encodingOf(const std::string &word) {
    if (equalsNoCase(word, "7bit")) return Mail7bit;
    if (equalsNoCase(word, "8bit")) return Mail8bit;
    if (equalsNoCase(word, "base64")) return MailBase64;
    if (equalsNoCase(word, "quoted-printable")) return MailQuotedPrintable;
    return MailNone;
}

// A boundary may hold the printable characters but the quote, 2 to 127 of them.
bool usableBoundary(const std::string &b) {
    if (b.size() < 2 || b.size() > MailFieldMax) return false;
    for (unsigned char c : b)
        if (c < 0x21 || c > 0x7e || c == '"') return false;
    return true;
}

std::string cut(const std::string &text, size_t max) {
    return text.size() > max ? text.substr(0, max) : text;
}

// One logical header line: "Name: value". Content headers go into content; the
// mail's own fields into mail when given.
void headerField(const std::string &line, Content &content, MailHeaders *mail) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return;
    std::string name = line.substr(0, colon);
    std::string rest = line.substr(colon + 1);
    if (equalsNoCase(name, "Content-Type")) {
        content.type = contentTypeOf(firstWord(rest));
        if (content.type == MailMultipart) {
            content.boundary = headerParameter(rest, "boundary=");
            if (!usableBoundary(content.boundary)) {
                content.boundary.clear();
                content.type = MailNone;
            }
        } else if (content.type == MailApplication || content.type == MailImage) {
            content.name = headerValue(headerParameter(rest, "name="));
        }
        return;
    }
    if (equalsNoCase(name, "Content-Transfer-Encoding")) {
        content.encoding = encodingOf(firstWord(rest));
        return;
    }
    if (mail == nullptr) return;
    if (equalsNoCase(name, "From")) {
        std::string value = headerValue(rest);
        size_t lt = value.find('<');
        size_t gt = value.rfind('>');
        mail->from = (lt != std::string::npos && gt != std::string::npos && lt < gt)
                         ? value.substr(lt + 1, gt - lt - 1)
                         : value;
    } else if (equalsNoCase(name, "Date")) {
        mail->date = headerValue(rest);
    } else if (equalsNoCase(name, "Subject")) {
        mail->subject = headerValue(rest);
    } else if (equalsNoCase(name, "Auto-Submitted")) {
        mail->autoSubmitted = headerValue(rest);
    }
}

// Collects the header lines of a mail or a part (continuation lines joined) and hands
// each logical line to headerField once it is complete.
class HeaderReader {
public:
    HeaderReader(Content &content, MailHeaders *mail) : content_(content), mail_(mail) {}
    void line(const std::string &text) {
        if (!text.empty() && isBlank(text[0])) {
            if (!pending_.empty() && pending_.size() < HeaderLineMax) {
                size_t i = 0;
                while (i < text.size() && isBlank(text[i]))
                    i++;
                pending_ += ' ';
                pending_ += text.substr(i, HeaderLineMax - pending_.size());
            }
            return;
        }
        finish();
        pending_ = cut(text, HeaderLineMax);
    }
    void finish() {
        if (!pending_.empty()) headerField(pending_, content_, mail_);
        pending_.clear();
    }

private:
    Content &content_;
    MailHeaders *mail_;
    std::string pending_;
};

// The multipart delimiters in force: a line "--<boundary>" opens a part of that level,
// "--<boundary>--" closes the level.
class Delimiters {
public:
    explicit Delimiters(const MailHeaders &mail) {
        for (int i = 0; i < mail.depth && i < MailBoundaryDepth; i++)
            push(mail.boundaries[i]);
    }
    bool push(const std::string &b) {
        if (depth_ >= MailBoundaryDepth || b.empty()) return false;
        stack_[depth_++] = b;
        return true;
    }
    int depth() const { return depth_; }
    // The level (0 outermost) the line delimits, -1 when none; closing as found. An
    // outer delimiter ends the inner levels.
    int match(const std::string &line, bool &closing) {
        if (line.size() < 2 || line[0] != '-' || line[1] != '-') return -1;
        for (int i = depth_ - 1; i >= 0; i--) {
            const std::string &b = stack_[i];
            if (line.compare(2, b.size(), b) != 0) continue;
            size_t at = 2 + b.size();
            closing = line.compare(at, 2, "--") == 0;
            if (closing) at += 2;
            while (at < line.size() && isBlank(line[at]))
                at++;
            if (at != line.size()) continue;
            depth_ = closing ? i : i + 1;
            return i;
        }
        return -1;
    }

private:
    std::string stack_[MailBoundaryDepth];
    int depth_ = 0;
};

// Base64 into a descriptor: characters outside the alphabet are skipped.
class Base64Writer {
public:
    explicit Base64Writer(int fd) : fd_(fd) {}
    bool feed(const std::string &text) {
        for (unsigned char c : text) {
            int v = value(c);
            if (c == '=') bits_ = 0; // padding: the partial group carries no byte
            if (v < 0) continue;
            acc_ = (acc_ << 6) | static_cast<uint32_t>(v);
            bits_ += 6;
            if (bits_ >= 8) {
                bits_ -= 8;
                out_[used_++] = static_cast<char>((acc_ >> bits_) & 0xff);
                if (used_ == sizeof out_ && !flush()) return false;
            }
        }
        return true;
    }
    bool flush() {
        if (used_ == 0) return true;
        total_ += used_;
        if (total_ > AttachmentMax) return false;
        size_t done = 0;
        while (done < used_) {
            ssize_t n = ::write(fd_, out_ + done, used_ - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        used_ = 0;
        return true;
    }

private:
    static int value(unsigned char c) {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    }
    int fd_;
    uint32_t acc_ = 0;
    int bits_ = 0;
    char out_[4096];
    size_t used_ = 0;
    int64_t total_ = 0;
};

bool tanUsable(const std::string &tan) {
    return tan.size() == 16;
}

// A "TAN = value" line: the value, or false when the line is no such line.
bool tanLine(const std::string &line, std::string &value) {
    size_t at = findNoCase(line, "TAN");
    if (at == std::string::npos) return false;
    size_t eq = line.find('=', at + 3);
    if (eq == std::string::npos) return false;
    for (size_t i = at + 3; i < eq; i++)
        if (!isBlank(line[i])) return false;
    size_t v = eq + 1;
    while (v < line.size() && isBlank(line[v]))
        v++;
    if (v >= line.size()) return false;
    value = line.substr(v);
    return true;
}

} // namespace

std::string headerValue(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        i++;
    size_t end = i;
    while (end < text.size() && !isControl(static_cast<unsigned char>(text[end])) && end - i < MailFieldMax)
        end++;
    return text.substr(i, end - i);
}

bool parseMailHeaders(const LineSource &source, MailHeaders &mail, bool stopAtBlank) {
    Content content;
    HeaderReader reader(content, &mail);
    std::string line;
    bool any = false;
    bool inHeader = true;
    for (int lines = 0; lines < HeaderLinesMax || !inHeader; lines++) {
        if (source(line) < 0) break;
        any = true;
        if (!inHeader) continue; // after the header block: read to the end
        if (line.empty()) {
            inHeader = false;
            if (stopAtBlank) break;
            continue;
        }
        reader.line(line);
    }
    reader.finish();
    mail.contentType = content.type;
    mail.transferEncoding = content.encoding;
    mail.depth = 0;
    if (content.type == MailMultipart) mail.boundaries[mail.depth++] = content.boundary;
    if (content.type == MailApplication || content.type == MailImage) mail.attachName = content.name;
    mail.command = subjectCommand(mail.subject, mail.ack, mail.isCommand);
    return any;
}

int subjectCommand(const std::string &subject, bool &ack, bool &isCommand) {
    ack = false;
    isCommand = false;
    std::string words[4];
    int count = 0;
    size_t i = 0;
    bool first = true;
    while (i < subject.size()) {
        while (i < subject.size() && isWordEnd(subject[i]) && subject[i] != ';')
            i++;
        if (i >= subject.size()) break;
        size_t start = i;
        while (i < subject.size() && !(isWordEnd(subject[i]) && subject[i] != ';'))
            i++;
        std::string word = subject.substr(start, i - start);
        if (first) {
            first = false;
            if (equalsNoCase(word, "re:")) return MailCmdReply;
            if (!equalsNoCase(word, "cmd:")) return MailCmdNone;
            isCommand = true;
            continue;
        }
        if (equalsNoCase(word, "ack")) {
            ack = true;
            continue;
        }
        if (equalsNoCase(word, "cmd:")) return MailCmdNone;
        if (count < 4) words[count++] = word;
    }
    if (!isCommand || count == 0) return MailCmdNone;
    const std::string &w = words[0];
    const std::string &x = count > 1 ? words[1] : std::string();
    if (equalsNoCase(w, "get")) {
        if (equalsNoCase(x, "status")) return MailCmdGetStatus;
        if (equalsNoCase(x, "servicepage")) return MailCmdServicePage;
        if (equalsNoCase(x, "parameters")) return MailCmdGetParameters;
        if (equalsNoCase(x, "hidden")) return MailCmdGetHidden;
        if (equalsNoCase(x, "jobhistory")) return MailCmdJobHistory;
        if (equalsNoCase(x, "filelist")) return MailCmdFileList;
        if (equalsNoCase(x, "pagecounter")) return MailCmdPageCounter;
        return MailCmdNone;
    }
    if (equalsNoCase(w, "set")) return equalsNoCase(x, "parameters") ? MailCmdSetParameters : MailCmdNone;
    if (equalsNoCase(w, "update")) return equalsNoCase(x, "zqn") ? MailCmdUpdate : MailCmdNone;
    if (equalsNoCase(w, "erase")) return MailCmdErase;
    if (equalsNoCase(w, "clean")) return equalsNoCase(x, "mailqueue") ? MailCmdCleanQueue : MailCmdNone;
    if (equalsNoCase(w, "print"))
        return equalsNoCase(x, "attachment") ? MailCmdPrintAttachment : MailCmdPrint;
    if (equalsNoCase(w, "printa")) return MailCmdPrintAttachment;
    return MailCmdNone;
}

bool senderIsAutomatic(const MailHeaders &mail) {
    if (mail.from.empty() || mail.from == "<>") return true;
    std::string local = mail.from.substr(0, mail.from.find('@'));
    if (equalsNoCase(local, "mailer-daemon")) return true;
    return !mail.autoSubmitted.empty() && !equalsNoCase(firstWord(mail.autoSubmitted), "no");
}

std::string decodeQuotedPrintable(const std::string &line) {
    std::string out;
    out.reserve(line.size());
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '=') {
            if (i + 2 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(line[i + 2]))) {
                out += static_cast<char>(hexDigit(line[i + 1]) * 16 + hexDigit(line[i + 2]));
                i += 2;
                continue;
            }
            if (i + 1 == line.size()) break; // soft line break
        }
        out += line[i];
    }
    return out;
}

int setParametersFromMail(const LineSource &source, const MailHeaders &mail, const MailCommandEnv &env,
                          bool &tanAccepted) {
    tanAccepted = false;
    std::string line;
    int encoding = mail.transferEncoding;
    if (mail.contentType == MailMultipart && mail.depth > 0) {
        // The first text part, past its header lines.
        Delimiters delimiters(mail);
        bool found = false;
        while (!found) {
            bool closing = false;
            if (source(line) < 0) return 0;
            if (delimiters.match(line, closing) < 0 || closing) {
                if (closing && delimiters.depth() == 0) return 0;
                continue;
            }
            Content part;
            HeaderReader reader(part, nullptr);
            int lines = 0;
            while (source(line) >= 0 && !line.empty() && ++lines < HeaderLinesMax)
                reader.line(line);
            reader.finish();
            if (part.type == MailMultipart) {
                delimiters.push(part.boundary);
            } else if (part.type == MailText || part.type == MailNone) {
                encoding = part.encoding;
                found = true;
            }
        }
    }
    int changes = 0;
    while (source(line) >= 0) {
        if (!line.empty() && (line[0] == '.' || line[0] == '-')) break;
        if (env.locked && env.locked()) continue;
        if (encoding == MailQuotedPrintable) line = decodeQuotedPrintable(line);
        if (line.size() < 5) continue;
        size_t i = 0;
        while (i < line.size() && isBlank(line[i]))
            i++;
        size_t nameStart = i;
        while (i < line.size() && !isBlank(line[i]) && line[i] != '=')
            i++;
        std::string name = line.substr(nameStart, i - nameStart);
        size_t eq = line.find('=', i);
        if (name.empty() || eq == std::string::npos) continue;
        bool onlyBlanks = true;
        for (size_t k = i; k < eq; k++)
            onlyBlanks = onlyBlanks && isBlank(line[k]);
        if (!onlyBlanks) continue;
        size_t v = eq + 1;
        while (v < line.size() && isBlank(line[v]))
            v++;
        size_t end = line.size();
        while (end > v && isBlank(line[end - 1]))
            end--;
        if (end <= v) continue;
        std::string value = line.substr(v, end - v);
        if (equalsNoCase(name, "tan")) {
            if (!tanAccepted && tanUsable(env.tan) && value == env.tan) tanAccepted = true;
            continue;
        }
        if (!tanAccepted || !env.set) continue;
        changes |= env.set(name.c_str(), value.c_str());
    }
    return changes;
}

int saveAttachmentFromMail(const LineSource &source, const MailHeaders &mail, const MailCommandEnv &env,
                           int fd) {
    if (mail.contentType != MailMultipart || mail.depth == 0) return -3;
    Delimiters delimiters(mail);
    enum { Between, Headers, Body } state = Between;
    Content part;
    HeaderReader *reader = nullptr;
    HeaderReader partReader(part, nullptr);
    bool tanOk = false;
    int headerLines = 0;
    std::string line;
    for (;;) {
        if (source(line) < 0) {
            // The message ended inside a text part that had no TAN yet.
            if (state == Body && !tanOk && (part.type == MailText || part.type == MailNone)) return -4;
            return tanOk ? -1 : -3;
        }
        bool closing = false;
        if (delimiters.match(line, closing) >= 0) {
            if (closing) {
                state = Between;
                if (delimiters.depth() == 0) return tanOk ? -1 : -3;
            } else {
                state = Headers;
                part = Content();
                reader = &partReader;
                headerLines = 0;
            }
            continue;
        }
        switch (state) {
        case Between:
            break;
        case Headers:
            if (!line.empty()) {
                if (++headerLines < HeaderLinesMax) reader->line(line);
                break;
            }
            reader->finish();
            state = Body;
            if (part.type == MailMultipart) {
                delimiters.push(part.boundary);
                state = Between;
            } else if (tanOk && part.type == MailApplication) {
                // The file: Base64 up to the next delimiter or the end of the message.
                Base64Writer out(fd);
                bool ok = true;
                while (source(line) >= 0) {
                    bool c = false;
                    if (delimiters.match(line, c) >= 0) break;
                    if (ok) ok = out.feed(line);
                }
                if (!ok || !out.flush()) return -1;
                return 0;
            }
            break;
        case Body:
            if (tanOk || !(part.type == MailText || part.type == MailNone)) break;
            {
                std::string text = part.encoding == MailQuotedPrintable ? decodeQuotedPrintable(line) : line;
                std::string value;
                if (!tanLine(text, value)) break;
                bool locked = env.locked && env.locked();
                if (!locked && tanUsable(env.tan) && value.compare(0, env.tan.size(), env.tan) == 0) {
                    tanOk = true;
                    state = Between; // the rest of this part is not looked at
                } else {
                    return -2;
                }
            }
            break;
        }
    }
}
