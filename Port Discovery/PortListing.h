// Port listing from a sysfs and /dev tree below a root folder: "/" on a real machine, a
// temporary tree in the tests. Independent of the rest of the library (no error records), so
// the tests can compile it in and point it at a fake tree.
#ifndef SELKO_PORT_LISTING_H
#define SELKO_PORT_LISTING_H

#include "SelkoCommunication.h"

#include <string>
#include <vector>

namespace selko::detail {

// The serial ports found under `root` (<root>/sys/class/tty, <root>/dev/serial), sorted by path.
// False, with the system's error text in *failure, only when <root>/sys/class/tty cannot be read;
// an entry with missing or unreadable attributes is listed with what could be read.
bool listPortsUnder(const std::string& root, std::vector<SLKPortInfo>* ports, std::string* failure);

// The tty entry `name` of <root>/sys/class/tty described as the listing describes it; false when
// it is missing or not a serial port.
bool describePortUnder(const std::string& root, const std::string& name, SLKPortInfo* port);

// The folder that stands for "/" when the library reads /sys and /dev/serial: "/" unless the
// environment names another in SELKO_DEVICE_ROOT (a fake tree for tests and demonstrations;
// ignored in set-user-id programs).
std::string deviceRoot();
// `path` (a /dev path of a listing) as it is reached below `root`.
std::string pathUnderRoot(const std::string& root, const std::string& path);

} // namespace selko::detail

#endif
