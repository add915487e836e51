// The status pages' shared writers: the USB port table of the home page and of the
// port power page, and the signal class of a Wi-Fi level.
#pragma once

#include <string>

class HttpConnection;

// Fills the USB port table variables (UTAB_*_N, USB_PLUGGED) for every port that has a
// power setting. Returns the page-handler result (the page's template).
int writeUsbPortTable(HttpConnection &c);
// The same for that many ports (tests).
int writeUsbPortTable(HttpConnection &c, int ports);

// An appliance path from a query: percent escapes decoded, "." and ".." resolved and
// duplicate slashes dropped, so that the result always starts with "/" and never climbs
// above it. False for a broken escape, a zero byte or a text over 1,024 bytes.
bool resolveAppliancePath(const std::string &query, std::string &path);

// The form fields of the request that a visitor below the administrator level may
// store on the page: other fields are removed before the form is applied.
void keepOnlyFields(HttpConnection &c, bool (*allowed)(const char *name, int port), int port);

// The crash text of the information page: " [N]" with "!" after the count when the last
// run ended uncleanly and a second "!" for the storage slot's marker; "" when there is
// nothing to show.
std::string crashesText(int crashes, bool unclean, bool slotMarker);
