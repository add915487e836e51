// Network stand-ins: this kernel has no 802.1Q and a veth has no PHY.
#include "sim/standins.h"

#include <cerrno>

namespace sim {

int netVlanAdd(const char *, int)
{
    errno = ENOSYS;
    return -1;
}

int netVlanDel(const char *)
{
    errno = ENOSYS;
    return -1;
}

int netPhyRead(const char *, int, int, int *)
{
    errno = EOPNOTSUPP;
    return -1;
}

} // namespace sim
