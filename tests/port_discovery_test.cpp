// Port listing on a fake sysfs and /dev tree laid out as the kernel lays out the real one: the
// class entries are links into /sys/devices, the device and driver entries links again.
#include "PortListing.h"
#include "TestSupport.h"

namespace {

// Each entry: a path below the root and either a file's text or, after "->", a link's target.
const char* const kMachine[] = {
    // An FTDI adapter: tty -> usb-serial port -> interface 1-1.4:1.0 -> USB device 1-1.4.
    "/sys/class/tty/ttyUSB0 -> ../../devices/U/1-1/1-1.4/1-1.4:1.0/ttyUSB0/tty/ttyUSB0",
    "/sys/devices/U/1-1/1-1.4/1-1.4:1.0/ttyUSB0/tty/ttyUSB0/device -> ../../../ttyUSB0",
    "/sys/devices/U/1-1/1-1.4/1-1.4:1.0/ttyUSB0/driver -> ../../../../../../../../bus/usb-serial/drivers/ftdi_sio",
    "/sys/devices/U/1-1/1-1.4/1-1.4:1.0/ttyUSB0/subsystem -> ../../../../../../../../bus/usb-serial",
    "/sys/devices/U/1-1/1-1.4/1-1.4:1.0/bInterfaceNumber 00", "/sys/devices/U/1-1/1-1.4/idVendor 0403",
    "/sys/devices/U/1-1/1-1.4/idProduct 6001", "/sys/devices/U/1-1/1-1.4/manufacturer FTDI",
    "/sys/devices/U/1-1/1-1.4/product FT232R USB UART", "/sys/devices/U/1-1/1-1.4/serial A50285BI",
    "/sys/devices/U/idVendor -> ../../../nowhere",   // the hub above is not the port's device
    "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 -> ../../ttyUSB0",
    "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.4:1.0-port0 -> ../../ttyUSB0",
    // A CDC ACM modem on interface 2 of USB device 1-2, without a serial number.
    "/sys/class/tty/ttyACM0 -> ../../devices/U/1-2/1-2:1.2/tty/ttyACM0",
    "/sys/devices/U/1-2/1-2:1.2/tty/ttyACM0/device -> ../../../1-2:1.2",
    "/sys/devices/U/1-2/1-2:1.2/driver -> ../../../../../../bus/usb/drivers/cdc_acm",
    "/sys/devices/U/1-2/1-2:1.2/bInterfaceNumber 02", "/sys/devices/U/1-2/idVendor 1d50",
    "/sys/devices/U/1-2/idProduct 60a1", "/sys/devices/U/1-2/manufacturer Example Labs",
    "/sys/devices/U/1-2/product Field Modem", "/dev/serial/by-id/usb-Example_Labs_Field_Modem-if02 -> /dev/ttyACM0",
    "/dev/serial/by-id/usb-other-if00 -> ../../ttyACM1",   // leads elsewhere
    // A bound RFCOMM port: a virtual tty with no device. A connected one: the kernel moves its tty
    // below the link to the peer (hci0:256), under the local USB adapter, which is not the port's.
    "/sys/class/tty/rfcomm0 -> ../../devices/virtual/tty/rfcomm0", "/sys/devices/virtual/tty/rfcomm0/dev 1",
    "/sys/class/tty/rfcomm1 -> ../../devices/U/1-3/1-3:1.0/bluetooth/hci0/hci0:256/rfcomm1",
    "/sys/devices/U/1-3/1-3:1.0/bluetooth/hci0/hci0:256/rfcomm1/device -> ../../hci0:256",
    "/sys/devices/U/1-3/1-3:1.0/driver -> ../../../../../../bus/usb/drivers/btusb",
    "/sys/devices/U/1-3/1-3:1.0/bInterfaceNumber 00", "/sys/devices/U/1-3/idVendor 8087",
    "/sys/devices/U/1-3/product Bluetooth Radio",
    // A PnP-found 8250 behind the serial-base port devices of newer kernels.
    "/sys/class/tty/ttyS0 -> ../../devices/pnp0/00:04/00:04:0/00:04:0.0/tty/ttyS0",
    "/sys/devices/pnp0/00:04/00:04:0/00:04:0.0/tty/ttyS0/type 4",
    "/sys/devices/pnp0/00:04/00:04:0/00:04:0.0/tty/ttyS0/device -> ../../../00:04:0.0",
    "/sys/devices/pnp0/00:04/00:04:0/00:04:0.0/subsystem -> ../../../../../bus/serial-base",
    "/sys/devices/pnp0/00:04/00:04:0/subsystem -> ../../../../bus/serial-base",
    "/sys/devices/pnp0/00:04/subsystem -> ../../../bus/pnp",
    "/sys/devices/pnp0/00:04/driver -> ../../../bus/pnp/drivers/serial",
    "/dev/serial/by-path/pnp-0000:00:04-port0 -> ../../ttyS0",
    // A placeholder 8250 (no UART found) and a console: neither is listed.
    "/sys/class/tty/ttyS1 -> ../../devices/platform/serial8250/tty/ttyS1",
    "/sys/devices/platform/serial8250/tty/ttyS1/type 0",
    "/sys/devices/platform/serial8250/tty/ttyS1/device -> ../../../serial8250",
    "/sys/devices/platform/serial8250/driver -> ../../../bus/platform/drivers/serial8250",
    "/sys/class/tty/tty1 -> ../../devices/virtual/tty/tty1", "/sys/devices/virtual/tty/tty1/dev 1",
};

TEST(PortDiscovery, ListsEverySerialPortOfAFakeMachineWithItsFieldsAndFailsWithoutATtyFolder) {
    char folder[] = "/tmp/selko-sysfs-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    const std::filesystem::path root = folder;
    for (const std::string entry : kMachine) {
        const std::size_t arrow = entry.find(" -> "), blank = entry.find(' ');
        const std::filesystem::path path = root / entry.substr(1, std::min(arrow, blank) - 1);
        std::filesystem::create_directories(path.parent_path());
        if (arrow != std::string::npos)
            std::filesystem::create_symlink(entry.substr(arrow + 4), path);
        else
            std::ofstream(path) << entry.substr(blank + 1) << "\n";
    }
    std::vector<SLKPortInfo> ports;
    std::string failure;
    EXPECT_TRUE(selko::detail::listPortsUnder(root, &ports, &failure)) << failure;
    std::filesystem::remove_all(root);
    // One row per port: path | links | transport | driver | description | vendor product
    // interface | manufacturer | product | serial number | location.
    const std::vector<std::string> expected = {
        "/dev/rfcomm0||bluetooth|rfcomm|rfcomm /dev/rfcomm0|-1 -1 -1||||",
        "/dev/rfcomm1||bluetooth|rfcomm|rfcomm /dev/rfcomm1|-1 -1 -1||||",
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

    // A missing tty folder fails; this machine lists without one.
    EXPECT_FALSE(selko::detail::listPortsUnder("/nonexistent-root", &ports, &failure));
    EXPECT_EQ(failure, std::strerror(ENOENT));
    CommErrorRef error;
    selko_listPorts(&error);
    EXPECT_EQ(error, nullptr);
}

} // namespace
