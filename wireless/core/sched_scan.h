// Scheduled scans (the driver scans periodically by itself while a known network is
// missing), PNO (the same facility started on request) and the scan-plan text.
#pragma once

#include "wireless/core/supplicant.h"

int supplicant_req_sched_scan(wpa_iface *iface);
int supplicant_delayed_sched_scan(wpa_iface *iface, int sec, int usec);
void supplicant_cancel_delayed_sched_scan(wpa_iface *iface);
void supplicant_cancel_sched_scan(wpa_iface *iface);
void supplicant_stop_sched_scan_reset(wpa_iface *iface);
void supplicant_restart_sched_scan(wpa_iface *iface);
int supp_start_pno(wpa_iface *iface);
int supp_stop_pno(wpa_iface *iface);
// Cancels the timeouts of scheduled scans (interface teardown).
void supplicant_sched_scan_cancel_timeouts(wpa_iface *iface);
// "SCHED_SCAN_STOPPED" from the driver.
void supplicant_sched_scan_stopped(wpa_iface *iface);

// Parses a plan text ("10:3 60"): 0, or -1 leaving the plans unchanged. An empty text
// removes every plan.
int supp_sched_scan_plans_set(wpa_iface *iface, const char *text);
// The same parse on its own, for the configuration check and tests: the plans (caller
// frees) and their count, capped to the driver limits given; -1 on a bad text.
int sched_scan_plans_parse(const char *text, unsigned int max_plans, unsigned int max_interval,
                           unsigned int max_iterations, sched_scan_plan **plans, size_t *num);

// After a scan that found nothing: 0 when a scheduled scan now runs.
int supp_sched_scan_start_if_possible(wpa_iface *iface);
