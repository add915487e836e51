// Interface creation with test back ends (driver selection, its messages, process-wide
// driver data) and the per-interface command processor on an interface without socket.
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/eapol_glue.h"
#include "wireless/core/eloop.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wps_credential.h"
#include "wireless/crypto/random_pool_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int global_inits = 0, global_deinits = 0, inits = 0, deinits = 0;
int ctx_token;

void *ok_init(void *, const char *) {
    inits++;
    return &ctx_token;
}
void *null_init(void *, const char *) {
    return nullptr;
}
void count_deinit(void *) {
    deinits++;
}
void *ok_global_init(void *) {
    global_inits++;
    return &global_inits;
}
void *bad_global_init(void *) {
    return nullptr;
}
void global_deinit(void *) {
    global_deinits++;
}
int refuse_param(void *, const char *) {
    return -1;
}
void *ok_init2(void *, const char *, void *global) {
    inits++;
    return global;
}

wpa_driver_ops make_ops(const char *name) {
    wpa_driver_ops ops{};
    ops.name = name;
    ops.desc = name;
    ops.deinit = count_deinit;
    return ops;
}

const wpa_driver_ops alpha = [] {
    auto o = make_ops("alpha");
    o.init = ok_init;
    return o;
}();
const wpa_driver_ops beta = [] {
    auto o = make_ops("beta");
    o.init = null_init;
    return o;
}();
const wpa_driver_ops gamma_ = [] {
    auto o = make_ops("gamma");
    o.global_init = bad_global_init;
    o.init = ok_init;
    return o;
}();
const wpa_driver_ops delta = [] {
    auto o = make_ops("delta");
    o.init = ok_init;
    o.set_param = refuse_param;
    return o;
}();
const wpa_driver_ops epsilon = [] {
    auto o = make_ops("epsilon");
    o.global_init = ok_global_init;
    o.global_deinit = global_deinit;
    o.init2 = ok_init2;
    return o;
}();
const wpa_driver_ops *const test_drivers[] = {&alpha, &beta, &gamma_, &delta, &epsilon, nullptr};

std::vector<std::string> messages;
void collect(void *, int, wpa_msg_type, const char *txt, size_t len) {
    messages.emplace_back(txt, len);
}

struct Supplicant : ::testing::Test {
    wpa_global *global = nullptr;
    void SetUp() override {
        wpa_driver_list_set(test_drivers);
        wpa_params params{};
        global = supplicant_init(&params); // no global socket
        ASSERT_NE(global, nullptr);
        messages.clear();
        wpa_msg_register_cb(collect);
        global_inits = global_deinits = inits = deinits = 0;
    }
    void TearDown() override {
        supplicant_deinit(global);
        wpa_driver_list_set(nullptr);
    }
    wpa_iface *add(const char *driver, const char *ifname = "test0", const char *driver_param = nullptr) {
        wpa_iface_params p{};
        p.ifname = ifname;
        p.driver = driver;
        p.driver_param = driver_param;
        return supplicant_add_iface(global, &p, nullptr);
    }
};

// Waits in the event loop until the entropy file shows the pool's key as complete (its
// first byte, the ready count, rises), or gives up after many passes.
struct KeyWait {
    std::string file;
    int passes = 0;
};
void check_key(void *eloop_ctx, void *) {
    auto *w = static_cast<KeyWait *>(eloop_ctx);
    int first = -1;
    if (FILE *f = fopen(w->file.c_str(), "rb")) {
        first = fgetc(f);
        fclose(f);
    }
    if (first > 0 || ++w->passes > 2000)
        eloop_terminate();
    else
        eloop_register_timeout(0, 5000, check_key, w, nullptr);
}

TEST_F(Supplicant, RandomPoolReadsItsKeyThroughTheEventLoop) {
    supplicant_deinit(global);
    global = nullptr;
    char dir[] = "/tmp/supp_pool_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/key", file = std::string(dir) + "/entropy";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing so that the reader sees "no data yet", not an end of file.
    int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    random_pool_reset();
    random_pool_set_key_device(fifo.c_str());

    wpa_params params{};
    params.entropy_file = const_cast<char *>(file.c_str());
    global = supplicant_init(&params);
    ASSERT_NE(global, nullptr);
    // Nothing to read at start: the key is incomplete and the file says so.
    KeyWait wait{file};
    check_key(&wait, nullptr);
    EXPECT_EQ(wait.passes, 1);
    eloop_cancel_timeout(check_key, &wait, nullptr);

    // The key bytes arrive while the loop runs: its reader completes the key.
    uint8_t key[20];
    memset(key, 0x5a, sizeof(key));
    ASSERT_EQ(write(writer, key, sizeof(key)), static_cast<ssize_t>(sizeof(key)));
    eloop_register_timeout(0, 0, check_key, &wait, nullptr);
    eloop_run();
    FILE *f = fopen(file.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fgetc(f), 2);
    fclose(f);

    supplicant_deinit(global);
    close(writer);
    random_pool_set_key_device(nullptr);
    random_pool_reset();
    wpa_params plain{};
    global = supplicant_init(&plain); // for the fixture's teardown
    unlink(fifo.c_str());
    unlink(file.c_str());
    rmdir(dir);
}

TEST_F(Supplicant, DriverSelectionByName) {
    struct Case {
        const char *driver;
        const char *chosen; // null: refused
        const char *message;
    } cases[] = {
        {"alpha", "alpha", nullptr},
        {"alph", nullptr, "Unsupported driver 'alph'"},
        {"unknown,alpha", "alpha", nullptr},
        {"beta", nullptr, "Failed to initialize driver interface"},
        {"beta,alpha", "alpha", nullptr},
        {"gamma,alpha", "alpha", nullptr}, // a failing global_init counts as no match
        {"gamma", nullptr, "Unsupported driver 'gamma'"},
        {nullptr, "alpha", nullptr}, // no text: the first entry
        {"epsilon", "epsilon", nullptr},
    };
    for (const Case &c : cases) {
        messages.clear();
        wpa_iface *iface = add(c.driver);
        if (c.chosen == nullptr) {
            EXPECT_EQ(iface, nullptr) << (c.driver ? c.driver : "(none)");
        } else {
            ASSERT_NE(iface, nullptr) << (c.driver ? c.driver : "(none)");
            EXPECT_STREQ(iface->driver->name, c.chosen);
            EXPECT_EQ(iface->wpa_state, WPA_DISCONNECTED);
            EXPECT_EQ(supplicant_remove_iface(global, iface, 0), 0);
        }
        if (c.message) {
            EXPECT_EQ(messages, std::vector<std::string>{c.message}) << c.driver;
        }
    }
}

TEST_F(Supplicant, DriverParamRefusalAndNameLimits) {
    EXPECT_EQ(add("delta", "test0", "mode=x"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"Driver interface rejected driver_param 'mode=x'"});
    EXPECT_EQ(deinits, 1); // the half-built interface is torn down
    EXPECT_EQ(add("alpha", std::string(100, 'n').c_str()), nullptr);
    wpa_iface *iface = add("alpha", std::string(99, 'n').c_str());
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(supplicant_get_iface(global, std::string(99, 'n').c_str()), iface);
}

TEST_F(Supplicant, GlobalDriverDataIsMadeOnceAndFreedAtTheEnd) {
    ASSERT_NE(add("epsilon", "a0"), nullptr);
    ASSERT_NE(add("epsilon", "a1"), nullptr);
    EXPECT_EQ(global_inits, 1);
    supplicant_deinit(global);
    global = nullptr;
    EXPECT_EQ(global_deinits, 1);
    EXPECT_EQ(deinits, 2);
}

TEST_F(Supplicant, CommandsOnAnInterface) {
    wpa_iface *iface = add("alpha");
    ASSERT_NE(iface, nullptr);
    const std::string header = "network id / ssid / bssid / flags\n";
    struct Case {
        const char *cmd;
        std::string reply;
    } cases[] = {
        {"PING", "PONG\n"},
        {"ping", "UNKNOWN COMMAND\n"},
        {"PING ", "UNKNOWN COMMAND\n"},
        {"RELOGIN", "OK\n"},
        {"NOTE hello", "OK\n"},
        {"NOTE", "UNKNOWN COMMAND\n"},
        {"IFNAME", "test0"},
        {"STATUS", "wpa_state=DISCONNECTED\naddress=00:00:00:00:00:00\n"},
        {"WPS_PBC", "UNKNOWN COMMAND\n"},
        {"GET version", "2.6-sys-rq9_0.0.1.voskaril_rq9_Force_2.5G-dev"},
        {"GET country", "FAIL\n"},
        {"GET no_such_option", "FAIL\n"},
        {"GET bss_max_count", "200"},
        {"LOG_LEVEL", "Current level: EXCESSIVE\nTimestamp: 0\n"},
        {"LOG_LEVEL warning", "OK\n"},
        {"LOG_LEVEL", "Current level: WARNING\nTimestamp: 0\n"},
        {"LOG_LEVEL EXCESSIVE", "OK\n"},
        {"LIST_NETWORKS", header},
        {"ADD_NETWORK", "0\n"},
        {"SET_NETWORK 0 ssid \"a b\"", "OK\n"},
        {"SET_NETWORK 0 ssid \"a b\"", "OK\n"}, // unchanged is still OK
        {"SET_NETWORK 0 ssid", "FAIL\n"},
        {"SET_NETWORK 0 no_such_field 1", "FAIL\n"},
        {"SET_NETWORK x ssid \"a\"", "FAIL\n"},
        {"GET_NETWORK 0 ssid", "\"a b\""},
        {"GET_NETWORK 0 psk", "FAIL\n"},
        {"SET_NETWORK 0 psk \"12345678\"", "OK\n"},
        {"GET_NETWORK 0 psk", "*"},
        {"DUP_NETWORK 0 1 ssid", "FAIL\n"},
        {"ADD_NETWORK", "1\n"},
        {"DUP_NETWORK 0 1 ssid", "OK\n"},
        {"GET_NETWORK 1 ssid", "\"a b\""},
        {"ENABLE_NETWORK 0 no-connect", "OK\n"},
        {"ENABLE_NETWORK 5", "FAIL\n"},
        {"SET_NETWORK 1 disabled 2", "OK\n"},
        {"ENABLE_NETWORK 1", "FAIL\n"},
        {"LIST_NETWORKS", header + "0\ta b\tany\t\n1\ta b\tany\t[DISABLED][P2P-PERSISTENT]\n"},
        {"LIST_NETWORKS LAST_ID=0", header + "1\ta b\tany\t[DISABLED][P2P-PERSISTENT]\n"},
        {"BSSID 0 02:00:00:00:00:01", "OK\n"},
        {"GET_NETWORK 0 bssid", "02:00:00:00:00:01"},
        {"BSSID 0 00:00:00:00:00:00", "OK\n"},
        {"GET_NETWORK 0 bssid", "FAIL\n"},
        {"BSSID 0 02:00:00", "FAIL\n"},
        {"DISABLE_NETWORK all", "OK\n"},
        {"SELECT_NETWORK 0", "OK\n"},
        {"SELECT_NETWORK 1", "FAIL\n"},
        {"REMOVE_NETWORK 7", "FAIL\n"},
        {"REMOVE_NETWORK all", "OK\n"},
        {"LIST_NETWORKS", header},
        {"REMOVE_NETWORK all", "OK\n"},
        {"ADD_NETWORK", "0\n"},
        {"CTRL-RSP-IDENTITY-0:user", "OK\n"},
        {"GET_NETWORK 0 identity", "\"user\""},
        {"CTRL-RSP-IDENTITY-9:user", "FAIL\n"},
        {"CTRL-RSP-IDENTITY", "FAIL\n"},
        {"BSS_EXPIRE_AGE 9", "FAIL\n"},
        {"BSS_EXPIRE_AGE 10", "OK\n"},
        {"GET bss_expiration_age", "10"},
        {"BSS_EXPIRE_COUNT 0", "FAIL\n"},
        {"SCAN_INTERVAL -1", "FAIL\n"},
        {"SCAN_INTERVAL 7", "OK\n"},
        {"AP_SCAN 2", "OK\n"},
        {"AP_SCAN -1", "FAIL\n"},
        {"STA_AUTOCONNECT 0", "OK\n"},
        {"RECONFIGURE", "FAIL\n"},
        {"MIB",
         "dot1xSuppPaeState=1\ndot1xSuppHeldPeriod=60\ndot1xSuppAuthPeriod=30\ndot1xSuppStartPeriod=30\n"
         "dot1xSuppMaxStart=3\ndot1xSuppSuppControlledPortStatus=Unauthorized\ndot1xSuppBackendPaeState=1\n"
         "dot1xSuppEapolFramesRx=0\ndot1xSuppEapolFramesTx=0\ndot1xSuppEapolStartFramesTx=0\n"
         "dot1xSuppEapolLogoffFramesTx=0\ndot1xSuppEapolRespFramesTx=0\ndot1xSuppEapolReqIdFramesRx=0\n"
         "dot1xSuppEapolReqFramesRx=0\ndot1xSuppInvalidEapolFramesRx=0\ndot1xSuppEapLengthErrorFramesRx=0\n"
         "dot1xSuppLastEapolFrameVersion=0\ndot1xSuppLastEapolFrameSource=00:00:00:00:00:00\n"},
        {"PMKSA", "Index / AA / PMKID / expiration (in seconds) / opportunistic\n"},
        {"PMKSA_FLUSH", "OK\n"},
        {"PREAUTH 02:00:00:00:00:zz", "FAIL\n"},
        {"PREAUTH ", "FAIL\n"},
        {"REASSOCIATE", "OK\n"},
        {"REATTACH", "FAIL\n"}, // no current network
        {"FLUSH", "OK\n"},
        {"LIST_NETWORKS", header},
    };
    for (const Case &c : cases) {
        std::string cmd = c.cmd;
        size_t len = 0;
        char *reply = wpa_ctrl_iface_process(iface, cmd.data(), &len);
        ASSERT_NE(reply, nullptr) << c.cmd;
        EXPECT_EQ(std::string(reply, len), c.reply) << c.cmd;
        free(reply);
    }
    EXPECT_EQ(iface->scan_interval, 7);
    EXPECT_TRUE(iface->auto_reconnect_disabled);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "Invalid bss expiration age 9"), 1);

    std::string terminate = "TERMINATE";
    size_t len = 0;
    free(wpa_ctrl_iface_process(iface, terminate.data(), &len));
    EXPECT_EQ(len, 3u);
    EXPECT_TRUE(eloop_terminated());
}

TEST(CommandWords, FirstMatchInTableOrder) {
    struct Case {
        const char *cmd;
        const char *word;
    } cases[] = {
        {"P2P_FIND", "P2P_FIND"},
        {"P2P_FIND 5", "P2P_FIND "},
        {"LIST_NETWORKS", "LIST_NETWORKS"},
        {"LIST_NETWORKS LAST_ID=1", "LIST_NETWORKS "},
        {"STATUS-VERBOSE", "STATUS"},
        {"WPS_PBC any", "WPS_PBC "},
        {"PMKSA_FLUSH", "PMKSA_FLUSH"},
        {"DUMP", "DUMP"},
        {"SCAN_RESULTS", "SCAN_RESULTS"},
        {"SCAN freq=2412", "SCAN "},
        {"BSS 1", "BSS "},
        {"BSS_FLUSH 0", "BSS_FLUSH "},
        {"SETX", nullptr},
        {"", nullptr},
    };
    for (const Case &c : cases) {
        const char *word = wpa_ctrl_iface_match_word(c.cmd);
        if (c.word == nullptr)
            EXPECT_EQ(word, nullptr) << c.cmd;
        else
            EXPECT_STREQ(word, c.word) << c.cmd;
    }
}

TEST(CredentialRecord, CopiesAWholeRecordAcrossThreads) {
    // A writer stores records whose bytes all equal one counter value; a reader never sees
    // a mixture of two records.
    std::atomic<bool> stop{false};
    std::thread writer([&stop] {
        wps_credential_record rec;
        for (uint8_t v = 0; !stop; v++) {
            memset(&rec, v, sizeof(rec));
            supp_wps_store_received_credential(&rec);
        }
    });
    for (int i = 0; i < 2000; i++) {
        wps_credential_record got;
        ASSERT_EQ(supp_wps_copy_received_credential(&got), 0);
        const auto *b = reinterpret_cast<const uint8_t *>(&got);
        for (size_t j = 1; j < sizeof(got); j++)
            ASSERT_EQ(b[j], b[0]);
    }
    stop = true;
    writer.join();
}

} // namespace

namespace {

// The credential dialogue: the request line, and the answers with their side effects.
TEST_F(Supplicant, CredentialRequestsAndAnswers) {
    wpa_iface *iface = add("alpha");
    ASSERT_NE(iface, nullptr);
    wpa_network *net = wpa_config_add_network(iface->conf);
    wpa_config_set_network_defaults(net);
    wpa_config_set_network_field(net, "ssid", "\"home\"", 0);
    messages.clear();
    supp_send_ctrl_req(iface, net, "PASSWORD", "Password");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "CTRL-REQ-PASSWORD-0:Password needed for SSID home");

    struct Case {
        const char *field, *value;
        int result;
        bool reassociate;
    };
    iface->current_ssid = net;
    net->pending_req_password = 1;
    net->pending_req_otp = strdup("[challenge]");
    const Case cases[] = {
        {"PASSWORD", "pw", 0, true},
        {"OTP", "123456", 0, false},
        {"EXT_CERT_CHECK", "good", -1, false}, // no check pending
        {"NOSUCH", "x", -1, false},
        {"PSK_PASSPHRASE", "short", -1, false},
    };
    for (const Case &c : cases) {
        iface->reassociate = 0;
        EXPECT_EQ(supplicant_ctrl_rsp_handle(iface, net, c.field, c.value), c.result) << c.field;
        EXPECT_EQ(iface->reassociate != 0, c.reassociate) << c.field;
    }
    EXPECT_EQ(net->pending_req_password, 0);
    EXPECT_EQ(net->pending_req_otp, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(net->password.data), net->password.len), "pw");
    net->pending_ext_cert_check = 1;
    EXPECT_EQ(supplicant_ctrl_rsp_handle(iface, net, "EXT_CERT_CHECK", "maybe"), -1);
    EXPECT_EQ(supplicant_ctrl_rsp_handle(iface, net, "EXT_CERT_CHECK", "bad"), 0);
    EXPECT_EQ(net->pending_ext_cert_check, 3);
    EXPECT_EQ(supplicant_ctrl_req_from_string("NEW_PASSWORD"), 3);
    const char *txt = nullptr;
    EXPECT_EQ(supplicant_ctrl_req_to_string(5, nullptr, &txt), nullptr); // OTP needs the method's text
    iface->current_ssid = nullptr;
}

} // namespace
