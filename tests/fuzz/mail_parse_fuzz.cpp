// The received-mail reader under arbitrary mails: header fields, the subject's command,
// multipart walks with nested boundaries, parameter lines behind a TAN and the Base64
// attachment. Whatever the lines, every reader ends, keeps its fields within their
// bounds and writes no more than the mail holds.
//
// Input: byte 0 chooses the reader; the rest is the mail, split into lines at LF.
#include "notify/mail_parse.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    int mode = data[0] % 3;
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 1; i < size; i++) {
        if (data[i] == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(data[i]);
        }
    }
    lines.push_back(line);
    size_t next = 0;
    LineSource source = [&](std::string &out) {
        if (next >= lines.size()) return -1;
        out = lines[next++];
        return static_cast<int>(out.size());
    };
    MailHeaders mail;
    parseMailHeaders(source, mail, true);
    if (mail.from.size() > MailFieldMax || mail.subject.size() > MailFieldMax ||
        mail.depth > MailBoundaryDepth)
        __builtin_trap();
    MailCommandEnv env;
    env.tan = "AbCdEfGh12345678";
    env.locked = [] { return false; };
    env.set = [](const char *, const char *) { return 2; };
    if (mode == 0) {
        bool accepted = false;
        setParametersFromMail(source, mail, env, accepted);
    } else if (mode == 1) {
        FILE *f = std::tmpfile();
        if (f == nullptr) return 0;
        int result = saveAttachmentFromMail(source, mail, env, fileno(f));
        if (result < -4 || result > 0) __builtin_trap();
        // Base64 gives at most three bytes for four characters of the mail.
        if (lseek(fileno(f), 0, SEEK_END) > static_cast<off_t>(size)) __builtin_trap();
        std::fclose(f);
    } else {
        decodeQuotedPrintable(lines.empty() ? std::string() : lines[0]);
    }
    return 0;
}
