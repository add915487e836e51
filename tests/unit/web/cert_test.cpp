// The certificate store's work object: the form check, and the attributes it reads from
// certificates made by the openssl command line.
#include "core/ptable.h"
#include "core/tls.h"
#include "core/tls_internal.h"
#include "core/utils_file.h"
#include "web/cert.h"

#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qmr_cert_XXXXXX";
        char *p = ::mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs a shell command; its standard output.
std::string run(const std::string &command) {
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

void setForm(const std::string &sy, const std::string &sm, const std::string &sd, const std::string &ey,
             const std::string &em, const std::string &ed) {
    cert::lock();
    cert *c = cert::get();
    c->clearAttributes();
    const std::pair<int, std::string> values[] = {
        {cert::Cn, "cn"}, {cert::On, "org"}, {cert::Ln, "town"}, {cert::Ctry, "DE"}, {cert::SYear, sy},
        {cert::SMon, sm}, {cert::SDay, sd},  {cert::EYear, ey},  {cert::EMon, em},   {cert::EDay, ed}};
    for (const auto &[slot, text] : values)
        if (!text.empty()) c->setAttribut(slot, text.c_str());
    cert::unlock();
}

} // namespace

TEST(CertValidate, Dates) {
    struct Case {
        const char *sy, *sm, *sd, *ey, *em, *ed;
        bool valid;
    } cases[] = {
        {"2024", "2", "29", "2026", "2", "28", true},  // leap day
        {"2023", "2", "29", "2025", "2", "28", false}, // no leap year
        {"2100", "2", "29", "2102", "2", "28", false}, // century without leap day
        {"2000", "2", "29", "2000", "2", "29", true},  // 400-year leap day, end equals start
        {"2024", "3", "2", "2024", "3", "1", false},   // end a day before the start
        {"1999", "12", "31", "2001", "1", "1", false}, // before 2000
        {"2024", "13", "1", "2025", "1", "1", false},  {"2024", "4", "31", "2025", "1", "1", false},
        {"2024", "0", "1", "2025", "1", "1", false},   {"2024", "1", "1", "2055", "12", "31", true},
        {"2024", "1", "x", "2025", "1", "1", false},   {"2024", "1", "", "2025", "1", "1", false},
        {"20245", "1", "1", "2025", "1", "1", false},
    };
    for (const Case &c : cases) {
        certGenState = GenNone;
        setForm(c.sy, c.sm, c.sd, c.ey, c.em, c.ed);
        EXPECT_EQ(cert::validate(0), c.valid ? 1 : 0) << c.sy << "-" << c.sm << "-" << c.sd;
        EXPECT_EQ(certGenState.load(), c.valid ? GenReady : GenNone);
        // A request needs no dates.
        certGenState = GenNone;
        EXPECT_EQ(cert::validate(CertRequest), 1);
    }
    // The required names; and no second form while one is waiting for the generator.
    certGenState = GenNone;
    setForm("2024", "1", "1", "2025", "1", "1");
    cert::lock();
    cert::get()->setAttribut(cert::Ctry, "");
    cert::unlock();
    EXPECT_EQ(cert::validate(CertRequest), 0);
    setForm("2024", "1", "1", "2025", "1", "1");
    EXPECT_EQ(cert::validate(0), 1);
    EXPECT_EQ(cert::validate(0), 0);
    certGenState = GenNone;
    cert::release();
}

TEST(CertLoad, AttributesOfAnOpensslCertificate) {
    TempDir dir;
    std::string pem = dir.file("c.pem");
    std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " + dir.file("k.pem") + " -out " + pem +
        " -subj '/C=DE/ST=Bavaria/L=Munich/O=Example & Co/OU=Lab/CN=x\\/OU=forged/DC=example/DC=org"
        "/emailAddress=a@example.org' -addext 'subjectAltName=DNS:a,DNS:b,IP:192.0.2.1,IP:2001:db8::1'"
        " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_EQ(cert::load(CertOwn, pem.c_str()), 1);
    CertView v = cert::view();
    EXPECT_EQ(v[cert::Cn], "x/OU=forged");
    EXPECT_EQ(v[cert::Ou], "Lab");
    EXPECT_EQ(v[cert::On], "Example & Co");
    EXPECT_EQ(v[cert::Ln], "Munich");
    EXPECT_EQ(v[cert::Sn], "Bavaria");
    EXPECT_EQ(v[cert::Ctry], "DE");
    EXPECT_EQ(v[cert::Dc], "example/org");
    EXPECT_EQ(v[cert::Mail], "a@example.org");
    EXPECT_EQ(v[cert::San], "DNS:a, DNS:b, IP:192.0.2.1, IP:2001:db8::1");
    EXPECT_EQ(v[cert::ICn], "x/OU=forged");
    EXPECT_EQ(v[cert::IDc], "example/org");
    EXPECT_EQ(v.keyBits, 2048);
    EXPECT_EQ(v.subjectHash, v.issuerHash);

    // Serial, key ids and fingerprints as openssl prints them.
    auto field = [&](const std::string &args) {
        std::string out = run("openssl x509 -noout " + args + " -in " + pem);
        out = out.substr(out.find('=') + 1);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        return out;
    };
    std::string serial = field("-serial");
    std::string pairs;
    if (serial.size() % 2) serial = "0" + serial;
    for (size_t i = 0; i < serial.size(); i += 2)
        pairs += (i ? ":" : "") + serial.substr(i, 2);
    for (char &ch : pairs)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(v[cert::Ser], pairs);
    EXPECT_EQ(v[cert::Sha1], field("-fingerprint -sha1"));
    EXPECT_EQ(v[cert::Sha2], field("-fingerprint -sha256"));
    std::string ski = run("openssl x509 -noout -ext subjectKeyIdentifier -in " + pem);
    std::string kid = v[cert::Kid];
    for (char &ch : kid)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_NE(ski.find(kid), std::string::npos) << ski << " / " << kid;
    EXPECT_FALSE(v[cert::IKid].empty());

    // The template value escapes the texts.
    char buf[256];
    ASSERT_GT(certVariable("certself_on", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "Example &amp; Co");
    int n = certVariable("certself_nosuch", buf, sizeof buf);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buf)));
    EXPECT_STREQ(buf, "-- internal error --");
    EXPECT_EQ(certVariable("certother_cn", buf, sizeof buf), -1);

    // The same certificate as DER, and as the second of a file.
    std::string der = dir.file("c.der");
    ASSERT_EQ(std::system(("openssl x509 -outform DER -in " + pem + " -out " + der).c_str()), 0);
    ASSERT_EQ(cert::load(CertCa, der.c_str()), 1);
    EXPECT_EQ(cert::view()[cert::Sha2], v[cert::Sha2]);
    std::string two = dir.file("two.pem");
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=first -keyout " +
                           dir.file("k2.pem") + " -out " + two + " 2>/dev/null && cat " + pem + " >> " + two)
                              .c_str()),
              0);
    ASSERT_EQ(cert::load(CertInstalled | (2 << 8), two.c_str()), 1);
    EXPECT_EQ(cert::view()[cert::Cn], "x/OU=forged");
    ASSERT_EQ(cert::load(CertInstalled | (1 << 8), two.c_str()), 1);
    EXPECT_EQ(cert::view()[cert::Cn], "first");
    EXPECT_EQ(cert::load(CertInstalled | (3 << 8), two.c_str()), 0);

    // A request: subject, key size, names.
    std::string req = dir.file("r.pem");
    ASSERT_EQ(
        std::system(("openssl req -new -newkey rsa:3072 -nodes -keyout " + dir.file("rk.pem") + " -out " +
                     req + " -subj /CN=asker/O=Org -addext subjectAltName=DNS:asker 2>/dev/null")
                        .c_str()),
        0);
    ASSERT_EQ(cert::load(CertRequest, req.c_str()), 1);
    CertView r = cert::view();
    EXPECT_EQ(r[cert::Cn], "asker");
    EXPECT_EQ(r[cert::San], "DNS:asker");
    EXPECT_EQ(r.keyBits, 3072);
    EXPECT_NE(r.requestText.find("BEGIN CERTIFICATE REQUEST"), std::string::npos);

    // Garbage loads nothing and leaves the object as it was.
    std::ofstream(dir.file("junk")) << "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
    EXPECT_EQ(cert::load(CertOwn, dir.file("junk").c_str()), 0);
    EXPECT_EQ(cert::load(CertRequest, dir.file("junk").c_str()), 0);
    EXPECT_EQ(cert::view()[cert::Cn], "asker");
    cert::release();
}

// UTCTime years 50-99 are 19xx; GeneralizedTime carries four digits.
TEST(CertLoad, DatesOnBothSidesOf2000And2050) {
    struct Case {
        const char *start, *end, *startText, *endText;
    } cases[] = {{"990101000000Z", "491231235959Z", "1999/01/01", "2049/12/31"},
                 {"500615000000Z", "20550301000000Z", "1950/06/15", "2055/03/01"},
                 {"20240229000000Z", "20991231000000Z", "2024/02/29", "2099/12/31"}};
    EVP_PKEY *key = EVP_RSA_gen(1024);
    ASSERT_NE(key, nullptr);
    TempDir dir;
    for (const Case &c : cases) {
        X509 *x = X509_new();
        X509_set_version(x, X509_VERSION_3);
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        ASSERT_EQ(ASN1_TIME_set_string(X509_getm_notBefore(x), c.start), 1);
        ASSERT_EQ(ASN1_TIME_set_string(X509_getm_notAfter(x), c.end), 1);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("d"), -1, -1, 0);
        X509_set_issuer_name(x, X509_get_subject_name(x));
        X509_set_pubkey(x, key);
        ASSERT_GT(X509_sign(x, key, EVP_sha256()), 0);
        FILE *f = std::fopen(dir.file("d.pem").c_str(), "w");
        PEM_write_X509(f, x);
        std::fclose(f);
        X509_free(x);
        ASSERT_EQ(cert::load(CertCa, dir.file("d.pem").c_str()), 1);
        CertView v = cert::view();
        EXPECT_EQ(v[cert::Start], c.startText);
        EXPECT_EQ(v[cert::End], c.endText);
    }
    EVP_PKEY_free(key);
    cert::release();
}

TEST(CertPool, SlotsAppendAndOverflow) {
    cert::lock();
    cert *c = cert::get();
    c->clearAttributes();
    EXPECT_EQ(c->setAttribut(cert::Dc, "a"), 1);
    EXPECT_EQ(c->setAttribut(cert::Dc, "b", -1, 0, nullptr, true), 1);
    EXPECT_EQ(c->setAttribut(cert::San, "x", -1, 0, "DNS:"), 1);
    EXPECT_EQ(c->setAttribut(cert::San, "y", -1, 0, "DNS:", true), 1);
    EXPECT_STREQ(c->attributeLocked(cert::Dc), "a/b");
    EXPECT_STREQ(c->attributeLocked(cert::San), "DNS:x,DNS:y");
    EXPECT_EQ(c->setAttribut(32, "z"), 0);
    std::string big(cert::PoolSize, 'x');
    EXPECT_EQ(c->setAttribut(cert::Cn, big.c_str()), 0);
    EXPECT_STREQ(c->attributeLocked(cert::Cn), "");
    const unsigned char bytes[] = {0x01, 0xab, 0xff};
    EXPECT_EQ(c->setHexAttribut(cert::Kid, false, bytes, 3), 1);
    EXPECT_STREQ(c->attributeLocked(cert::Kid), "01:ab:ff");
    EXPECT_EQ(c->setHexAttribut(cert::Kid, true, bytes, 3), 1);
    EXPECT_STREQ(c->attributeLocked(cert::Kid), "ff:ab:01");
    cert::unlock();
    cert::release();
}

TEST(CertNames, OnlyHashNamesNameFiles) {
    struct Case {
        const char *name;
        bool withSuffix, valid;
    } cases[] = {{"0a1b2c3d.0", true, true},  {"0a1b2c3d", false, true},    {"0A1B2C3D.0", true, false},
                 {"../params", false, false}, {"0a1b2c3d.0/", true, false}, {"0a1b2c3d.1", true, false},
                 {"0a1b2c3", false, false},   {"0a1b2c3d0", false, false},  {"", false, false},
                 {"0a1b2c3g.0", true, false}, {"0a1b2c3d.0", false, false}, {"0a1b2c3d", true, false}};
    for (const Case &c : cases)
        EXPECT_EQ(certHashName(c.name, c.withSuffix), c.valid) << c.name;
    EXPECT_FALSE(certHashName(nullptr, true));
}

// The PKCS#12 password is the last line of the upload, at most its last 64 bytes.
TEST(CertPkcs12, PasswordIsTheLastLine) {
    struct Case {
        std::string upload, password;
    } cases[] = {{"binary\r\n--b\r\nContent-Disposition: form-data; name=\"pwd\"\r\n\r\nsecret", "secret"},
                 {"binary\r\n\r\n", ""},
                 {"x\n" + std::string(70, 'p'), std::string(64, 'p')},
                 {"pw", "pw"},
                 {"", ""}};
    TempDir dir;
    for (const Case &c : cases) {
        std::string path = dir.file("upload");
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.upload;
        int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(pkcs12Password(fd), c.password);
        ::close(fd);
    }
    // No bundle: nothing is imported.
    const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x03};
    EXPECT_EQ(importPkcs12Bytes(junk, sizeof junk, ""), 0);
}

namespace {

// The child's part of the restore test: 0 when all went as it should, else the number
// of the check that failed.
int restoreInSandbox(const std::string &slot) {
    const std::string certs = certDir();
    auto exists = [](const std::string &p) { return ::access(p.c_str(), F_OK) == 0; };
    auto modeOf = [](const std::string &p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
    };
    if (restore_certs_from_dir(slot.c_str()) != 1) return 2;
    // The own pair is not taken from the slot; the installed pair and the request are.
    if (exists(certs + "/cert_pkey.pem") || exists(certs + "/cert_srv.pem")) return 3;
    if (!exists(certs + "/cert_fsrv.pem") || modeOf(certs + "/cert_fpkey.pem") != 0600) return 4;
    if (modeOf(certs + "/cert_req.pem") != 0644) return 5;
    // A CA copy that fails (its source is a directory) removes only that CA file.
    if (!exists(certs + "/0a1b2c3d.0") || exists(certs + "/0bad0bad.0")) return 6;
    if (!exists(certs + "/802.1x/0a1b2c3d.0")) return 7;
    return 0;
}

} // namespace

// The restore from the storage slot runs under a sandbox root, which a process reads
// once: it runs in a fresh child that gets the root from the environment.
TEST(CertRestoreDeathTest, RestoreTakesTheSlotsFiles) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *env = std::getenv("QMR_ROOT");
    std::string root = env ? env : "";
    std::optional<TempDir> dir;
    if (root.empty()) {
        dir.emplace();
        root = dir->file("root");
        std::string slot = root + "/var/slot1";
        std::system(
            ("mkdir -p " + root + "/etc/certs/802.1x " + slot + "/802.1x " + slot + "/0bad0bad.0").c_str());
        for (const char *name : {"cert_pkey.pem", "cert_srv.pem", "cert_fpkey.pem", "cert_fsrv.pem",
                                 "cert_req.pem", "0a1b2c3d.0", "802.1x/0a1b2c3d.0"})
            std::ofstream(slot + "/" + name) << "-----BEGIN X-----\n" << name << "\n-----END X-----\n";
        // An old CA file of the same name as the failing copy is removed.
        std::ofstream(root + "/etc/certs/0bad0bad.0") << "old\n";
        setenv("QMR_ROOT", root.c_str(), 1);
    }
    EXPECT_EXIT(std::_Exit(restoreInSandbox(root + "/var/slot1")), ::testing::ExitedWithCode(0), "");
    if (dir) unsetenv("QMR_ROOT");
}

// The default certificate's dates, as the start-up fills them, pass the store's check:
// a start on 29 February ends on the 28th two years on (the 29th would be refused).
TEST(CertValidate, TheDefaultFormsDatesPass) {
    struct Case {
        int year, month, day;
    } clocks[] = {{2026, 12, 10}, {2024, 2, 29}, {2028, 2, 29}, {2030, 1, 31}, {1970, 1, 1}};
    for (const Case &c : clocks) {
        struct tm now {};
        now.tm_year = c.year - 1900;
        now.tm_mon = c.month - 1;
        now.tm_mday = c.day;
        TlsCertForm form;
        tlsDefaultValidity(now, 2019, 5, form);
        auto text = [](int n) { return std::to_string(n); };
        certGenState = GenNone;
        setForm(text(form.startYear), text(form.startMonth), text(form.startDay), text(form.endYear),
                text(form.endMonth), text(form.endDay));
        EXPECT_EQ(cert::validate(0), 1) << c.year << "-" << c.month << "-" << c.day;
    }
    certGenState = GenNone;
    setForm("2024", "2", "29", "2026", "2", "29");
    EXPECT_EQ(cert::validate(0), 0);
    certGenState = GenNone;
    cert::release();
}

// Pages read the object while other requests load certificates into it and release
// it: every copy they get is one whole certificate (a self-signed one: subject and
// issuer agree), never a pool half refilled or freed, and a page that loads gets the
// copy of what it loaded.
TEST(CertView, CopiesStayWholeWhileTheObjectIsRefilled) {
    TempDir dir;
    const std::string names[] = {"alpha-certificate", "beta"};
    std::string paths[2];
    for (int i = 0; i < 2; i++) {
        paths[i] = dir.file(names[i] + ".pem");
        std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " + dir.file("k.pem") +
                          " -out " + paths[i] + " -subj /CN=" + names[i] + "/O=" + names[i] + " 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    certGenState = GenNone;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, seen{0};
    auto whole = [&](const std::string &cn) { return cn.empty() || cn == names[0] || cn == names[1]; };
    std::thread loader([&] {
        for (int i = 0; i < 400; i++) {
            cert::load(CertCa, paths[i % 2].c_str());
            if (i % 7 == 0) cert::release();
        }
        done = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; r++)
        readers.emplace_back([&] {
            while (!done.load()) {
                CertView v = cert::view();
                if (!whole(v[cert::Cn]) || v[cert::Cn] != v[cert::ICn] || v[cert::Cn] != v[cert::On]) torn++;
                char buf[128];
                if (certVariable("certca_cn", buf, sizeof buf) < 0 || !whole(buf)) torn++;
                if (!v[cert::Cn].empty()) seen++;
                // A page's own load: its copy is the certificate it asked for.
                int k = seen.load() % 2;
                CertView mine;
                if (cert::load(CertCa, paths[k].c_str(), -1, &mine) != 1 || mine[cert::Cn] != names[k])
                    torn++;
            }
        });
    loader.join();
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(seen.load(), 0);
    cert::release();
}

namespace {

// The child's part of the generation test: 0 when all went as it should, else the
// number of the check that failed.
int generateInSandbox() {
    ptable();
    // The daemon runs under the file mask 077; the store's modes do not follow it.
    ::umask(077);
    CertView form;
    const std::pair<int, const char *> values[] = {{cert::Cn, "gen-unit"},
                                                   {cert::On, "Org"},
                                                   {cert::Ou, "Lab"},
                                                   {cert::Ln, "Town"},
                                                   {cert::Sn, "State"},
                                                   {cert::Ctry, "DE"},
                                                   {cert::Dc, "example/org"},
                                                   {cert::Mail, "a@example.org"},
                                                   {cert::San, "DNS:gen-unit,IP:198.18.0.1"},
                                                   {cert::SYear, "2048"},
                                                   {cert::SMon, "02"},
                                                   {cert::SDay, "29"},
                                                   {cert::EYear, "2050"},
                                                   {cert::EMon, "02"},
                                                   {cert::EDay, "28"}};
    for (const auto &[slot, text] : values)
        form.values[static_cast<size_t>(slot)] = text;
    const std::string key = certPath(CertOwnKey), pem = certPath(CertOwn);
    auto modeOf = [](const std::string &p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
    };
    auto readCert = [](const std::string &p) {
        FILE *f = std::fopen(p.c_str(), "r");
        X509 *x = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
        if (f) std::fclose(f);
        return x;
    };
    auto serialOf = [](X509 *x) {
        BIGNUM *bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr);
        char *hex = bn ? BN_bn2hex(bn) : nullptr;
        std::string text = hex ? hex : "";
        bool ok = bn && !BN_is_negative(bn) && BN_num_bits(bn) >= 64;
        OPENSSL_free(hex);
        BN_free(bn);
        return ok ? text : std::string();
    };

    std::string serials[2];
    for (std::string &serial : serials) {
        certGenState = GenRunning;
        if (!generateKeyAndCertificate(form, 0, 2048) || certGenState.load() != GenDone) return 2;
        if (modeOf(key) != 0600 || modeOf(pem) != 0644) return 3;
        X509 *x = readCert(pem);
        if (x == nullptr) return 4;
        char subject[512];
        X509_NAME_oneline(X509_get_subject_name(x), subject, sizeof subject);
        bool ok = std::strcmp(subject, "/C=DE/ST=State/L=Town/O=Org/OU=Lab/CN=gen-unit/DC=example/DC=org"
                                       "/emailAddress=a@example.org") == 0 &&
                  X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)) == 0 &&
                  X509_get_version(x) == X509_VERSION_3 && X509_verify(x, X509_get0_pubkey(x)) == 1;
        // Dates on both sides of 2050: UTCTime, then GeneralizedTime.
        ASN1_TIME *start = ASN1_TIME_new(), *end = ASN1_TIME_new();
        ASN1_TIME_set_string(start, "20480229000000Z");
        ASN1_TIME_set_string(end, "20500228000000Z");
        ok = ok && ASN1_TIME_compare(X509_get0_notBefore(x), start) == 0 &&
             ASN1_TIME_compare(X509_get0_notAfter(x), end) == 0 &&
             ASN1_STRING_type(X509_get0_notBefore(x)) == V_ASN1_UTCTIME &&
             ASN1_STRING_type(X509_get0_notAfter(x)) == V_ASN1_GENERALIZEDTIME;
        ASN1_TIME_free(start);
        ASN1_TIME_free(end);
        // The names and uses of a server certificate.
        ok = ok && X509_check_ip_asc(x, "198.18.0.1", 0) == 1 &&
             X509_check_host(x, "gen-unit", 0, 0, nullptr) == 1 &&
             X509_check_purpose(x, X509_PURPOSE_SSL_SERVER, 0) == 1 && X509_check_ca(x) == 0 &&
             X509_get0_subject_key_id(x) != nullptr && X509_get0_authority_key_id(x) != nullptr &&
             EVP_PKEY_get_bits(X509_get0_pubkey(x)) == 2048;
        serial = serialOf(x);
        X509_free(x);
        if (!ok) return 5;
        if (serial.empty()) return 6;
        if (!tlsCheckCertPairIn(TlsPairOwn, certDir())) return 7;
        if (cert::view()[cert::Cn] != "gen-unit") return 8;
    }
    if (serials[0] == serials[1]) return 9;

    // The certificate cannot be written: no key is left behind, and the failure is told.
    ::unlink(key.c_str());
    ::unlink(pem.c_str());
    ::mkdir(pem.c_str(), 0755);
    certGenState = GenRunning;
    if (generateKeyAndCertificate(form, 0, 2048) || certGenState.load() != GenDone) return 10;
    if (::access(key.c_str(), F_OK) == 0) return 11;
    if (certGenInfo().failure.empty()) return 12;
    return 0;
}

} // namespace

// The generator writes into the store under a sandbox root: in a fresh child.
TEST(CertGenerateDeathTest, SelfSignedCertificatesCarryTheFormAndFreshSerials) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *env = std::getenv("QMR_ROOT");
    std::optional<TempDir> dir;
    if (env == nullptr || *env == '\0') {
        dir.emplace();
        std::string root = dir->file("root");
        std::system(("mkdir -p " + root + "/etc/certs/802.1x " + root + "/proc").c_str());
        std::ofstream(root + "/proc/product_params") << "hw_project=305\nhw_major=1\n";
        setenv("QMR_ROOT", root.c_str(), 1);
    }
    EXPECT_EXIT(std::_Exit(generateInSandbox()), ::testing::ExitedWithCode(0), "");
    if (dir) unsetenv("QMR_ROOT");
}
