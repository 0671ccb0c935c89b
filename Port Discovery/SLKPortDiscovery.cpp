// The exported port listing: the machine's own sysfs and /dev (or the tree SELKO_DEVICE_ROOT names).
#include "CommErrorRaise.h"
#include "PortListing.h"

std::vector<SLKPortInfo> selko_listPorts(CommErrorRef* error) {
    std::vector<SLKPortInfo> ports;
    std::string failure;
    if (!selko::detail::listPortsUnder(selko::detail::deviceRoot(), &ports, &failure))
        SLK_RAISE(error, SLKErrorPortSystem, "Cannot list the serial ports: %s", failure);
    return ports;
}
