// The network services' part of start-up.

#include "net/netsvc.h"

#include "core/param.h"
#include "core/ptable_hooks.h"
#include "core/supervisor.h"
#include "net/dhcp_client.h"
#include "net/mdns.h"
#include "net/netif.h"
#include "net/ntp.h"
#include "net/slp.h"
#include "param_catalogue.h"

#include <unistd.h>

namespace {

constexpr uint32_t StackSize = 0x8000;

} // namespace

void startNetServices(NetInterface &iface, bool (*stopRequested)()) {
    (new NtpClient(iface))->start(StackSize);
    if (p_ip_dhcp->isOn()) {
        while (!iface.isRunning() && !(stopRequested && stopRequested()))
            sleep(1);
        (new BootpClient(iface))->start(StackSize);
    }
    (new SlpServer(iface))->start(StackSize);
    if (p_bonjour->isOn()) startBonjour(iface);
    // The supervisor brings the responder back when none runs.
    supervisorHooks().bonjourTaskNumber = [] { return mdnsTaskNumber.load(); };
    supervisorHooks().startBonjour = [] { startBonjour(mainInterface()); };
    ptableHooks().updateBonjourName = update_bonjour_name;
}
