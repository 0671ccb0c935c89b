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

} // namespace selko::detail

#endif
