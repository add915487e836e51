"""WPA2-Enterprise end to end: qmr on the Wi-Fi product, configured through the manager's
parameters ("wifi_encrypt" AES2 with an "auth_typ"), joins an nlsim AP that advertises
AKM 1 (IEEE 802.1X). The authenticator on the AP's TAP (wifi_auth.py) relays EAP to
FreeRADIUS in the client namespace, takes the PMK from the server's MS-MPPE-Recv-Key and
runs the 4-way and group key handshakes with it; nlsim's key trace shows the keys the
station installed. Back at an AP it authenticated with before, the station names the
cached PMKSA in its association request and skips EAP."""
import os
import shutil
import subprocess
import time

import pytest

from radius_peer import SECRET, FreeRadius
from test_eap import install_certs, make_pki
from test_wifi_join import AP, CONNECTED, station  # noqa: F401 (fixture)
from test_wifi_join_link import AP2, CONNECTED2, after, news

pytestmark = pytest.mark.skipif(shutil.which("freeradius") is None, reason="FreeRADIUS is not installed")

EAP_SUCCESS = "<3>CTRL-EVENT-EAP-SUCCESS EAP authentication completed successfully"


def params(password, method="PEAP", inner="MSCHAP2"):
    return (" wifi = on\n wifi_mode = infra\n wifi_name = lab\n wifi_encrypt = AES2\n auth_typ = %s\n"
            " auth_inner = %s\n auth_name = alice\n auth_pwd = %s\n" % (method, inner, password))


@pytest.fixture
def ap_ns():
    name = "qeapw%d" % os.getpid()
    subprocess.run(["ip", "netns", "add", name], check=True)
    yield name
    subprocess.run(["ip", "netns", "del", name], check=False)


class Enterprise:
    """FreeRADIUS (user alice with password "secret"), the station with the given
    password and method (PEAP-MSCHAPv2 by default), and one authenticator per AP added
    with add_ap."""

    def __init__(self, net, station, ap_ns, tmp_path, password, method="PEAP", inner="MSCHAP2"):
        self.wifi_auth = pytest.importorskip("wifi_auth")
        self.net, self.ns = net, ap_ns
        pki = make_pki(str(tmp_path / "pki"))
        self.radius = FreeRadius(net, str(tmp_path / "radius"), pki, "alice", "secret", method.lower())
        self.st = station(params(password, method, inner), prepare=lambda root: install_certs(root, pki))
        self.sock = self.st.root.file("/run/nlsim.sock")
        self.auths = {}

    def add_ap(self, name, bssid, signal, freq):
        tap = "tap" + name
        auth = self.wifi_auth.Authenticator(sock=self.sock, ap=name, bssid=bssid, netns=self.ns, tap=tap,
                                            ssid="lab", protos=("rsn",), radius_secret=SECRET.encode(),
                                            radius_netns=self.net.client)
        self.st.air("ap", "add", name, "bssid=" + bssid, "ssid=lab", "freq=%d" % freq, "signal=%d" % signal,
                    "netns=" + self.ns, "tap=" + tap, "ies=" + auth.elements().hex())
        subprocess.run(["ip", "-n", self.ns, "link", "set", tap, "up"], check=True)
        self.auths[name] = auth.start()
        return auth

    def keys(self, since=1):
        """nlsim's key trace from entry since on."""
        return [line.split(" ", 1)[1]
                for line in self.wifi_auth.socket_control(self.sock)("keys since=%d" % since)]

    def keys_mark(self):
        lines = self.wifi_auth.socket_control(self.sock)("keys")
        return int(lines[-1].split()[0]) + 1 if lines else 1

    def assert_station_keys(self, auth, since=1, gtk=True):
        """The station installed the pairwise and (unless it holds it already) the group
        key the authenticator derived."""
        want = auth.station_keys()
        trace = self.keys(since)
        assert any("pairwise=1" in t and "hash=" + want["ptk"] in t and "err=0" in t for t in trace), trace
        assert not gtk or any("pairwise=0" in t and "hash=" + want["gtk"] in t and "err=0" in t for t in trace), trace

    def close(self):
        for a in self.auths.values():
            a.stop()
        self.radius.close()


@pytest.fixture
def enterprise(net, station, ap_ns, tmp_path):
    made = []

    def make(password="secret", method="PEAP", inner="MSCHAP2"):
        e = Enterprise(net, station, ap_ns, tmp_path, password, method, inner)
        made.append(e)
        return e

    yield make
    for e in made:
        e.close()


def roam(st, start, timeout=240):
    """Scans until the station connects anew (a SCAN refused as busy, or one that began
    before the levels changed, is asked again); the events from start up to CONNECTED."""
    end = time.monotonic() + timeout
    while True:
        st.ctrl.request("SCAN")
        try:
            return after(st, start, "CTRL-EVENT-CONNECTED ", timeout=30)
        except AssertionError:
            if time.monotonic() > end:
                raise


@pytest.mark.parametrize("method, inner, number", [("PEAP", "MSCHAP2", 25), ("TTLS", "PAP", 21)])
def test_eap_join_installs_keys_made_from_the_radius_msk(enterprise, method, inner, number):
    e = enterprise(method=method, inner=inner)
    auth = e.add_ap("one", AP, -4500, 2437)
    events = e.st.join(timeout=180)
    assert [x for x in events if x.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
    assert EAP_SUCCESS in events and events.index(EAP_SUCCESS) < events.index(CONNECTED), events
    selected = "CTRL-EVENT-EAP-METHOD EAP vendor 0 method %d (%s) selected" % (number, method)
    assert any(selected in x for x in events), events
    accept = auth.wait("accept")
    assert len(accept["recv"]) == 64, accept
    # The station's MSK is the server's (MS-MPPE-Recv-Key | -Send-Key); its first 32 bytes
    # are the PMK both sides used.
    ok, lines = e.st.daemon.simctl("wifi", "eapkeys", "wlan0")
    assert ok, lines
    assert dict(line.split("=", 1) for line in lines)["msk"] == accept["recv"] + accept["send"], lines
    # 1/4 named the PMKSA of the MSK; the keys of the handshake made from it are installed.
    auth.wait("4way-done")
    e.assert_station_keys(auth)
    status = e.st.status()
    assert status["wpa_state"] == "COMPLETED" and status["key_mgmt"] == "WPA2/IEEE 802.1X/EAP", status
    assert status["suppPortStatus"] == "Authorized", status


def test_wrong_password_fails_eap_and_installs_no_key(enterprise):
    e = enterprise("wrong")
    auth = e.add_ap("one", AP, -4500, 2437)
    e.st.ctrl.request("SCAN")
    e.st.mon.wait_event_after("CTRL-EVENT-EAP-FAILURE EAP authentication failed", 0, 180)
    auth.wait("reject")
    # The failure ends the association (the authentication timeout runs out) and counts
    # against the network.
    disabled = e.st.mon.wait_event_after("CTRL-EVENT-SSID-TEMP-DISABLED ", 0, 120)
    assert disabled.startswith('<3>CTRL-EVENT-SSID-TEMP-DISABLED id=0 ssid="lab" auth_failures=1 duration=') \
        and disabled.endswith(" reason=AUTH_FAILED"), disabled
    assert not any("CTRL-EVENT-CONNECTED" in x for x in e.st.mon.events), e.st.mon.events
    assert not auth.found("msg1") and not auth.found("accept"), auth.results
    assert not any("pairwise=1" in t and "len=" in t for t in e.keys()), e.keys()


def joined_then_roamed(e):
    """Joined to AP one through EAP, then roamed to the stronger AP two (EAP there
    too); (one, two, the PMK of one's PMKSA)."""
    one = e.add_ap("one", AP, -4500, 2437)
    two = e.add_ap("two", AP2, -9000, 2412)
    events = e.st.join(timeout=180)
    assert [x for x in events if x.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
    first = one.wait("accept")
    one.wait("4way-done")
    start = len(e.st.mon.events)
    e.st.air("ap", "set", "two", "signal=-2500")
    assert roam(e.st, start)[-1] == CONNECTED2
    two.wait("4way-done")
    return one, two, bytes.fromhex(first["recv"])[:32]


class Marks:
    """Where the authenticator's results, nlsim's news and key trace and the monitor's
    events stand."""

    def __init__(self, e, auth):
        self.auth = auth.mark() + 1
        self.news = news(e.st)[-1][0] + 1
        self.keys = e.keys_mark()
        self.events = len(e.st.mon.events)


def test_back_at_the_first_ap_the_cached_pmksa_skips_eap(enterprise):
    """Back at AP one, made stronger again: the reassociation request names the PMKID of
    one's PMKSA, one's 1/4 carries it, no EAP runs, and the 4-way handshake uses the
    cached PMK."""
    e = enterprise()
    one, two, pmk = joined_then_roamed(e)
    m = Marks(e, one)
    e.st.air("ap", "set", "one", "signal=-500")
    events = roam(e.st, m.events)
    assert events[-1] == CONNECTED, events
    assoc = one.wait("assoc", since=m.auth)
    sta = bytes.fromhex(assoc["sta"].replace(":", ""))
    expected = e.wifi_auth.pmkid(pmk, bytes.fromhex(AP.replace(":", "")), sta).hex()
    assert assoc["reassoc"] and expected in assoc["pmkids"], assoc
    reassoc = [f for n, k, f in news(e.st, m.news) if k == "reassoc" and f.get("ap") == "one"]
    assert reassoc and reassoc[0]["current"] == AP2, reassoc
    assert one.wait("pmksa-hit", since=m.auth)["pmkid"] == expected
    assert one.wait("msg1", since=m.auth)["pmkid"] == expected
    one.wait("4way-done", since=m.auth)
    # No EAP: the authenticator saw neither EAPOL-Start nor an EAP packet, the station
    # started no EAP conversation.
    assert not one.found("eapol-start", since=m.auth) and not one.found("eap", since=m.auth), one.results
    assert not one.found("accept", since=m.auth), one.results
    assert not any("CTRL-EVENT-EAP-STARTED" in x for x in events), events
    e.assert_station_keys(one, since=m.keys)
    # The station's own cache names both APs, AP one with the PMKID both sides computed.
    cached = {f[1]: f[2] for f in (line.split() for line in e.st.ctrl.request("PMKSA").splitlines()[1:])}
    assert cached.get(AP) == expected and AP2 in cached, cached

    # PMKSA_FLUSH drops them: the PMK in use is gone, so the station leaves and joins
    # again (the AP it left may be passed over for a while) through EAP.
    marks = {a: a.mark() + 1 for a in (one, two)}
    start = len(e.st.mon.events)
    assert e.st.ctrl.request("PMKSA_FLUSH") == "OK\n"
    assert e.st.ctrl.request("PMKSA").count("\n") == 1
    after(e.st, start, "<3>CTRL-EVENT-DISCONNECTED bssid=%s reason=1 locally_generated=1" % AP)
    rejoin = after(e.st, start, "CTRL-EVENT-CONNECTED ", timeout=180)
    auth = one if rejoin[-1] == CONNECTED else two
    assert rejoin[-1] in (CONNECTED, CONNECTED2), rejoin
    assert EAP_SUCCESS in rejoin, rejoin
    auth.wait("accept", since=marks[auth])
    assert not auth.found("pmksa-hit", since=marks[auth]), auth.results


def test_an_ap_that_forgot_the_pmksa_gets_full_eap(enterprise):
    """AP one lost its PMKSA cache meanwhile: the station still names the PMKID, one
    answers with EAP instead, and the station runs it and installs the keys of the new
    MSK."""
    e = enterprise()
    one, two, pmk = joined_then_roamed(e)
    one.pmksa.clear()
    m = Marks(e, one)
    e.st.air("ap", "set", "one", "signal=-500")
    events = roam(e.st, m.events)
    assert events[-1] == CONNECTED, events
    assert one.wait("assoc", since=m.auth)["pmkids"], one.results
    assert not one.found("pmksa-hit", since=m.auth), one.results
    accept = one.wait("accept", since=m.auth)
    assert bytes.fromhex(accept["recv"])[:32] != pmk
    assert EAP_SUCCESS in events, events
    one.wait("4way-done", since=m.auth)
    e.assert_station_keys(one, since=m.keys)


def test_reauthentication_runs_eap_again_and_keys_from_the_new_msk(enterprise):
    """REAUTHENTICATE while joined: EAPOL-Start, a new EAP run, and the 4-way handshake
    with the PMK of the new MSK; the station's cache then names that PMKSA."""
    e = enterprise()
    auth = e.add_ap("one", AP, -4500, 2437)
    events = e.st.join(timeout=180)
    assert [x for x in events if x.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
    first = auth.wait("accept")
    auth.wait("4way-done")
    m = Marks(e, auth)
    assert e.st.ctrl.request("REAUTHENTICATE") == "OK\n"
    auth.wait("eapol-start", since=m.auth)
    accept = auth.wait("accept", since=m.auth)
    assert accept["recv"] != first["recv"], accept
    auth.wait("4way-done", since=m.auth)
    # The GTK of 3/4 is the one installed: only the new pairwise key goes in.
    e.assert_station_keys(auth, since=m.keys, gtk=False)
    sta = bytes.fromhex(e.st.status()["address"].replace(":", ""))
    pmkid = e.wifi_auth.pmkid(bytes.fromhex(accept["recv"])[:32], bytes.fromhex(AP.replace(":", "")), sta)
    assert auth.wait("msg1", since=m.auth)["pmkid"] == pmkid.hex()
    cached = {f[1]: f[2] for f in (line.split() for line in e.st.ctrl.request("PMKSA").splitlines()[1:])}
    assert cached == {AP: pmkid.hex()}, cached
    assert e.st.status()["wpa_state"] == "COMPLETED"


def test_pre_authentication_through_the_current_ap_lets_the_roam_skip_eap(enterprise):
    """Joined to AP one, "PREAUTH" with AP two: the station's 0x88C7 frames come out of
    one's TAP addressed to two, one's authenticator relays them to the server and answers
    as two; the station caches a PMKSA for two with the PMKID both sides compute. Two
    gets that PMK (as a distribution system would hand it over), and the roam to two
    names the PMKID and runs no EAP."""
    e = enterprise()
    one = e.add_ap("one", AP, -4500, 2437)
    two = e.add_ap("two", AP2, -9000, 2412)
    events = e.st.join(timeout=180)
    assert [x for x in events if x.startswith("<3>CTRL-EVENT-CONNECTED ")] == [CONNECTED], events
    one.wait("4way-done")
    mark, start = one.mark() + 1, len(e.st.mon.events)
    assert e.st.ctrl.request("PREAUTH " + AP2) == "OK\n"
    assert e.st.ctrl.request("PREAUTH " + AP2[:-1]) == "FAIL\n"
    one.wait("preauth-start", since=mark)
    accept = one.wait("preauth-accept", since=mark)
    assert accept["bssid"] == AP2, accept
    after(e.st, start, "RSN: pre-authentication with %s completed successfully" % AP2)
    cached = {f[1]: f[2] for f in (line.split() for line in e.st.ctrl.request("PMKSA").splitlines()[1:])}
    assert cached.get(AP2) == accept["pmkid"], cached
    assert not two.found("eapol-start") and not two.found("eap"), two.results

    sta, bssid = (bytes.fromhex(a.replace(":", "")) for a in (accept["sta"], AP2))
    pmk = one.preauth[(sta, bssid)]
    two.pmksa[sta] = (pmk, e.wifi_auth.pmkid(pmk, bssid, sta))
    m = Marks(e, two)
    e.st.air("ap", "set", "two", "signal=-2500")
    events = roam(e.st, m.events)
    assert events[-1] == CONNECTED2, events
    assert accept["pmkid"] in two.wait("assoc", since=m.auth)["pmkids"]
    assert two.wait("pmksa-hit", since=m.auth)["pmkid"] == accept["pmkid"]
    two.wait("4way-done", since=m.auth)
    assert not two.found("eapol-start", since=m.auth) and not two.found("eap", since=m.auth), two.results
    assert not any("CTRL-EVENT-EAP-STARTED" in x for x in events), events
    e.assert_station_keys(two, since=m.keys)
