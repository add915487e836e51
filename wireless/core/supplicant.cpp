#include "wireless/core/supplicant.h"

#include "wireless/core/association.h"
#include "wireless/core/bgscan.h"
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/eloop.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/supplicant_hooks.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/crypto/random_pool.h"
#include "wireless/eap/eap_methods.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int external_fd = -1;
supplicant_external_handler external_handler = nullptr;
void *external_ctx = nullptr;

const char *iface_name_hook(void *ctx) {
    return ctx ? static_cast<wpa_iface *>(ctx)->ifname : nullptr;
}

void external_receive(int fd, void *eloop_ctx, void *) {
    if (external_handler) external_handler(fd, static_cast<wpa_global *>(eloop_ctx), external_ctx);
}

void supplicant_periodic(void *eloop_ctx, void *) {
    auto *global = static_cast<wpa_global *>(eloop_ctx);
    eloop_register_timeout(10, 0, supplicant_periodic, global, nullptr);
    supp_p2p_expire_peers(global);
    for (wpa_iface *w = global->ifaces; w; w = w->next) {
        supp_bss_flush_by_age(w, w->conf->bss_expiration_age);
        supp_ap_periodic(w);
    }
}

void free_params(wpa_params *p) {
    free(p->ctrl_interface);
    free(p->ctrl_interface_group);
    free(p->override_driver);
    free(p->override_ctrl_interface);
    free(p->entropy_file);
    free(p->conf_p2p_dev);
    memset(p, 0, sizeof(*p));
}

bool copy_params(wpa_params *dst, const wpa_params *src) {
    *dst = {};
    dst->debug_level = src->debug_level;
    struct {
        char **to;
        const char *from;
    } texts[] = {{&dst->ctrl_interface, src->ctrl_interface},
                 {&dst->ctrl_interface_group, src->ctrl_interface_group},
                 {&dst->override_driver, src->override_driver},
                 {&dst->override_ctrl_interface, src->override_ctrl_interface},
                 {&dst->entropy_file, src->entropy_file},
                 {&dst->conf_p2p_dev, src->conf_p2p_dev}};
    for (auto &t : texts) {
        if (t.from == nullptr) continue;
        *t.to = strdup(t.from);
        if (*t.to == nullptr) return false;
    }
    return true;
}

void radio_add(wpa_iface *iface) {
    const char *name = wpa_drv_get_radio_name(iface);
    if (name && *name) {
        for (wpa_iface *w = iface->global->ifaces; w; w = w->next) {
            if (w->radio && strcmp(w->radio->name, name) == 0) {
                iface->radio = w->radio;
                iface->radio_next = w->radio->ifaces;
                w->radio->ifaces = iface;
                return;
            }
        }
    }
    auto *radio = static_cast<wpa_radio *>(calloc(1, sizeof(wpa_radio)));
    if (radio == nullptr) return;
    if (name) snprintf(radio->name, sizeof(radio->name), "%s", name);
    radio->ifaces = iface;
    iface->radio = radio;
}

void radio_remove(wpa_iface *iface) {
    wpa_radio *radio = iface->radio;
    if (radio == nullptr) return;
    for (wpa_iface **pp = &radio->ifaces; *pp; pp = &(*pp)->radio_next) {
        if (*pp == iface) {
            *pp = iface->radio_next;
            break;
        }
    }
    iface->radio = nullptr;
    iface->radio_next = nullptr;
    if (radio->ifaces == nullptr) free(radio);
}

// The pool reads its missing key bytes through the event loop, like every other descriptor
// of the supplicant's thread.
const random_pool_eloop_ops pool_eloop_ops = {eloop_register_read_sock, eloop_unregister_read_sock};

} // namespace

const char *supplicant_state_txt(int state) {
    static const char *const names[] = {
        "DISCONNECTED", "INTERFACE_DISABLED", "INACTIVE",       "SCANNING",        "AUTHENTICATING",
        "ASSOCIATING",  "ASSOCIATED",         "4WAY_HANDSHAKE", "GROUP_HANDSHAKE", "COMPLETED"};
    if (state < 0 || state > WPA_COMPLETED) return "UNKNOWN";
    return names[state];
}

void supplicant_set_external_sock(int fd, supplicant_external_handler handler, void *ctx) {
    external_fd = fd;
    external_handler = handler;
    external_ctx = ctx;
}

// ------------------------------------------------------------------ driver wrappers

int wpa_drv_get_capa(wpa_iface *iface, wpa_driver_capa *capa) {
    if (iface->driver && iface->driver->get_capa) return iface->driver->get_capa(iface->drv_priv, capa);
    return -1;
}

int wpa_drv_set_countermeasures(wpa_iface *iface, int enabled) {
    if (iface->driver && iface->driver->set_countermeasures)
        return iface->driver->set_countermeasures(iface->drv_priv, enabled);
    return -1;
}

int wpa_drv_deauthenticate(wpa_iface *iface, const uint8_t *addr, int reason) {
    if (iface->driver && iface->driver->deauthenticate)
        return iface->driver->deauthenticate(iface->drv_priv, addr, reason);
    return -1;
}

int wpa_drv_set_operstate(wpa_iface *iface, int state) {
    if (iface->driver && iface->driver->set_operstate)
        return iface->driver->set_operstate(iface->drv_priv, state);
    return 0;
}

const char *wpa_drv_get_radio_name(wpa_iface *iface) {
    if (iface->driver && iface->driver->get_radio_name) return iface->driver->get_radio_name(iface->drv_priv);
    return nullptr;
}

int supplicant_set_driver(wpa_iface *iface, const char *name) {
    const wpa_driver_ops *const *drivers = wpa_driver_list();
    wpa_global *global = iface->global;
    if (drivers == nullptr || drivers[0] == nullptr) {
        wpa_msg_iface(iface, MSG_ERROR, "No driver interfaces build into the supplicant");
        return -1;
    }
    if (name == nullptr || *name == '\0') name = drivers[0]->name;

    bool matched_any = false;
    const char *pos = name;
    while (pos) {
        const char *comma = strchr(pos, ',');
        size_t len = comma ? static_cast<size_t>(comma - pos) : strlen(pos);
        bool matched = false;
        for (size_t i = 0; drivers[i]; i++) {
            const wpa_driver_ops *d = drivers[i];
            if (strlen(d->name) != len || strncmp(d->name, pos, len) != 0) continue;
            // The back end's process-wide data is made ready once.
            if (i < global->drv_count && global->drv_priv[i] == nullptr && d->global_init) {
                global->drv_priv[i] = d->global_init(global);
                if (global->drv_priv[i] == nullptr) break;
            }
            matched = matched_any = true;
            iface->driver = d;
            iface->global_drv_priv = i < global->drv_count ? global->drv_priv[i] : nullptr;
            if (d->init2)
                iface->drv_priv = d->init2(iface, iface->ifname, iface->global_drv_priv);
            else if (d->init)
                iface->drv_priv = d->init(iface, iface->ifname);
            else
                iface->drv_priv = nullptr;
            if (iface->drv_priv != nullptr) return 0;
            break;
        }
        (void)matched;
        pos = comma ? comma + 1 : nullptr;
    }
    iface->driver = nullptr;
    if (!matched_any)
        wpa_msg_iface(iface, MSG_ERROR, "Unsupported driver '%s'", name);
    else
        wpa_msg_iface(iface, MSG_ERROR, "Failed to initialize driver interface");
    return -1;
}

// ------------------------------------------------------------------ state

void supplicant_set_state(wpa_iface *iface, int state) {
    int old = iface->wpa_state;
    if (state == WPA_INTERFACE_DISABLED) iface->normal_scans = 0;
    if (state == WPA_COMPLETED) {
        supp_connect_work_done(iface);
        iface->normal_scans = 0;
    }
    if (state != WPA_SCANNING) supplicant_notify_scanning(iface, 0);
    if (state == WPA_COMPLETED && iface->new_connection) {
        const uint8_t *b = iface->bssid;
        wpa_network *ssid = iface->current_ssid;
        wpa_msg_iface(
            iface, MSG_INFO,
            "CTRL-EVENT-CONNECTED - Connection to %02x:%02x:%02x:%02x:%02x:%02x completed [id=%d id_str=%s]",
            b[0], b[1], b[2], b[3], b[4], b[5], ssid ? ssid->id : -1,
            ssid && ssid->id_str.data ? reinterpret_cast<const char *>(ssid->id_str.data) : "");
        // A completed connection ends the network's failure count and the blacklist.
        if (ssid) supplicant_reenable_network(iface, ssid, 1);
        wpa_blacklist_clear(iface);
        iface->new_connection = 0;
        wpa_drv_set_operstate(iface, 1);
        iface->next_scan_freq_count = 0;
        sme_sched_obss_scan(iface, 1);
    } else if (state == WPA_DISCONNECTED || state == WPA_ASSOCIATING || state == WPA_ASSOCIATED) {
        iface->new_connection = 1;
        wpa_drv_set_operstate(iface, 0);
        sme_sched_obss_scan(iface, 0);
    }
    iface->wpa_state = state;
    if (state != old) sme_state_changed(iface);

    // Background scanning runs while the station is connected to a network it chose itself.
    if (state == WPA_COMPLETED) {
        wpa_network *ssid = iface->current_ssid;
        std::string own;
        const char *text = nullptr;
        if (ssid && ssid->bgscan.data && ssid->bgscan.len) {
            own.assign(reinterpret_cast<const char *>(ssid->bgscan.data), ssid->bgscan.len);
            text = own.c_str();
        } else if (iface->conf->bgscan && *iface->conf->bgscan) {
            text = iface->conf->bgscan;
        }
        if (text && ssid && iface->conf->ap_scan != 2 &&
            !(iface->drv_flags & WPA_DRIVER_FLAGS_BSS_SELECTION) && ssid != iface->bgscan_ssid &&
            ssid->mode != SUPP_MODE_AP && ssid->mode != SUPP_MODE_P2P_GO &&
            ssid->mode != SUPP_MODE_P2P_GROUP_FORMATION) {
            bgscan_deinit(iface);
            iface->bgscan_ssid = nullptr;
            if (bgscan_init(iface, ssid, text) == 0) {
                iface->bgscan_ssid = ssid;
                // The latest results go to the module at once.
                wpa_scan_results *res = supplicant_get_scan_results(iface, nullptr, 0);
                if (res) {
                    bgscan_notify_scan(iface, res);
                    wpa_scan_results_free(res);
                }
            }
        }
    } else if (state <= WPA_ASSOCIATING) {
        bgscan_deinit(iface);
        iface->bgscan_ssid = nullptr;
    }
}

// ------------------------------------------------------------------ global context

wpa_global *supplicant_init(const wpa_params *params) {
    if (params == nullptr) return nullptr;
    wpa_msg_register_ifname_cb(iface_name_hook);
    // The EAP peer methods, in the order of the NAK lists; the first failure stops.
    if (eap_peer_register_methods() != 0) {
        eap_peer_methods_unregister_all();
        return nullptr;
    }

    auto *global = static_cast<wpa_global *>(calloc(1, sizeof(wpa_global)));
    if (global == nullptr) return nullptr;
    if (!copy_params(&global->params, params)) {
        free_params(&global->params);
        free(global);
        return nullptr;
    }
    wpa_debug_level = global->params.debug_level;
    wpa_debug_timestamp = 0;

    eloop_init();
    random_pool_set_eloop_ops(&pool_eloop_ops);
    random_pool_init(global->params.entropy_file);
    global->ctrl_iface = wpa_ctrl_iface_global_init(global);
    if (global->ctrl_iface == nullptr) {
        random_pool_deinit();
        eloop_destroy();
        free_params(&global->params);
        free(global);
        return nullptr;
    }
    global->drv_count = wpa_driver_count();
    if (global->drv_count == 0 ||
        (global->drv_priv = static_cast<void **>(calloc(global->drv_count, sizeof(void *)))) == nullptr) {
        wpa_ctrl_iface_global_deinit(global->ctrl_iface);
        random_pool_deinit();
        eloop_destroy();
        free_params(&global->params);
        free(global);
        return nullptr;
    }
    eloop_register_timeout(10, 0, supplicant_periodic, global, nullptr);
    supplicant_event_set_global(global);
    return global;
}

wpa_iface *supplicant_get_iface(wpa_global *global, const char *ifname) {
    for (wpa_iface *w = global->ifaces; w; w = w->next)
        if (strcmp(w->ifname, ifname) == 0) return w;
    return nullptr;
}

wpa_iface *supplicant_add_iface(wpa_global *global, const wpa_iface_params *params, wpa_iface *parent) {
    if (global == nullptr || params == nullptr || params->ifname == nullptr) return nullptr;
    auto *iface = static_cast<wpa_iface *>(calloc(1, sizeof(wpa_iface)));
    if (iface == nullptr) return nullptr;
    iface->global = global;
    iface->scan_req = 1;
    iface->new_connection = 1;
    iface->scan_interval = 5;
    iface->parent = parent ? parent : iface;
    iface->p2pdev = iface->parent;

    // Configuration: no file in the daemon, so an empty one with the control directory.
    const char *ctrl_dir = global->params.override_ctrl_interface ? global->params.override_ctrl_interface
                                                                  : params->ctrl_interface;
    if (params->confname) {
        // Reading configuration files is not part of this build.
        free(iface);
        return nullptr;
    }
    iface->conf = wpa_config_alloc_empty(ctrl_dir, params->driver_param);
    if (iface->conf == nullptr) {
        free(iface);
        return nullptr;
    }
    if (strlen(params->ifname) >= sizeof(iface->ifname) ||
        (params->bridge_ifname && strlen(params->bridge_ifname) >= sizeof(iface->bridge_ifname))) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }
    snprintf(iface->ifname, sizeof(iface->ifname), "%s", params->ifname);
    if (params->bridge_ifname)
        snprintf(iface->bridge_ifname, sizeof(iface->bridge_ifname), "%s", params->bridge_ifname);

    const char *driver = global->params.override_driver ? global->params.override_driver : params->driver;
    if (supplicant_set_driver(iface, driver) < 0) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }
    if (iface->driver->set_param &&
        iface->driver->set_param(iface->drv_priv, iface->conf->driver_param) < 0) {
        wpa_msg_iface(iface, MSG_ERROR, "Driver interface rejected driver_param '%s'",
                      iface->conf->driver_param ? iface->conf->driver_param : "");
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }
    radio_add(iface);

    if (supp_rsn_sm_create(iface) < 0 || supp_hw_modes_read(iface) < 0) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }

    wpa_driver_capa capa{};
    if (wpa_drv_get_capa(iface, &capa) == 0) {
        iface->drv_capa_known = 1;
        iface->drv_capa = capa;
        iface->drv_flags = capa.flags;
        iface->max_remain_on_chan = capa.max_remain_on_chan ? capa.max_remain_on_chan : 1000;
        iface->num_multichan_concurrent = capa.num_multichan_concurrent ? capa.num_multichan_concurrent : 1;
    }
    // With a dedicated P2P device the P2P-managing interface is the one asked for;
    // otherwise P2P runs on this interface.
    bool init_p2p = true;
    if (iface->drv_flags & WPA_DRIVER_FLAGS_DEDICATED_P2P_DEVICE) {
        iface->p2p_mgmt = params->p2p_mgmt;
        init_p2p = iface->p2p_mgmt != 0;
    }

    if (supplicant_driver_init(iface) < 0) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }

    if (iface->conf->country[0] && iface->conf->country[1] && iface->driver->set_country) {
        char alpha2[3] = {iface->conf->country[0], iface->conf->country[1], '\0'};
        if (iface->driver->set_country(iface->drv_priv, alpha2) < 0) {
            supplicant_deinit_iface(iface, 0, 0);
            return nullptr;
        }
    }

    if (supp_wps_context_init(iface) < 0 || supp_eapol_sm_create(iface) < 0) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }
    supp_rsn_sm_set_eapol(iface);
    iface->ctrl_iface = wpa_ctrl_iface_init(iface);
    if (iface->ctrl_iface == nullptr || supp_gas_query_init(iface) < 0) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }

    if (init_p2p && supp_p2p_init(global, iface) < 0) {
        wpa_msg_iface(iface, MSG_ERROR, "Failed to init P2P");
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }
    if (supp_bss_init(iface) < 0) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }
    if (iface->drv_capa_known && iface->conf->wowlan_triggers && supp_wowlan_apply(iface) < 0) {
        supplicant_deinit_iface(iface, 0, 0);
        return nullptr;
    }
    supp_ext_password_init(iface);
    supp_rrm_reset(iface);
    supp_sched_scan_plans_parse(iface);
    supp_scan_set_default_ies(iface);
    if (!iface->p2p_mgmt) {
        supp_notify_iface_added(iface);
        for (wpa_network *ssid = iface->conf->ssid; ssid; ssid = ssid->next)
            supp_notify_network_added(iface, ssid);
    }

    iface->next = global->ifaces;
    global->ifaces = iface;
    supplicant_set_state(iface, WPA_DISCONNECTED);

    if (global->p2p_init_iface == nullptr && !iface->conf->p2p_disabled &&
        (iface->drv_flags & WPA_DRIVER_FLAGS_DEDICATED_P2P_DEVICE))
        supp_p2p_create_device_iface(iface, global->params.conf_p2p_dev);
    return iface;
}

void supplicant_deinit_iface(wpa_iface *iface, int notify, int terminate) {
    if (iface == nullptr) return;
    wpa_global *global = iface->global;
    if (iface->parent == iface) {
        supp_p2p_remove_group_by_name(iface, "*");
        for (wpa_iface *w = global ? global->ifaces : nullptr, *next; w; w = next) {
            next = w->next;
            if (w != iface && w->parent == iface) supplicant_remove_iface(global, w, terminate);
        }
        for (wpa_iface *w = global ? global->ifaces : nullptr; w; w = w->next)
            if (w->p2pdev == iface) w->p2pdev = w->parent;
    }
    iface->disconnected = 1;
    if (iface->drv_priv) {
        wpa_drv_deauthenticate(iface, iface->bssid, 3);
        wpa_drv_set_countermeasures(iface, 0);
        supp_clear_keys(iface);
    }

    supp_bgscan_deinit(iface);
    supp_scard_deinit(iface);
    supp_l2_close(iface);
    if (iface->conf)
        for (wpa_network *ssid = iface->conf->ssid; ssid; ssid = ssid->next)
            supp_notify_network_removed(iface, ssid);
    free(iface->confname);
    iface->confname = nullptr;
    free(iface->confanother);
    iface->confanother = nullptr;
    supp_eapol_rsn_free(iface);
    supp_blacklist_clear(iface);
    supp_bss_deinit(iface);
    supp_iface_cancel_timeouts(iface);
    supp_pending_eapol_free(iface);
    supp_sme_ap_offchannel_deinit(iface);
    supp_sched_scan_stop(iface);
    supp_scan_settings_free(iface);
    supp_gas_query_deinit(iface);
    supp_iface_buffers_free(iface);
    supp_p2p_wmm_ac_deinit(iface);

    supp_radio_remove_works(iface);
    radio_remove(iface);
    if (iface->driver && iface->driver->deinit && iface->drv_priv) iface->driver->deinit(iface->drv_priv);
    iface->drv_priv = nullptr;
    if (notify) supp_notify_iface_removed(iface);
    if (terminate) wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-TERMINATING ");
    wpa_ctrl_iface_deinit(iface, iface->ctrl_iface);
    iface->ctrl_iface = nullptr;
    wpa_config_free(iface->conf);
    free(iface);
}

int supplicant_remove_iface(wpa_global *global, wpa_iface *iface, int terminate) {
    wpa_iface *prev = nullptr;
    for (wpa_iface *w = global->ifaces; w; prev = w, w = w->next) {
        if (w != iface) continue;
        (prev ? prev->next : global->ifaces) = w->next;
        if (global->p2p_group_formation == iface) global->p2p_group_formation = nullptr;
        if (global->p2p_invite_group == iface) global->p2p_invite_group = nullptr;
        supplicant_deinit_iface(iface, 1, terminate);
        return 0;
    }
    return -1;
}

int supplicant_run(wpa_global *global) {
    // No process-wide signal handlers: the daemon keeps its own. A stop request reaches
    // the loop through the owning task's pipe instead.
    if (external_fd >= 0) eloop_register_read_sock(external_fd, external_receive, global, nullptr);
    eloop_run();
    if (external_fd >= 0) eloop_unregister_read_sock(external_fd);
    return 0;
}

void supplicant_request_terminate(wpa_global *global) {
    bool wait = false;
    for (wpa_iface *w = global ? global->ifaces : nullptr; w; w = w->next) {
        if (supp_wps_exit_must_wait(w)) wait = true;
        supp_p2p_group_remove_on_exit(w);
    }
    if (!wait) eloop_terminate();
}

int supplicant_reload_configuration(wpa_iface *iface) {
    // Without a configuration file there is nothing to re-read: nothing changes.
    if (iface->confname == nullptr) return 0;
    return -1;
}

void supplicant_apply_config_changes(wpa_iface *iface) {
    wpa_config *conf = iface->conf;
    if ((conf->changed_parameters & CFG_CHANGED_COUNTRY) && iface->driver && iface->driver->set_country) {
        char alpha2[3] = {conf->country[0], conf->country[1], '\0'};
        iface->driver->set_country(iface->drv_priv, alpha2);
    }
    supp_config_changes_later(iface);
    conf->changed_parameters = 0;
}

int wpa_is_p2p_preferred(wpa_iface *iface) {
    if (iface->global->conc_pref == 2) return 1;
    if (iface->global->conc_pref == 1) return 0;
    return -1;
}

void supplicant_deinit(wpa_global *global) {
    if (global == nullptr) return;
    supplicant_event_set_global(nullptr);
    eloop_cancel_timeout(supplicant_periodic, global, ELOOP_ALL_CTX);
    while (global->ifaces)
        supplicant_remove_iface(global, global->ifaces, 1);
    wpa_ctrl_iface_global_deinit(global->ctrl_iface);
    eap_peer_methods_unregister_all();
    const wpa_driver_ops *const *drivers = wpa_driver_list();
    for (size_t i = 0; i < global->drv_count && drivers && drivers[i]; i++)
        if (global->drv_priv[i] && drivers[i]->global_deinit) drivers[i]->global_deinit(global->drv_priv[i]);
    free(global->drv_priv);
    random_pool_deinit();
    eloop_destroy();
    wpa_msg_register_cb(nullptr);
    free_params(&global->params);
    free(global);
}

int supplicant_start(const char *start_text) {
    if (start_text == nullptr) return -1;
    wpa_params params{};
    params.debug_level = 0;
    params.ctrl_interface = const_cast<char *>("/var/wpactrl");
    wpa_iface_params iface{};
    iface.ctrl_interface = "/var/wifi";
    iface.driver = start_text[0] == 0 ? "wired" : "nl80211";
    std::string ifname = start_text + 1;
    iface.ifname = ifname.c_str();

    printf("************ start supplicant **********************\n");
    fflush(stdout);
    wpa_global *global = supplicant_init(&params);
    if (global == nullptr) return -1;
    if (supplicant_add_iface(global, &iface, nullptr) == nullptr) {
        supplicant_deinit(global);
        return -1;
    }
    int ret = supplicant_run(global);
    supplicant_deinit(global);
    return ret;
}
