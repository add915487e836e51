// A station-side 802.1X port for the EAP tests: a network block, the EAPOL supplicant
// with callbacks that record what it sends and asks for, and the event lines it emits.
#pragma once

#include "wireless/core/config.h"
#include "wireless/core/eloop.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/eap/eap.h"
#include "wireless/eap/eap_methods.h"
#include "wireless/eap/eapol_supp_sm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct EapHarness : ::testing::Test {
    struct Frame {
        int type;
        std::vector<uint8_t> body;
    };
    static inline std::vector<std::string> *events_sink;

    wpa_config *conf = nullptr;
    wpa_network *net = nullptr;
    eapol_supp_sm *sm = nullptr;
    std::vector<Frame> sent;
    std::vector<int> asked;
    std::vector<std::string> events;
    std::vector<int> port_changes;
    struct WepKey {
        int unicast, index;
        std::vector<uint8_t> key;
    };
    std::vector<WepKey> wep_keys;
    int results[3] = {0, 0, 0};

    static void on_msg(void *, int, wpa_msg_type, const char *txt, size_t len) {
        if (events_sink != nullptr) events_sink->emplace_back(txt, len);
    }
    static int on_send(void *ctx, int type, const uint8_t *buf, size_t len) {
        auto *self = static_cast<EapHarness *>(ctx);
        self->sent.push_back({type, std::vector<uint8_t>(buf, buf + len)});
        return 0;
    }
    static void on_param(void *ctx, int field, const char *) {
        static_cast<EapHarness *>(ctx)->asked.push_back(field);
    }
    static int on_wep(void *ctx, int unicast, int index, const uint8_t *key, size_t len) {
        static_cast<EapHarness *>(ctx)->wep_keys.push_back(
            {unicast, index, std::vector<uint8_t>(key, key + len)});
        return 0;
    }
    static void on_port(void *ctx, int authorized) {
        static_cast<EapHarness *>(ctx)->port_changes.push_back(authorized);
    }
    static void on_result(eapol_supp_sm *, eapol_supp_result result, void *ctx) {
        static_cast<EapHarness *>(ctx)->results[result]++;
    }

    void SetUp() override {
        eloop_init();
        eap_peer_methods_unregister_all();
        ASSERT_EQ(eap_peer_register_methods(), 0);
        events_sink = &events;
        wpa_msg_register_cb(on_msg);
        conf = wpa_config_alloc_empty("/var/wifi", nullptr);
        net = wpa_config_add_network(conf);
        wpa_config_set_network_defaults(net);
        auto *cb = static_cast<eapol_supp_callbacks *>(calloc(1, sizeof(eapol_supp_callbacks)));
        cb->ctx = this;
        cb->eapol_send_ctx = this;
        cb->cb_ctx = this;
        cb->eapol_send = on_send;
        cb->eap_param_needed = on_param;
        cb->port_cb = on_port;
        cb->set_wep_key = on_wep;
        cb->cb = on_result;
        sm = eapol_supp_create(cb);
        ASSERT_NE(sm, nullptr);
        eapol_supp_config ec{};
        ec.accept_802_1x_keys = 1; // wired: no keys required
        eapol_supp_apply_config(sm, net, &ec);
    }
    void TearDown() override {
        eapol_supp_destroy(sm);
        wpa_config_free(conf);
        wpa_msg_register_cb(nullptr);
        events_sink = nullptr;
        eap_peer_methods_unregister_all();
        eloop_destroy();
    }
    void set(const char *field, const char *value) {
        ASSERT_GE(wpa_config_set_network_field(net, field, value, 0), 0) << field << "=" << value;
    }
    // Delivers one EAP packet in an EAPOL frame.
    void eap(const std::vector<uint8_t> &pkt) {
        std::vector<uint8_t> frame = {2, 0, static_cast<uint8_t>(pkt.size() >> 8),
                                      static_cast<uint8_t>(pkt.size())};
        frame.insert(frame.end(), pkt.begin(), pkt.end());
        static const uint8_t src[6] = {0, 1, 2, 3, 4, 5};
        eapol_supp_rx_frame(sm, src, frame.data(), frame.size());
    }
    // An EAP request (code 1) of a type with a payload.
    static std::vector<uint8_t> request(uint8_t id, uint8_t type, const std::vector<uint8_t> &payload = {}) {
        const size_t len = 5 + payload.size();
        std::vector<uint8_t> p = {1, id, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), type};
        p.insert(p.end(), payload.begin(), payload.end());
        return p;
    }
    static std::vector<uint8_t> success(uint8_t id) { return {3, id, 0, 4}; }
    static std::vector<uint8_t> failure(uint8_t id) { return {4, id, 0, 4}; }
    // The last EAP response sent, empty when none.
    std::vector<uint8_t> last_response() {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it)
            if (it->type == IEEE802_1X_TYPE_EAP_PACKET) return it->body;
        return {};
    }
    size_t responses() const {
        size_t n = 0;
        for (const Frame &f : sent)
            if (f.type == IEEE802_1X_TYPE_EAP_PACKET) n++;
        return n;
    }
    bool has_event(const std::string &text) const {
        for (const std::string &e : events)
            if (e.find(text) != std::string::npos) return true;
        return false;
    }
    std::string status() {
        char buf[2048];
        int n = eapol_supp_status_text(sm, buf, sizeof(buf), 1);
        return std::string(buf, static_cast<size_t>(n));
    }
    void start() { eapol_supp_set_port_enabled(sm, true); }
};
