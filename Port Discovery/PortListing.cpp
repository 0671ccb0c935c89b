// Walks <root>/sys/class/tty and describes every entry that is a serial port. The kernel lists
// every tty there (consoles, pseudo-terminals, placeholders); a serial port is an entry with a
// device behind it whose UART is real, or a Bluetooth RFCOMM port (which may have no device).
#include "PortListing.h"

#include "SysfsFiles.h"

#include <algorithm>
#include <cstring>

namespace selko::detail {

namespace {

// The USB device (the ancestor with idVendor) above `device` and the interface just below it.
struct USBAncestor {
    std::string device, interface;
};

USBAncestor findUSBAncestor(const std::string& device, const std::string& devicesRoot) {
    std::string below;
    for (std::string folder = device; folder.size() > devicesRoot.size() && folder.rfind(devicesRoot, 0) == 0;
         folder = parentFolder(folder)) {
        if (exists(folder + "/idVendor"))
            return {folder, below};
        below = folder;
    }
    return {};
}

std::string lastComponent(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

void fillUSBFields(const USBAncestor& usb, SLKPortInfo* port) {
    port->usbVendorId = readHexAttribute(usb.device + "/idVendor");
    port->usbProductId = readHexAttribute(usb.device + "/idProduct");
    port->usbManufacturer = readAttribute(usb.device + "/manufacturer");
    port->usbProduct = readAttribute(usb.device + "/product");
    port->usbSerialNumber = readAttribute(usb.device + "/serial");
    port->usbLocation = lastComponent(usb.device);
    if (!usb.interface.empty())
        port->usbInterface = readHexAttribute(usb.interface + "/bInterfaceNumber");
}

std::string transportOf(const std::string& subsystem, const std::string& driver) {
    if (subsystem == "pci")
        return "pci";
    // The PC's own 8250 UARTs: found by PnP/ACPI, or probed at the legacy addresses.
    if (subsystem == "pnp" || driver == "serial8250")
        return "native";
    return "platform";
}

// Describes the tty entry `name`; false when it is not a serial port.
bool describePort(const std::string& root, const std::string& name, SLKPortInfo* port) {
    const std::string entry = root + "/sys/class/tty/" + name;
    const bool rfcomm = name.rfind("rfcomm", 0) == 0;
    port->path = "/dev/" + name;
    // An RFCOMM port is described alike whether bound only (no device) or connected: its device
    // is then the link to the peer, below the local Bluetooth adapter, whose driver and USB
    // identity are not the port's.
    if (rfcomm) {
        port->transport = "bluetooth";
        port->driver = "rfcomm";
        return true;
    }
    // Without a device the entry is a console, a pseudo-terminal or the like.
    if (!exists(entry + "/device"))
        return false;
    // Serial-core ports tell the UART type; 0 (PORT_UNKNOWN) is a placeholder with no UART behind it.
    if (readAttribute(entry + "/type") == "0")
        return false;
    std::string device = resolvedPath(entry + "/device");
    // Newer kernels put port devices of a "serial-base" bus between the tty and its controller.
    while (!device.empty() && linkTargetName(device + "/subsystem") == "serial-base")
        device = parentFolder(device);
    port->driver = linkTargetName(device + "/driver");
    const USBAncestor usb =
        device.empty() ? USBAncestor{} : findUSBAncestor(device, resolvedPath(root + "/sys/devices"));
    if (!usb.device.empty())
        fillUSBFields(usb, port);
    if (!usb.device.empty())
        port->transport = "usb";
    else
        port->transport = transportOf(linkTargetName(device + "/subsystem"), port->driver);
    return true;
}

// Every link in <root>/dev/serial/by-id and by-path that leads to `path`.
std::vector<std::string> stableLinks(const std::string& root, const std::string& path) {
    std::vector<std::string> links;
    const std::string wanted = normalizedPath(root + path);
    for (const char* folder : {"/dev/serial/by-id/", "/dev/serial/by-path/"}) {
        for (const std::string& name : folderEntries(root + folder)) {
            if (linkTargetUnder(root, root + folder + name) == wanted)
                links.push_back(folder + name);
        }
    }
    return links;
}

} // namespace

bool describePortUnder(const std::string& root, const std::string& name, SLKPortInfo* port) {
    if (!describePort(root, name, port))
        return false;
    port->links = stableLinks(root, port->path);
    port->description = !port->usbProduct.empty() ? port->usbProduct
                        : port->driver.empty()    ? port->path
                                                  : port->driver + " " + port->path;
    return true;
}

bool listPortsUnder(const std::string& root, std::vector<SLKPortInfo>* ports, std::string* failure) {
    int errorNumber = 0;
    const std::vector<std::string> names = folderEntries(root + "/sys/class/tty", &errorNumber);
    if (errorNumber != 0) {
        *failure = std::strerror(errorNumber);
        return false;
    }
    ports->clear();
    for (const std::string& name : names) {
        SLKPortInfo port;
        if (describePortUnder(root, name, &port))
            ports->push_back(std::move(port));
    }
    std::sort(ports->begin(), ports->end(), [](const SLKPortInfo& a, const SLKPortInfo& b) { return a.path < b.path; });
    return true;
}

} // namespace selko::detail
