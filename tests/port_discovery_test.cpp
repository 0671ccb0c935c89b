// Port listing on a fake sysfs and /dev tree laid out as the kernel lays out the real one: the
// class entries are links into /sys/devices, the device and driver entries links again.
#include <SelkoCommunication.h>

#include "PortListing.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class FakeTree {
public:
    FakeTree() {
        char folder[] = "/tmp/selko-sysfs-XXXXXX";
        root = ::mkdtemp(folder) ? folder : "";
    }
    ~FakeTree() {
        if (!root.empty())
            std::filesystem::remove_all(root);
    }
    void folder(const std::string& path) { std::filesystem::create_directories(root + path); }
    void file(const std::string& path, const std::string& text) {
        folder(path.substr(0, path.find_last_of('/')));
        std::ofstream(root + path) << text << "\n";
    }
    // A link at `path` with the (relative) `target`, as the kernel and udev make them.
    void link(const std::string& path, const std::string& target) {
        folder(path.substr(0, path.find_last_of('/')));
        EXPECT_EQ(::symlink(target.c_str(), (root + path).c_str()), 0) << path;
    }
    // A tty class entry for the tty folder `ttyFolder` below /sys/devices.
    void tty(const std::string& name, const std::string& ttyFolder) {
        folder("/sys/devices/" + ttyFolder);
        link("/sys/class/tty/" + name, "../../devices/" + ttyFolder);
    }
    std::string root;
};

const std::string kHub = "pci0000:00/0000:00:14.0/usb1/";

void buildMachine(FakeTree& tree) {
    // An FTDI adapter: tty -> usb-serial port -> interface 1-1.4:1.0 -> USB device 1-1.4.
    const std::string ftdi = kHub + "1-1/1-1.4/";
    tree.tty("ttyUSB0", ftdi + "1-1.4:1.0/ttyUSB0/tty/ttyUSB0");
    tree.link("/sys/devices/" + ftdi + "1-1.4:1.0/ttyUSB0/tty/ttyUSB0/device", "../../../ttyUSB0");
    tree.link("/sys/devices/" + ftdi + "1-1.4:1.0/ttyUSB0/driver",
              "../../../../../../../../bus/usb-serial/drivers/ftdi_sio");
    tree.link("/sys/devices/" + ftdi + "1-1.4:1.0/ttyUSB0/subsystem", "../../../../../../../../bus/usb-serial");
    tree.file("/sys/devices/" + ftdi + "1-1.4:1.0/bInterfaceNumber", "00");
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"idVendor", "0403"},
                                      {"idProduct", "6001"},
                                      {"manufacturer", "FTDI"},
                                      {"product", "FT232R USB UART"},
                                      {"serial", "A50285BI"}})
        tree.file("/sys/devices/" + ftdi + name, value);
    tree.link("/sys/devices/" + kHub + "idVendor", "../../../nowhere"); // the hub above is not the port's device
    tree.link("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
    tree.link("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0", "../../ttyUSB0");
    // A CDC ACM modem on interface 2 of USB device 1-2, without a serial number attribute.
    tree.tty("ttyACM0", kHub + "1-2/1-2:1.2/tty/ttyACM0");
    tree.link("/sys/devices/" + kHub + "1-2/1-2:1.2/tty/ttyACM0/device", "../../../1-2:1.2");
    tree.link("/sys/devices/" + kHub + "1-2/1-2:1.2/driver", "../../../../../../bus/usb/drivers/cdc_acm");
    tree.file("/sys/devices/" + kHub + "1-2/1-2:1.2/bInterfaceNumber", "02");
    tree.file("/sys/devices/" + kHub + "1-2/idVendor", "1d50");
    tree.file("/sys/devices/" + kHub + "1-2/idProduct", "60a1");
    tree.file("/sys/devices/" + kHub + "1-2/manufacturer", "Example Labs");
    tree.file("/sys/devices/" + kHub + "1-2/product", "Field Modem");
    tree.link("/dev/serial/by-id/usb-Example_Labs_Field_Modem-if02", "/dev/ttyACM0");
    tree.link("/dev/serial/by-id/usb-other-if00", "../../ttyACM1"); // leads elsewhere
    // A bound RFCOMM port: a virtual tty with no device.
    tree.tty("rfcomm0", "virtual/tty/rfcomm0");
    // A PnP-found 8250 behind the serial-base port devices of newer kernels.
    tree.tty("ttyS0", "pnp0/00:04/00:04:0/00:04:0.0/tty/ttyS0");
    tree.file("/sys/devices/pnp0/00:04/00:04:0/00:04:0.0/tty/ttyS0/type", "4");
    tree.link("/sys/devices/pnp0/00:04/00:04:0/00:04:0.0/tty/ttyS0/device", "../../../00:04:0.0");
    tree.link("/sys/devices/pnp0/00:04/00:04:0/00:04:0.0/subsystem", "../../../../../bus/serial-base");
    tree.link("/sys/devices/pnp0/00:04/00:04:0/subsystem", "../../../../bus/serial-base");
    tree.link("/sys/devices/pnp0/00:04/subsystem", "../../../bus/pnp");
    tree.link("/sys/devices/pnp0/00:04/driver", "../../../bus/pnp/drivers/serial");
    tree.link("/dev/serial/by-path/pnp-0000:00:04-port0", "../../ttyS0");
    // A placeholder 8250 (no UART found) and a console: neither is listed.
    tree.tty("ttyS1", "platform/serial8250/tty/ttyS1");
    tree.file("/sys/devices/platform/serial8250/tty/ttyS1/type", "0");
    tree.link("/sys/devices/platform/serial8250/tty/ttyS1/device", "../../../serial8250");
    tree.link("/sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
    tree.tty("tty1", "virtual/tty/tty1");
}

TEST(PortDiscovery, ListsEverySerialPortOfAFakeMachineWithItsFields) {
    FakeTree tree;
    ASSERT_FALSE(tree.root.empty());
    buildMachine(tree);
    std::vector<SLKPortInfo> ports;
    std::string failure;
    ASSERT_TRUE(selko::detail::listPortsUnder(tree.root, &ports, &failure)) << failure;
    // One row per port: path | links | transport | driver | description | vendor product
    // interface | manufacturer | product | serial number | location.
    const std::vector<std::string> expected = {
        "/dev/rfcomm0||bluetooth|rfcomm|rfcomm /dev/rfcomm0|-1 -1 -1||||",
        "/dev/ttyACM0|/dev/serial/by-id/usb-Example_Labs_Field_Modem-if02 |usb|cdc_acm|Field Modem|7504 24737 2|"
        "Example Labs|Field Modem||1-2",
        "/dev/ttyS0|/dev/serial/by-path/pnp-0000:00:04-port0 |native|serial|serial /dev/ttyS0|-1 -1 -1||||",
        "/dev/ttyUSB0|/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 "
        "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0 |usb|ftdi_sio|FT232R USB UART|1027 24577 0|"
        "FTDI|FT232R USB UART|A50285BI|1-1.4",
    };
    std::vector<std::string> rows;
    for (const SLKPortInfo& port : ports) {
        std::string links;
        for (const std::string& link : port.links)
            links += link + " ";
        rows.push_back(port.path + "|" + links + "|" + port.transport + "|" + port.driver + "|" + port.description +
                       "|" + std::to_string(port.usbVendorId) + " " + std::to_string(port.usbProductId) + " " +
                       std::to_string(port.usbInterface) + "|" + port.usbManufacturer + "|" + port.usbProduct + "|" +
                       port.usbSerialNumber + "|" + port.usbLocation);
    }
    EXPECT_EQ(rows, expected);
}

TEST(PortDiscovery, AMissingTtyFolderFails) {
    std::vector<SLKPortInfo> ports;
    std::string failure;
    EXPECT_FALSE(selko::detail::listPortsUnder("/nonexistent-root", &ports, &failure));
    EXPECT_EQ(failure, std::strerror(ENOENT));

    CommErrorRef error;
    selko_listPorts(&error); // this machine's own tree reads without a failure
    EXPECT_EQ(error, nullptr);
}

} // namespace
