// The security pages: the TLS state of the web connection and of the other TLS
// clients, the login-session usage, the port power page and the per-port USB security
// pages (power, VLAN binding, access mode, port keys and their validity, allowed ids,
// tag and description).

#include "core/catalogue.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/tls.h"
#include "notify/webdav_client.h"
#include "param_catalogue.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_server.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/pages_status.h"
#include "web/sessions.h"
#include "web/webtext.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <pthread.h>

namespace {

int usbPortCount() {
    return static_cast<int>(std::min<uint32_t>(productParams().usbPorts, UsbMaxPorts));
}

bool hasKeyValidity() {
    unsigned id = productParams().productId;
    return id == 287 || id == 294 || id == 295 || id == 307;
}

// The number after a parameter family's prefix, -1 when the name is not of it.
int familyIndex(const char *name, const char *prefix) {
    size_t n = std::strlen(prefix);
    if (std::strncmp(name, prefix, n) != 0 || name[n] < '1' || name[n] > '9') return -1;
    char *end = nullptr;
    long v = std::strtol(name + n, &end, 10);
    return *end == '\0' && v <= 1000 ? static_cast<int>(v) : -1;
}

// usb.html stores only the ports' power settings.
bool powerField(const char *name, int) {
    return familyIndex(name, "zqn_ppwr_") > 0;
}

// A port page stores only the parameters of its own port.
bool portField(const char *name, int port) {
    int ports = usbPortCount();
    for (const char *prefix :
         {"zqn_ppwr_", "zqn_2vlan_", "zqn_accctrl_", "zqn_vendprodIDs_", "zqn_tag_", "zqn_dscr_"})
        if (familyIndex(name, prefix) == port) return true;
    for (const char *prefix : {"zqn_pkkey_", "zqn_pkvalid_", "zqn_pkalive_"}) {
        int k = familyIndex(name, prefix);
        if (k == port || k == port + ports) return true;
    }
    return false;
}

// Applies the page's form; below the administrator level only the page's own
// parameters are stored (a USB manager cannot set passwords through a port page).
int applyLimitedForm(HttpConnection &c, bool (*allowed)(const char *, int), int port) {
    if (c.renderLevel() < 4) keepOnlyFields(c, allowed, port);
    return applyFormAction(c);
}

std::string cipherDescription(const SSL_CIPHER *cipher) {
    char text[141] = "";
    if (cipher) SSL_CIPHER_description(cipher, text, 140);
    text[140] = '\0';
    // The description ends in a line feed.
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == ' '))
        text[--n] = '\0';
    return text;
}

int sslPage(HttpConnection &c, const PageEntry &e) {
    int r = applyFormAction(c);
    if (r != PageTemplate) return r;
    bool details = std::strcmp(e.url, "/security/details.html") == 0;
    if (c.isTls()) {
        SSL *ssl = c.tcp->tls;
        if (details) {
            // "OpenSSL 3.0.x 1 Sep 2022" shows as "3.0.x, 1 Sep 2022".
            std::string version = OpenSSL_version(OPENSSL_VERSION);
            size_t first = version.find(' ');
            std::string rest = first == std::string::npos ? version : version.substr(first + 1);
            size_t second = rest.find(' ');
            if (second != std::string::npos) rest.insert(second, ",");
            c.setVarEscaped("SSLEAY_VERSION", rest.c_str());
            STACK_OF(SSL_CIPHER) *suites = SSL_get_client_ciphers(ssl);
            if (suites == nullptr) suites = SSL_get_ciphers(ssl);
            int count = suites ? sk_SSL_CIPHER_num(suites) : 0;
            std::string row;
            int rows = 0;
            for (int i = 0; i < count; i++) {
                const SSL_CIPHER *suite = sk_SSL_CIPHER_value(suites, i);
                char cell[256];
                std::snprintf(cell, sizeof cell, "<td>%s+%s</td>", SSL_CIPHER_get_name(suite),
                              SSL_CIPHER_get_version(suite));
                row += cell;
                if (i % 2 == 1 || i == count - 1) {
                    c.setVarIndexed("Ciphers_", rows++, row.c_str());
                    row.clear();
                }
            }
            c.setVarf("Ciphers#", "%d", rows);
        }
        const SSL_CIPHER *current = SSL_get_current_cipher(ssl);
        if (current) c.setVarEscaped("CipherInfo", cipherDescription(current).c_str());
    }
    const char *levels[] = {"Low", "Medium", "High", "Any"};
    int security = p_security->value();
    if (security >= 1 && security <= 4) {
        const char *level = getmuText(levels[security - 1]);
        if (tlsLegacyLoaded())
            c.setVarf("EncLevel", "%s &nbsp; (+ %s )", level, getmuText("Legacy"));
        else
            c.setVar("EncLevel", level);
    }
    c.setVarEscaped("ZqnSSL", usbLastCipher().c_str());
    // The mail clients keep no cipher text of their own.
    c.setVar("Pop3SSL", "");
    c.setVar("SmtpSSL", "");
    char webdav[WebDavCipherSize];
    webdavCipherText(webdav, sizeof webdav);
    c.setVarEscaped("WDavSSL", webdav);
    return PageTemplate;
}

int httpPage(HttpConnection &c, const PageEntry &) {
    int r = applyFormAction(c);
    if (r != PageTemplate) return r;
    int administrators = 0, users = 0;
    sessionStore().countLogged(administrators, users);
    c.setVarf("AdmOpenSess", "%d", administrators);
    c.setVarf("AnyOpenSess", "%d", users);
    c.setVarf("UsedSess", "%d", administrators + users);
    c.setVarf("AvailSess", "%d", 16);
    return PageTemplate;
}

int usbPage(HttpConnection &c, const PageEntry &) {
    int r = applyLimitedForm(c, powerField, 0);
    if (r != PageTemplate) return r;
    return writeUsbPortTable(c);
}

int authenticationPage(HttpConnection &c, const PageEntry &) {
    int r = applyFormAction(c);
    if (r != PageTemplate) return r;
    setCaCertVariables(c);
    return PageTemplate;
}

std::string textOf(Param *p) {
    if (p == nullptr || !p->hasValue()) return "";
    char text[512] = "";
    p->toText(text, sizeof text, false);
    return text;
}

// The choice marker "<prefix><index>" = "1" of an enumeration's current option.
void setChoice(HttpConnection &c, const char *prefix, Param *p) {
    auto *list = static_cast<P3List *>(p);
    int current = list->current();
    if (current < 0 || current >= list->optionCount()) current = 0;
    c.setVarIndexed(prefix, current, "1");
}

int portPage(HttpConnection &c, const PageEntry &) {
    int ports = usbPortCount();
    int n = c.pageN;
    if (n < 1 || n > ports) return PageServerError;
    Ptable &t = ptable();
    Param *power = t.find("zqn_ppwr_", 9, n), *vlan = t.find("zqn_2vlan_", 10, n),
          *access = t.find("zqn_accctrl_", 12, n), *key1 = t.find("zqn_pkkey_", 10, n),
          *ids = t.find("zqn_vendprodIDs_", 16, n), *tag = t.find("zqn_tag_", 8, n),
          *dscr = t.find("zqn_dscr_", 9, n), *key2 = t.find("zqn_pkkey_", 10, n + ports);
    if (!power || !vlan || !access || !key1 || !ids || !tag || !dscr || !key2) return PageServerError;
    bool validity = hasKeyValidity();
    Param *valid1 = nullptr, *valid2 = nullptr, *alive1 = nullptr, *alive2 = nullptr;
    if (validity) {
        valid1 = t.find("zqn_pkvalid_", 12, n);
        valid2 = t.find("zqn_pkvalid_", 12, n + ports);
        alive1 = t.find("zqn_pkalive_", 12, n);
        alive2 = t.find("zqn_pkalive_", 12, n + ports);
        if (!valid1 || !valid2 || !alive1 || !alive2) return PageServerError;
    }
    int r = applyLimitedForm(c, portField, n);
    if (r != PageTemplate) return r;
    c.setVarf("Slot", "%d", n);
    if (textOf(power) == "on") {
        std::string list;
        bool first = true;
        for (int i = 0; i < std::clamp(usbDeviceCount.load(), 0, UsbDeviceTableSize); i++) {
            UsbDevice &e = usbDeviceTable[i];
            if (e.state.load() <= 1) continue;
            // The entry's fields as one snapshot under its lock.
            pthread_mutex_lock(&e.mutex);
            bool here = e.state.load() > 1 && e.port == n;
            int vid = e.vendorId & 0xffff, pid = e.productId & 0xffff;
            std::string manu(e.manufacturer, strnlen(e.manufacturer, sizeof e.manufacturer));
            std::string prod(e.product, strnlen(e.product, sizeof e.product));
            std::string serial(e.serial, strnlen(e.serial, sizeof e.serial));
            pthread_mutex_unlock(&e.mutex);
            if (!here || list.size() > 68) continue;
            if (first && list.size() <= 10) {
                c.setVarIndexed("UTAB_manu_", n, manu.empty() ? "???" : htmlEscaped(manu.c_str()).c_str());
                c.setVar("UTABprodN", prod.empty() ? "???" : htmlEscaped(prod.c_str()).c_str());
                c.setVarIndexed("UTAB_sern_", n,
                                serial.empty() ? "???" : htmlEscaped(serial.c_str()).c_str());
                c.setVarIndexedf("UTAB_prodID_", n, "%04x", pid);
                c.setVarIndexedf("UTAB_vendID_", n, "%04x", vid);
            }
            char pair[16];
            std::snprintf(pair, sizeof pair, "%s%04x:%04x", first ? "" : ",", vid, pid);
            list += pair;
            first = false;
        }
        if (!list.empty()) c.setVar("UTAB_pvIDs", list.c_str());
    }
    int v = static_cast<IntParam *>(vlan)->value();
    if (v <= 0)
        c.setVar("UTAB_VLan", getmuText("every"));
    else if (v > ports)
        c.setVar("UTAB_VLan", getmuText("none"));
    else
        c.setVarf("UTAB_VLan", "%d", v);
    setChoice(c, "SelAccc_", access);
    std::string vpro = textOf(ids);
    c.setVarEscaped("VPro", vpro.c_str());
    c.setVarEscaped("VP", vpro.empty() ? getmuText("None") : vpro.c_str());
    c.setVarf("Key2Idx", "%d", n + ports);
    c.setVarEscaped("KeyVal1", textOf(key1).c_str());
    c.setVarEscaped("KeyVal2", textOf(key2).c_str());
    c.setVarEscaped("ZqnTag", textOf(tag).c_str());
    c.setVarEscaped("ZqnDscr", textOf(dscr).c_str());
    c.setVarEscaped("Meth", static_cast<P3List *>(access)->displayText());
    if (validity) {
        setChoice(c, "SelVali1_", valid1);
        setChoice(c, "SelVali2_", valid2);
        c.setVarEscaped("PKalive1", textOf(alive1).c_str());
        c.setVarEscaped("PKalive2", textOf(alive2).c_str());
        c.setVarEscaped("Val1", static_cast<P3List *>(valid1)->displayText());
        c.setVarEscaped("Val2", static_cast<P3List *>(valid2)->displayText());
    }
    c.setVarf("PortStatus", getmuText("USB port %d status"), n);
    c.setVarf("PortCfg", getmuText("USB port %d security"), n);
    c.setVarf("PortDscr", getmuText("USB port %d description"), n);
    return PageTemplate;
}

} // namespace

WEB_PAGE("/security/ssl.html", sslPage);
WEB_PAGE("/security/details.html", sslPage);
WEB_PAGE("/security/http.html", httpPage);
WEB_PAGE("/security/usb.html", usbPage);
WEB_PAGE("/security/authentication.html", authenticationPage);
WEB_PAGE("/security/usbportN.html", portPage);
WEB_PAGE("/security/usbpsecN.html", portPage);
