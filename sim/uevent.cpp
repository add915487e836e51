// The uevent socket of the simulated kernel.
#include "sim/standins.h"

#include <cerrno>

namespace sim {

int usbUeventOpen()
{
    errno = ENOSYS;
    return -1;
}

} // namespace sim
