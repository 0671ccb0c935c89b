// Internal: ports named by USB identity, "usb://VVVV:PPPP[/SERIAL][?interface=N]", and how such a
// name is matched against a port listing. No error records here: the channel that resolves the
// name reports.
#ifndef SELKO_USB_PORT_URL_H
#define SELKO_USB_PORT_URL_H

#include "SelkoCommunication.h"

#include <string>
#include <vector>

namespace selko::detail {

struct USBPortIdentity {
    int vendorId = -1, productId = -1;   // as sysfs writes them, hexadecimal in the URL
    std::string serialNumber;            // empty: any serial number
    int interface = -1;                  // -1: any interface
};

// Reads "usb://VVVV:PPPP" (the scheme in lower case, as "uart" is), optionally followed by "/SERIAL" (percent-decoded, not empty) and
// "?interface=N" (decimal, 0-255). Ids are one to four hex digits. False for anything else: a
// host-less form, another query key, a fragment, an empty or further path segment.
bool parseUSBPortURL(const char* url, USBPortIdentity* identity);

// What `identity` asks for, for error messages: "USB 0403:6001 serial number A50285BI interface 2".
std::string describeUSBIdentity(const USBPortIdentity& identity);

// The paths of the listed ports that `identity` names.
std::vector<std::string> portsMatching(const std::vector<SLKPortInfo>& ports, const USBPortIdentity& identity);

} // namespace selko::detail

#endif
