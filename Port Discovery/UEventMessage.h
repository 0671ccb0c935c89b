// Internal: the kernel's device event messages ("uevents"), as its netlink socket delivers them:
// "ACTION@DEVPATH", then "KEY=VALUE" fields, each ended by a NUL byte.
#ifndef SELKO_UEVENT_MESSAGE_H
#define SELKO_UEVENT_MESSAGE_H

#include <cstddef>
#include <map>
#include <string>

namespace selko::detail {

struct DeviceEvent {
    std::string action;                          // add, remove, change, bind, ...
    std::string devpath;                         // /devices/... below /sys
    std::map<std::string, std::string> values;   // SUBSYSTEM, DEVNAME, SEQNUM, ...

    std::string value(const std::string& key) const;
    // The device's kernel name, the last component of its devpath ("ttyUSB0").
    std::string name() const;
};

// False for anything but a kernel message: a header without '@', an empty action, a devpath not
// starting with '/' (the udev daemon's messages begin with "libudev" and are refused so). Empty
// fields and fields without '=' are skipped; the last field may lack its NUL.
bool parseUEventMessage(const char* data, std::size_t size, DeviceEvent* event);

} // namespace selko::detail

#endif
