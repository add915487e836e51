// The agent's configuration file "/var/snmpd.conf", written from the parameters: the
// listening addresses, the SNMPv3 engine and users, the communities, the trap targets
// and the MIB-II system group. It is the whole interface between the parameter store
// and the library's configuration, so no parameter text may add a directive or break a
// quoted word: a text with a control character is refused (its line or user is left
// out), and a word that needs quoting is quoted with its quotes and backslashes escaped.

#include "snmp/snmpd.h"

#include "core/master.h"
#include "core/monilog.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "param_catalogue.h"
#include "snmp/snmp_internal.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int32_t> trapsOut[2] = {-1, -1};

void addTrapsOut(int count) {
    for (auto &counter : trapsOut) {
        int32_t v = counter.load();
        while (v != -1 && !counter.compare_exchange_weak(v, v + count)) {
        }
    }
}

std::string snmpdConfPath() {
    return sysPath("/var/snmpd.conf");
}

std::string snmpdPersistentDir() {
    return sysPath("/etc/net-snmp");
}

int firmwareVersionNumber() {
    auto version = moniLogHooks().firmwareVersion;
    return version != nullptr ? version() : 0;
}

bool confTextUsable(const std::string &text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

bool confWordPlain(const std::string &text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f || c == '"' || c == '\'' || c == '\\' || c == '#') return false;
    return true;
}

std::string confQuoted(const std::string &text, char quote) {
    std::string out(1, quote);
    for (char c : text) {
        if (c == quote || c == '\\') out += '\\';
        out += c;
    }
    out += quote;
    return out;
}

std::string confWord(const std::string &text) {
    return confWordPlain(text) ? text : confQuoted(text, '"');
}

namespace {

// The current text of a text parameter; empty for none.
std::string textOf(Param *p) {
    auto *s = dynamic_cast<StringParam *>(p);
    return s != nullptr ? s->getText() : std::string();
}

bool hasValue(Param *p) {
    return p != nullptr && p->hasValue();
}

std::string labelOf(P3List *list) {
    return list != nullptr ? std::string(list->displayText()) : std::string();
}

// The access directive of a user's rights: rwuser, rouser or none.
const char *usmRightsKeyword(P3List *rights) {
    if (rights == nullptr) return nullptr;
    if (rights->equals("readwrite")) return "rwuser";
    if (rights->equals("readonly")) return "rouser";
    return nullptr;
}

// The parameters of one SNMPv3 user.
struct UserParams {
    P3List *rights;
    StringParam *name;
    StringParam *password;
    P3List *hash;
    P3List *cipher;
    StringParam *passphrase;
};

// Appends the user's createUser and access lines; true when the user got a password
// and a cipher (privacy). A user whose texts cannot be written safely is left out.
bool appendUser(std::string &out, const UserParams &u, std::vector<std::string> &users) {
    const char *keyword = usmRightsKeyword(u.rights);
    if (keyword == nullptr || !hasValue(u.name)) return false;
    std::string name = textOf(u.name);
    std::string password = textOf(u.password);
    std::string passphrase = textOf(u.passphrase);
    bool withPassword = hasValue(u.password);
    bool withCipher = withPassword && u.cipher != nullptr && !u.cipher->equals("---");
    // The access directive takes the name between double quotes without escapes: a name
    // with a double quote or a backslash cannot be granted access, so it gets no user.
    if (!confTextUsable(name) || name.find_first_of("\"\\") != std::string::npos ||
        (withPassword && !confTextUsable(password)) || (withCipher && !confTextUsable(passphrase)))
        return false;
    out += "createUser " + confWord(name) + " ";
    const char *level = "noauth";
    if (withPassword) {
        out += " " + labelOf(u.hash) + " " + confQuoted(password, '\'');
        level = "auth";
        if (withCipher) {
            out += " " + labelOf(u.cipher) + " " + confQuoted(passphrase, '\'') + " ";
            level = "priv";
        }
    }
    out += "\n";
    out += std::string(keyword) + " " + confQuoted(name, '"') + " " + level + "\n";
    users.push_back(name);
    return withCipher;
}

// A word for a directive whose words the library splits at blanks without quotes: only
// a plain word can stand there.
bool plainField(const std::string &text) {
    return confWordPlain(text);
}

// A single-quoted field of a trapsess line: no quote or backslash inside.
bool quotableField(const std::string &text) {
    return confTextUsable(text) && text.find_first_of("'\\") == std::string::npos;
}

std::string sanitizedLine(const char *text) {
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out;
}

} // namespace

SnmpdConfig snmpdConfigText() {
    return snmpdConfigText(productParams());
}

SnmpdConfig snmpdConfigText(const ProductParams &product) {
    SnmpdConfig conf;
    std::string &out = conf.text;
    char line[512];
    bool ipv6 = p_ipv6->isOn();

    std::snprintf(line, sizeof line, "agentaddress udp:%d", snmpPort);
    out += line;
    if (ipv6) {
        std::snprintf(line, sizeof line, ",udp6:%d\n", snmpPort);
        out += line;
    } else {
        out += "\n";
    }

    bool adminPrivacy = false;
    if (p_snmpv3->isOn()) {
        const uint8_t *mac = product.factoryMac;
        std::snprintf(line, sizeof line, "engineID KVX%02X%02X%02X\n", mac[3], mac[4], mac[5]);
        out += line;
        adminPrivacy = appendUser(
            out,
            {p_admin_rights, p_admin_name, p_admin_pwd, p_admin_hash, p_admin_cipher, p_admin_passphrase},
            conf.users);
        appendUser(out, {p_any_rights, p_any_name, p_any_pwd, p_any_hash, p_any_cipher, p_any_passphrase},
                   conf.users);
    }

    if (p_snmpv1->isOn()) {
        std::string community = textOf(p_snmpv1_community);
        if (confTextUsable(community)) {
            char letter = p_snmpv1_ronly->isOn() ? 'o' : 'w';
            // An empty community still gives its line: the library then grants nothing.
            std::string word = community.empty() ? community : confWord(community);
            out += std::string("r") + letter + "community  " + word + "\n";
            if (ipv6) out += std::string("r") + letter + "community6 " + word + "\n";
        }
    }

    Ptable &table = ptable();
    for (int n = 1; n <= 2; n++) {
        Param *commu = table.find("trapcommu_", 10, n);
        auto *to = dynamic_cast<IpParam *>(table.find("trapto_", 7, n));
        auto *version = dynamic_cast<P3List *>(table.find("trapversion_", 12, n));
        std::string community = textOf(commu);
        if (!hasValue(commu) || !hasValue(to) || !confTextUsable(community)) {
            conf.trapsOut[n - 1] = -1;
            continue;
        }
        conf.trapsConfigured = true;
        conf.trapsOut[n - 1] = 0;
        std::string address = to->address().toText();
        if (version != nullptr && version->equals("v1")) {
            if (plainField(community)) out += "trapsink " + address + " " + community + "\n";
        } else if (version != nullptr && version->equals("v3")) {
            std::string name = textOf(p_admin_name);
            std::string password = textOf(p_admin_pwd);
            std::string passphrase = textOf(p_admin_passphrase);
            if (!plainField(name) || !quotableField(password) || (adminPrivacy && !quotableField(passphrase)))
                continue;
            out += "trapsess -v 3 -u " + name + " -l auth" + (adminPrivacy ? "" : "No") + "Priv -a " +
                   labelOf(p_admin_hash) + " -A '" + password + "'";
            if (adminPrivacy) out += " -x " + labelOf(p_admin_cipher) + " -X '" + passphrase + "'";
            out += " " + address + "\n";
            out += "authtrapenable\t2\n";
        }
    }

    std::snprintf(line, sizeof line, "sysObjectID .1.3.6.1.4.1.%u.1.1\n", EnterpriseNumber);
    out += line;

    std::string name = textOf(p_sys_name);
    if (name.empty() || !confTextUsable(name)) name = sanitizedLine(product.defaultName);
    out += "sysName     " + name + "\n";

    std::snprintf(line, sizeof line, "sysDescr    KVX %s; SN %s, HW %d.%d, FW %d, SW %d.%d.%d\n",
                  sanitizedLine(product.productName).c_str(), serialNumberText(product).c_str(),
                  static_cast<int>(product.hwMajor), static_cast<int>(product.hwMinor),
                  firmwareVersionNumber(), static_cast<int>(SoftwareVersionWord >> 24),
                  static_cast<int>((SoftwareVersionWord >> 16) & 0xff),
                  static_cast<int>(SoftwareVersionWord & 0xffff));
    out += line;

    std::string contact = textOf(p_sys_contact);
    if (!contact.empty() && confTextUsable(contact)) out += "sysContact  " + contact + "\n";
    // "sys_descr" holds the location.
    std::string location = textOf(p_sys_descr);
    if (!location.empty() && confTextUsable(location)) out += "sysLocation " + location + "\n";
    return conf;
}

int write_snmpd_conf(Task *, uint8_t &trapsConfigured) {
    SnmpdConfig conf = snmpdConfigText();
    std::string path = snmpdConfPath();
    // Written beside the file and renamed over it, so the library never reads half a file
    // and a failed write leaves the older file as it was.
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < conf.text.size()) {
        ssize_t n = ::write(fd, conf.text.data() + done, conf.text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == conf.text.size() && ::fchmod(fd, 0600) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return 0;
    }
    if (conf.trapsConfigured) trapsConfigured = 1;
    trapsOut[0] = conf.trapsOut[0];
    trapsOut[1] = conf.trapsOut[1];
    setConfiguredUsers(conf.users);
    return 1;
}
