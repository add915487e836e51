// What the core does behind the EAPOL supplicant's callbacks, and the credential
// dialogue: "CTRL-REQ-" lines that ask a monitor for a missing identity, password and
// so on, and the "CTRL-RSP-" answers that come back through the control interface.
#pragma once

#include "wireless/core/supplicant.h"

#include <string>

int supplicant_init_eapol(wpa_iface *iface);
void supplicant_deinit_eapol(wpa_iface *iface);
// Field number of a credential-request name, 0 when unknown.
int supplicant_ctrl_req_from_string(const char *field);
// Field name and prompt of a number (the prompt is the given text for OTP and SIM);
// null when the number names no field or the text is missing.
const char *supplicant_ctrl_req_to_string(int field, const char *default_txt, const char **txt);
void supp_send_ctrl_req(wpa_iface *iface, wpa_network *ssid, const char *field_name, const char *txt);
// Stores an answer; 0 or -1.
int supplicant_ctrl_rsp_handle(wpa_iface *iface, wpa_network *ssid, const char *field, const char *value);
// The EAPOL supplicant learns that an answer is ready; the schedule form does it from a
// 0-s timeout, after the command's reply went out.
void supplicant_ctrl_rsp_ready(wpa_iface *iface);
void supplicant_ctrl_rsp_schedule(wpa_iface *iface);

// Key material of the last EAP success on an interface, as hexadecimal texts (empty when
// the method had none); false when none succeeded yet. Readable from any thread: the
// simulated platform's control socket shows it to tests.
bool supplicant_last_eap_keys(const char *ifname, std::string *msk, std::string *emsk,
                              std::string *session_id);
