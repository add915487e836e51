"""FreeRADIUS as the authentication server of the EAP tests, run in the client
namespace on its loopback with a configuration written per test: the EAP methods MD5,
GTC, TLS, TTLS, PEAP, MSCHAPv2 and (for FAST tests) FAST, one user, and the certificates
of the test's CA."""
import os
import subprocess
import time

SECRET = "testing123"

RADIUSD = """
prefix = /usr
exec_prefix = /usr
sysconfdir = /etc
localstatedir = {dir}
sbindir = /usr/sbin
logdir = {dir}
raddbdir = {dir}
radacctdir = {dir}
name = freeradius
confdir = {dir}
modconfdir = {dir}
certdir = {dir}
cadir = {dir}
run_dir = {dir}
db_dir = {dir}
libdir = /usr/lib/freeradius
pidfile = {dir}/radiusd.pid
dictdir = /usr/share/freeradius
max_request_time = 30
cleanup_delay = 0
max_requests = 1024
hostname_lookups = no
log {{
    destination = stdout
    auth = yes
}}
security {{
    allow_core_dumps = no
    max_attributes = 200
    reject_delay = 0
    status_server = no
}}
client local {{
    ipaddr = 127.0.0.1
    secret = {secret}
}}
thread pool {{
    start_servers = 1
    max_servers = 1
    min_spare_servers = 1
    max_spare_servers = 1
}}
modules {{
    files {{
        filename = {dir}/users
    }}
    pap {{
    }}
    chap {{
    }}
    mschap {{
    }}
    eap {{
        default_eap_type = {default_type}
        timer_expire = 60
        ignore_unknown_eap_types = no
        max_sessions = 64
        md5 {{
        }}
        gtc {{
            auth_type = PAP
        }}
        mschapv2 {{
        }}
        tls-config tls-common {{
            private_key_file = {dir}/server.key
            certificate_file = {dir}/server.pem
            ca_file = {dir}/ca.pem
            dh_file = {dir}/dh.pem
            cipher_list = "DEFAULT"
            tls_min_version = "1.2"
            tls_max_version = "{tls_max}"
        }}
        tls {{
            tls = tls-common
        }}
        ttls {{
            tls = tls-common
            default_eap_type = md5
            virtual_server = "inner-tunnel"
        }}
        peap {{
            tls = tls-common
            default_eap_type = mschapv2
            virtual_server = "inner-tunnel"
        }}
{fast}
    }}
}}
policy {{
}}
server default {{
    listen {{
        type = auth
        ipaddr = 127.0.0.1
        port = 1812
    }}
    authorize {{
        eap {{
            ok = return
        }}
        files
        pap
        chap
        mschap
    }}
    authenticate {{
        Auth-Type PAP {{
            pap
        }}
        Auth-Type CHAP {{
            chap
        }}
        Auth-Type MS-CHAP {{
            mschap
        }}
        eap
    }}
    post-auth {{
        if (&reply:EAP-Session-Id) {{
            update reply {{
                &Class += "sid=%{{hex:&reply:EAP-Session-Id}}"
            }}
        }}
        if (&reply:EAP-EMSK) {{
            update reply {{
                &Class += "emsk=%{{hex:&reply:EAP-EMSK}}"
            }}
        }}
        Post-Auth-Type REJECT {{
        }}
    }}
}}
server inner-tunnel {{
    authorize {{
        eap {{
            ok = return
        }}
        files
        pap
        chap
        mschap
    }}
    authenticate {{
        Auth-Type PAP {{
            pap
        }}
        Auth-Type CHAP {{
            chap
        }}
        Auth-Type MS-CHAP {{
            mschap
        }}
        eap
    }}
    post-auth {{
    }}
}}
"""


# EAP-FAST: anonymous provisioning needs ADH-AES128-SHA, which only security level 0 allows.
FAST = """
        fast {{
            tls = tls-common
            cipher_list = "ALL:!EXPORT:!eNULL:!SSLv2:@SECLEVEL=0"
            pac_lifetime = 604800
            authority_identity = "{a_id}"
            pac_opaque_key = "0123456789abcdef0123456789ABCDEF"
            default_eap_type = mschapv2
            virtual_server = "inner-tunnel"
        }}
"""
FAST_A_ID = "qmr-test-authority"


class FreeRadius:
    def __init__(self, net, workdir, pki, user, password, default_type="md5", tls_max="1.2"):
        self.net = net
        self.dir = workdir
        os.makedirs(workdir, exist_ok=True)
        for name in ("ca.pem", "server.pem", "server.key", "dh.pem"):
            with open(os.path.join(pki, name), "rb") as src, open(os.path.join(workdir, name), "wb") as dst:
                dst.write(src.read())
        with open(os.path.join(workdir, "users"), "w") as f:
            f.write('%s Cleartext-Password := "%s"\n' % (user, password))
        with open(os.path.join(workdir, "radiusd.conf"), "w") as f:
            fast = FAST.format(a_id=FAST_A_ID) if default_type == "fast" else ""
            f.write(RADIUSD.format(dir=workdir, secret=SECRET, default_type=default_type, tls_max=tls_max,
                                   fast=fast))
        self.log = open(os.path.join(workdir, "radius.log"), "w+")
        self.proc = subprocess.Popen(
            ["ip", "netns", "exec", net.client, "freeradius", "-X", "-d", workdir],
            stdout=self.log, stderr=subprocess.STDOUT)
        end = time.monotonic() + 60
        while time.monotonic() < end:
            if "Ready to process requests" in self.text():
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.2)
        raise AssertionError("FreeRADIUS did not start:\n" + self.text()[-3000:])

    def text(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
