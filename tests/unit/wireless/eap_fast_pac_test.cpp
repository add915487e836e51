// The EAP-FAST PAC store: text and binary files, their round trips and what each form
// keeps, refused files, and the list operations.
#include "wireless/eap/eap_fast_pac.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct PacStore : ::testing::Test {
    std::string dir;
    eap_fast_pac *list = nullptr;
    void SetUp() override {
        char tmpl[] = "/tmp/eappacXXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override {
        eap_fast_free_pac_list(list);
        std::string cmd = "rm -rf " + dir;
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    static eap_fast_pac entry(uint16_t type, const std::string &a_id, const std::string &a_id_info) {
        static std::string keep_aid, keep_info, opaque = "opaque-bytes", info = "\x00\x04\x00\x01X",
                                                iid = "alice";
        keep_aid = a_id;
        keep_info = a_id_info;
        eap_fast_pac p{};
        p.pac_type = type;
        for (size_t i = 0; i < EAP_FAST_PAC_KEY_LEN; i++)
            p.pac_key[i] = static_cast<uint8_t>(i);
        p.pac_opaque = reinterpret_cast<uint8_t *>(opaque.data());
        p.pac_opaque_len = opaque.size();
        p.pac_info = reinterpret_cast<uint8_t *>(info.data());
        p.pac_info_len = 5;
        p.a_id = reinterpret_cast<uint8_t *>(keep_aid.data());
        p.a_id_len = keep_aid.size();
        p.i_id = reinterpret_cast<uint8_t *>(iid.data());
        p.i_id_len = iid.size();
        p.a_id_info = reinterpret_cast<uint8_t *>(keep_info.data());
        p.a_id_info_len = keep_info.size();
        return p;
    }
    std::string read(const std::string &path) {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
};

TEST_F(PacStore, TextRoundTripKeepsAllButPacInfoAndTwinsArePrintable) {
    eap_fast_pac e = entry(PAC_TYPE_TUNNEL_PAC, "aid1", "Server\nSTART");
    ASSERT_EQ(eap_fast_add_pac(&list, nullptr, &e), 0);
    const std::string path = dir + "/pac";
    ASSERT_EQ(eap_fast_save_pac_text(nullptr, list, path.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
    const std::string text = read(path);
    EXPECT_EQ(text.rfind("supplicant EAP-FAST PAC file - version 1\nSTART\nPAC-Type=1\n", 0), 0u);
    EXPECT_NE(text.find("A-ID-Info-txt=Server_START\n"), std::string::npos);
    EXPECT_NE(text.find("I-ID-txt=alice\n"), std::string::npos);

    eap_fast_pac *back = nullptr;
    ASSERT_EQ(eap_fast_load_pac_text(nullptr, &back, path.c_str()), 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->next, nullptr); // the planted START did not become a second PAC
    EXPECT_EQ(0, memcmp(back->pac_key, e.pac_key, EAP_FAST_PAC_KEY_LEN));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back->a_id_info), back->a_id_info_len), "Server\nSTART");
    EXPECT_EQ(back->i_id_len, 5u);
    EXPECT_EQ(back->pac_info, nullptr); // the text form keeps no PAC-Info
    eap_fast_free_pac_list(back);
}

TEST_F(PacStore, BinaryRoundTripLosesTheIid) {
    eap_fast_pac e = entry(PAC_TYPE_MACHINE_AUTHENTICATION, "aid2", "info");
    // PAC-Info carrying A-ID (4) and A-ID-Info (7).
    const uint8_t info[] = {0, 4, 0, 4, 'a', 'i', 'd', '2', 0, 7, 0, 4, 'i', 'n', 'f', 'o'};
    e.pac_info = const_cast<uint8_t *>(info);
    e.pac_info_len = sizeof(info);
    ASSERT_EQ(eap_fast_add_pac(&list, nullptr, &e), 0);
    const std::string path = dir + "/pac.bin";
    ASSERT_EQ(eap_fast_save_pac_binary(nullptr, list, path.c_str()), 0);
    eap_fast_pac *back = nullptr;
    ASSERT_EQ(eap_fast_load_pac_binary(nullptr, &back, path.c_str()), 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->pac_type, PAC_TYPE_MACHINE_AUTHENTICATION);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back->a_id), back->a_id_len), "aid2");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back->a_id_info), back->a_id_info_len), "info");
    EXPECT_EQ(back->i_id, nullptr);
    EXPECT_EQ(eap_fast_find_pac(back, reinterpret_cast<const uint8_t *>("aid2"), 4, 2), back);
    eap_fast_free_pac_list(back);
}

TEST_F(PacStore, RefusedFiles) {
    const std::string head = "supplicant EAP-FAST PAC file - version 1\n";
    const std::string block = "START\nPAC-Type=1\nPAC-Key=" + std::string(64, 'a') + "\nA-ID=6162\nEND\n";
    struct Case {
        std::string text;
        int result;
        size_t loaded;
    };
    const Case cases[] = {
        {head + block + block, 0, 2},
        {head + block + "\n" + block, -1, 1},                                // blank line between blocks
        {"wrong header\n" + block, -1, 0},                                   // header
        {head + "START\nSTART\n", -1, 0},                                    // nested
        {head + "END\n", -1, 0},                                             // END outside
        {head + "START\nPAC-Type=1\n", -1, 0},                               // end of input inside
        {head + "START\nPAC-Type=4\nEND\n", -1, 0},                          // bad type
        {head + "START\nPAC-Key=abc\nEND\n", -1, 0},                         // short key
        {head + "START\nA-ID=616\nEND\n", -1, 0},                            // odd hex
        {head + "START\nA-ID=" + std::string(2100, 'a') + "\nEND\n", -1, 0}, // line over the limit
        {"", 0, 0},
    };
    for (const Case &c : cases) {
        eap_fast_pac *l = nullptr;
        EXPECT_EQ(
            eap_fast_parse_pac_text(&l, reinterpret_cast<const uint8_t *>(c.text.data()), c.text.size()),
            c.result)
            << c.text.substr(0, 60);
        size_t n = 0;
        for (eap_fast_pac *p = l; p != nullptr; p = p->next)
            n++;
        EXPECT_EQ(n, c.loaded) << c.text.substr(0, 60);
        eap_fast_free_pac_list(l);
    }
    // A missing file is an empty store.
    EXPECT_EQ(eap_fast_load_pac_text(nullptr, &list, (dir + "/none").c_str()), 0);
    EXPECT_EQ(list, nullptr);
    const uint8_t bad_magic[] = {0x6a, 0xe4, 0x92, 0x0d, 0, 0};
    EXPECT_EQ(eap_fast_parse_pac_binary(&list, bad_magic, sizeof(bad_magic)), -1);
    const uint8_t short_tail[] = {0x6a, 0xe4, 0x92, 0x0c, 0, 0, 1, 2, 3};
    EXPECT_EQ(eap_fast_parse_pac_binary(&list, short_tail, sizeof(short_tail)), -1);
}

TEST_F(PacStore, AddReplacesAndTrimKeepsTheNewest) {
    eap_fast_pac a = entry(1, "x", "i");
    ASSERT_EQ(eap_fast_add_pac(&list, nullptr, &a), 0);
    eap_fast_pac *current = list;
    eap_fast_pac b = entry(1, "x", "j"); // same type and A-ID: replaces
    ASSERT_EQ(eap_fast_add_pac(&list, &current, &b), 0);
    EXPECT_EQ(current, nullptr);
    eap_fast_pac c = entry(2, "x", "k");
    ASSERT_EQ(eap_fast_add_pac(&list, nullptr, &c), 0);
    eap_fast_pac d = entry(1, "y", "l");
    ASSERT_EQ(eap_fast_add_pac(&list, nullptr, &d), 0);
    EXPECT_EQ(eap_fast_trim_pac_list(list, 2), 1u);
    EXPECT_EQ(list->pac_type, 1);
    EXPECT_EQ(list->a_id[0], 'y');
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->next, nullptr);
    EXPECT_EQ(eap_fast_trim_pac_list(list, 0), 1u); // 0 keeps one
}

} // namespace
