// What the notification task writes: subjects from templates, and (as Notify members)
// the header block, event sections, status bodies and the monitoring mail.
#pragma once

#include <cstddef>
#include <cstdint>

// Expands a subject template into out (size bytes, zero-terminated): %% %1..%4 %D %E %H
// %I %M %N %P %p %T. In mail mode a subject that holds a byte of 0x80 or above, a control
// character or a symbol becomes one RFC 2047 Q-encoded word (values included); mode 0
// writes it as it is, with the symbols as HTML character references. The length written.
int format_mail_subject(const char *eventText, const char *templ, char *out, size_t size, int mailMode);

// The boundary of the multipart mails.
constexpr const char *MailBoundary = "------------000706060801030302000901";
