// Port listing, usb:// URLs and port watching on fake sysfs and /dev trees laid out as the kernel
// lays out the real one: the class entries are links into /sys/devices, the device and driver
// entries links again. Device events come from a socket the test writes kernel-style messages to.
#include "PortListing.h"
#include "PortWatch.h"
#include "TestSupport.h"
#include "UEventMessage.h"
#include "USBPortURL.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

using namespace selko::test;
using selko::detail::PortWatch;

// Every test leaves no thread running and no descriptor open: the listing, the channel and the
// watchers close what they open.
class PortDiscovery : public NothingLeftBehind {};

// A tree below a temporary folder, made of the entry lists given and removed with the object.
// Each entry: a path below the root and either a file's text or, after "->", a link's target.
struct FakeTree {
    template <class... Lists>
    explicit FakeTree(const Lists&... lists) {
        char folder[] = "/tmp/selko-sysfs-XXXXXX";
        root = ::mkdtemp(folder) ? folder : "";
        (add(lists), ...);
    }
    ~FakeTree() { std::filesystem::remove_all(root); }
    template <class Entries>
    void add(const Entries& entries) {
        for (const std::string& entry : Strings(std::begin(entries), std::end(entries))) {
            const std::size_t arrow = entry.find(" -> "), blank = entry.find(' ');
            const std::filesystem::path path = root + entry.substr(0, std::min(arrow, blank));
            std::filesystem::create_directories(path.parent_path());
            if (arrow != std::string::npos)
                std::filesystem::create_symlink(entry.substr(arrow + 4), path);
            else
                std::ofstream(path) << entry.substr(blank + 1) << "\n";
        }
    }
    // Unplugs the USB device `device` ("1-1") with its port `name`.
    void unplug(const std::string& name, const std::string& device) {
        for (const std::string& path : {"/sys/class/tty/" + name, "/sys/devices/U/" + device, "/dev/" + name})
            std::filesystem::remove_all(root + path);
    }
    std::string root;
};

// The entries of the USB serial port `name` on interface `interface` of the USB device `device`
// ("1-5") with the ids "VVVV PPPP", product "Adapter" and `serial` ("": none); its device node
// links to `node`.
Strings usbPort(const std::string& name, const std::string& device, int interface, const std::string& ids,
                const std::string& serial = "", const std::string& node = "/dev/null") {
    const std::string usb = "/sys/devices/U/" + device, folder = usb + "/" + device + ":1." + std::to_string(interface);
    return {"/sys/class/tty/" + name + " -> ../.." + folder.substr(4) + "/" + name + "/tty/" + name,
            folder + "/" + name + "/tty/" + name + "/device -> ../..",
            folder + "/" + name + "/driver -> ../../../../../bus/usb-serial/drivers/ftdi_sio",
            folder + "/bInterfaceNumber 0" + std::to_string(interface), usb + "/idVendor " + ids.substr(0, 4),
            usb + "/idProduct " + ids.substr(5), usb + "/product Adapter", usb + "/serial " + serial,
            "/dev/" + name + " -> " + node};
}

// One adapter with two ports, told apart by their interface only.
const Strings kTwoPorts[] = {usbPort("ttyUSB1", "1-5", 0, "0403 6010", "FT2"),
                             usbPort("ttyUSB2", "1-5", 1, "0403 6010", "FT2")};

// A machine around the two-port adapter (kTwoPorts).
const char* const kMachine[] = {
    // The adapter's manufacturer and the stable links of its second port. The hub above the
    // adapter has an identity of its own, which is not the ports'.
    "/sys/devices/U/1-5/manufacturer FTDI", "/sys/devices/U/idVendor -> ../../../nowhere",
    "/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_FT2-if01-port0 -> ../../ttyUSB2",
    "/dev/serial/by-path/pci-0000:00:14.0-usb-0:5:1.1-port0 -> ../../ttyUSB2",
    // A CDC ACM modem on interface 2 of USB device 1-2, without a serial number.
    "/sys/class/tty/ttyACM0 -> ../../devices/U/1-2/1-2:1.2/tty/ttyACM0",
    "/sys/devices/U/1-2/1-2:1.2/tty/ttyACM0/device -> ../../../1-2:1.2",
    "/sys/devices/U/1-2/1-2:1.2/driver -> ../../../../../../bus/usb/drivers/cdc_acm",
    "/sys/devices/U/1-2/1-2:1.2/bInterfaceNumber 02", "/sys/devices/U/1-2/idVendor 1d50",
    "/sys/devices/U/1-2/idProduct 60a1", "/sys/devices/U/1-2/manufacturer Example Labs",
    "/sys/devices/U/1-2/product Field Modem", "/dev/serial/by-id/usb-Example_Labs_Field_Modem-if02 -> /dev/ttyACM0",
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
    "/sys/devices/platform/serial8250/tty/ttyS1/device -> ../../../serial8250",
    "/sys/devices/platform/serial8250/tty/ttyS1/type 0", "/sys/devices/virtual/tty/tty1/dev 1",
    "/sys/class/tty/tty1 -> ../../devices/virtual/tty/tty1",
};

// Every port of a fake machine with its fields, and the ones each usb:// URL names among them.
TEST_F(PortDiscovery, ListsEverySerialPortOfAFakeMachineAndTheOnesEachUSBURLNames) {
    CommErrorRef error;
    const FakeTree tree(kMachine, kTwoPorts[0], kTwoPorts[1]);
    ::setenv("SELKO_DEVICE_ROOT", tree.root.c_str(), 1);
    const std::vector<SLKPortInfo> ports = selko_listPorts(&error);
    ASSERT_EQ(error, nullptr) << error->message();
    // One row per port: path | links | transport | driver | description | vendor product
    // interface | manufacturer | product | serial number | location.
    const Strings expected = {
        "/dev/rfcomm0||bluetooth|rfcomm|rfcomm /dev/rfcomm0|-1 -1 -1||||",
        "/dev/rfcomm1||bluetooth|rfcomm|rfcomm /dev/rfcomm1|-1 -1 -1||||",
        "/dev/ttyACM0|/dev/serial/by-id/usb-Example_Labs_Field_Modem-if02 |usb|cdc_acm|Field Modem|7504 24737 2|"
        "Example Labs|Field Modem||1-2",
        "/dev/ttyS0|/dev/serial/by-path/pnp-0000:00:04-port0 |native|serial|serial /dev/ttyS0|-1 -1 -1||||",
        "/dev/ttyUSB1||usb|ftdi_sio|Adapter|1027 24592 0|FTDI|Adapter|FT2|1-5",
        "/dev/ttyUSB2|/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_FT2-if01-port0 /dev/serial/by-path/pci-0000:00:14.0-"
        "usb-0:5:1.1-port0 |usb|ftdi_sio|Adapter|1027 24592 1|FTDI|Adapter|FT2|1-5",
    };
    Strings rows;
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

    // The paths each URL names, or "invalid".
    const std::pair<const char*, Strings> urls[] = {
        {"usb://1D50:60a1", {"/dev/ttyACM0"}}, {"usb://1d50:60a1?interface=2", {"/dev/ttyACM0"}},
        {"usb://1d50:60a1?interface=0", {}}, {"usb://0403:6011", {}}, {"usb://0403:6010/ft2", {}},
        {"usb://0403:6010", {"/dev/ttyUSB1", "/dev/ttyUSB2"}}, {"usb://0403:6010/FT2?interface=1", {"/dev/ttyUSB2"}},
        {"usb://0403:6010/F%542?interface=0", {"/dev/ttyUSB1"}}, {"usb://403:6010?interface=0", {"/dev/ttyUSB1"}},
        {"usb://0403", {"invalid"}}, {"usb://0403:", {"invalid"}}, {"usb://04030:6001", {"invalid"}},
        {"usb://0403:60g1", {"invalid"}}, {"usb://0403:6001/", {"invalid"}}, {"usb://0403:6001/A/B", {"invalid"}},
        {"usb://0403:6001/A%2", {"invalid"}}, {"usb://0403:6001/A B", {"invalid"}}, {"usb://0403:6001#1", {"invalid"}},
        {"usb://0403:6001?interface=256", {"invalid"}}, {"usb://0403:6001?interface=", {"invalid"}},
        {"usb://0403:6001?port=1", {"invalid"}}, {"usb:0403:6001", {"invalid"}}, {"USB://0403:6001", {"invalid"}},
    };
    for (const auto& [url, paths] : urls) {
        selko::detail::USBPortIdentity identity;
        const bool valid = selko::detail::parseUSBPortURL(url, &identity);
        EXPECT_EQ(valid ? selko::detail::portsMatching(ports, identity) : Strings{"invalid"}, paths) << url;
    }

    // A missing tty folder fails.
    ::setenv("SELKO_DEVICE_ROOT", "/nonexistent-root", 1);
    EXPECT_TRUE(selko_listPorts(&error).empty());
    expectError(error, 4, std::string("Cannot list the serial ports: ") + std::strerror(ENOENT),
                "Port Discovery/SLKPortDiscovery.cpp:");
    ::unsetenv("SELKO_DEVICE_ROOT");
}

TEST_F(PortDiscovery, AUSBChannelOpensTheOneMatchingNodeAndFollowsTheAdapterToANewNode) {
    SimulatedInstrument first, second;
    FakeTree tree(usbPort("ttyUSB0", "1-1", 0, "0403 6001", "A50285BI", first.path()), kTwoPorts[0], kTwoPorts[1]);
    ::setenv("SELKO_DEVICE_ROOT", tree.root.c_str(), 1);
    const std::pair<const char*, std::string> failures[] = {
        {"usb://0403:6001/NOPE", "No serial port found for USB 0403:6001 serial number NOPE"},
        {"usb://0403:6010", "Several serial ports found for USB 0403:6010: /dev/ttyUSB1, /dev/ttyUSB2"},
    };
    CommErrorRef error;
    for (const auto& [url, message] : failures) {
        const SLKDataChannelRef channel = createChannelForURL(url, &kShared, &error);
        ASSERT_NE(channel, nullptr) << url;
        EXPECT_FALSE(channel->openWithTimeout(1.0, &error));
        expectError(error, 4, message, "Port Discovery/SLPUSBChannel.cpp:");
        EXPECT_FALSE(channel->isOpened()) << url;
    }
    EXPECT_EQ(createChannelForURL("usb://0403", nullptr, &error), nullptr);
    expectError(error, 3, "Provided url usb://0403 not valid", "Data Channel/SLKChannelForURL.cpp:");

    const SLKDataChannelRef channel = createChannelForURL("usb://0403:6001/A50285BI", &kShared, &error);
    const std::shared_ptr<SLKSerialPort> port = SLKSerialPortOf(channel, &error);
    ASSERT_NE(port, nullptr);
    EXPECT_FALSE(port->discard(SLKQueue::Both, &error));   // nothing opened yet
    expectError(error, 2, kClosed, "Port Discovery/SLPUSBChannel.cpp:");
    const int readable = SLKReadableDescriptor(channel, &error);   // the same for every node
    ASSERT_GE(readable, 0);
    for (SimulatedInstrument* device : {&first, &second}) {
        ASSERT_TRUE(channel->openWithTimeout(1.0, &error)) << error->message();
        EXPECT_TRUE(port->discard(SLKQueue::Both, &error));
        EXPECT_TRUE(channel->write(SLKDataWithString("PING\n"), &error));
        EXPECT_EQ(device->receive(5, 5000ms), "PING\n");
        device->send("OK\n");
        pollfd waiting{readable, POLLIN, 0};
        EXPECT_EQ(::poll(&waiting, 1, 5000), 1);
        EXPECT_TRUE(channel->close(&error));
        if (device == &first) {   // unplugged, and back under another node
            tree.unplug("ttyUSB0", "1-1");
            tree.add(usbPort("ttyUSB3", "1-1", 0, "0403 6001", "A50285BI", second.path()));
        }
    }
    ::unsetenv("SELKO_DEVICE_ROOT");
}

TEST_F(PortDiscovery, DeviceEventMessagesAreReadAsTheKernelWritesThem) {
    // Each message (with '|' for NUL) and what is read: action, devpath, name, the fields; or "refused".
    const std::pair<std::string, std::string> rows[] = {
        {"add@/devices/U/1-1/ttyUSB0|ACTION=add|SUBSYSTEM=tty|DEVNAME=ttyUSB0|",
         "add /devices/U/1-1/ttyUSB0 ttyUSB0 ACTION=add DEVNAME=ttyUSB0 SUBSYSTEM=tty "},
        {"remove@/devices/x/tty/ttyS4|SEQNUM=7", "remove /devices/x/tty/ttyS4 ttyS4 SEQNUM=7 "},
        {"change@/ttyS1|||NOEQUALS|=x|K=a=b|", "change /ttyS1 ttyS1 K=a=b "}, {"bind@/d", "bind /d d "},
        {"libudev|add@/devices/x|SUBSYSTEM=tty", "refused"}, {"add@devices/x|SUBSYSTEM=tty", "refused"},
        {"@/devices/x", "refused"}, {"", "refused"},
    };
    for (auto [message, expected] : rows) {
        std::replace(message.begin(), message.end(), '|', '\0');
        selko::detail::DeviceEvent event;
        std::string read = "refused";
        if (selko::detail::parseUEventMessage(message.data(), message.size(), &event)) {
            read = event.action + " " + event.devpath + " " + event.name() + " ";
            for (const auto& [key, value] : event.values)
                read += key + "=" + value + " ";
        }
        EXPECT_EQ(read, expected) << message;
    }
}

// A kernel-style event about the tty `name`.
std::string event(const std::string& action, const std::string& name, const std::string& subsystem = "tty") {
    return action + "@/devices/U/" + name + std::string(1, '\0') + "SUBSYSTEM=" + subsystem + std::string(1, '\0');
}

// A socket pair device events come through (pair[1] is inherited by programs the test starts), and
// watchers fed from it.
struct Watching {
    Watching() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0); }
    ~Watching() {
        for (const int fd : pair)
            ::close(fd);
    }
    // A watcher on the tree at `root` that knows of no port yet.
    std::unique_ptr<PortWatch> start(const std::string& root, PortWatch::Listener listener) {
        auto source = std::make_unique<selko::detail::DeviceEventSource>(::fcntl(pair[1], F_DUPFD_CLOEXEC, 0), false);
        return PortWatch::start(root, std::move(source), {}, std::move(listener));
    }
    void send(const std::string& message) const { ::send(pair[0], message.data(), message.size(), MSG_DONTWAIT); }
    int pair[2] = {-1, -1};
};

// Every other watcher is destroyed by its own listener at its first call: it hears nothing more,
// and its thread ends once the listener returns (the thread holds the listener until then).
TEST_F(PortDiscovery, WatchersStartAndStopWhileEventsFlow) {
    FakeTree tree(usbPort("ttyUSB1", "1-2", 0, "0403 6015", "B1"));
    Watching watching;
    std::atomic<bool> done{false};
    std::thread events([&] {
        for (int i = 0; !done.load(); ++i) {
            watching.send(event(i % 2 ? "add" : "remove", "ttyUSB1"));
            std::this_thread::sleep_for(50us);
        }
    });
    for (int round = 0; round < 40; ++round) {
        std::mutex mutex;
        std::unique_ptr<PortWatch> watch;
        // Whoever takes the watcher destroys it, outside the lock (destruction waits for the listener).
        const auto take = [&] { return std::lock_guard<std::mutex>(mutex), std::move(watch); };
        std::atomic<int> calls{0};
        const auto token = std::make_shared<int>();
        std::unique_lock<std::mutex> starting(mutex);
        watch = watching.start(tree.root, [&, token, round](SLKPortChange, const SLKPortInfo&) {
            if (++calls == 1 && round % 2 == 1)
                take().reset();
        });
        starting.unlock();
        EXPECT_TRUE(eventually([&] { return calls.load() > 0; })) << round;
        take().reset();
        EXPECT_TRUE(eventually([&] { return token.use_count() == 1; })) << round;
        EXPECT_TRUE(round % 2 == 0 || calls.load() == 1) << round;
    }
    done = true;
    events.join();
}

// `selko list --watch`: the ports present, then each port added or removed once, told as it was
// known when it came; events lost are made up for by a new listing.
TEST_F(PortDiscovery, SelkoListWatchPrintsThePortsThenEachChangeOnce) {
    FakeTree tree(usbPort("ttyUSB0", "1-1", 0, "0403 6001", "A50285BI"), kTwoPorts[0], kTwoPorts[1]);
    const Watching watching;
    const std::string command = "echo $$; SELKO_DEVICE_ROOT=" + tree.root + " SELKO_UEVENT_FD=" +
                                std::to_string(watching.pair[1]) + " exec " + SELKO_TOOL_PATH + " list --watch";
    FILE* tool = ::popen(command.c_str(), "r");
    // A line from the tool without its end, read byte by byte (so that nothing waits in a buffer
    // while poll finds the descriptor quiet); what came within 10 seconds when no whole line did.
    const auto next = [fd = ::fileno(tool)] {
        std::string line;
        pollfd wait = {fd, POLLIN, 0};
        for (char c; ::poll(&wait, 1, 10000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n';)
            line += c;
        return line;
    };
    const pid_t pid = std::atoi(next().c_str());
    Strings lines = {next(), next(), next()};
    tree.add(usbPort("ttyUSB3", "1-2", 0, "0403 6015", "B1"));
    tree.add(usbPort("ttyUSB4", "1-3", 0, "0403 6015", "C2"));
    for (const std::string& message : {event("add", "ttyUSB0"), event("add", "ttyUSB3"), event("add", "ttyUSB3"),
                                       event("add", "ttyUSB4", "usb-serial"), event("add", "tty1"),
                                       "libudev" + std::string(1, '\0') + event("add", "ttyUSB4"),
                                       event("remove", "ttyUSB3"), event("remove", "ttyUSB3")})
        watching.send(message);
    // All taken means all but the last handled: the tree may change under the next ones only.
    int waiting = -1;
    EXPECT_TRUE(eventually([&] { return ::ioctl(watching.pair[1], FIONREAD, &waiting) == 0 && waiting == 0; }));
    // Events lost (a message cut short): ttyUSB0 went and ttyUSB4 came unheard, and are found by listing.
    tree.unplug("ttyUSB3", "1-2");
    tree.unplug("ttyUSB0", "1-1");
    watching.send(std::string(9000, 'x'));
    lines.insert(lines.end(), {next(), next(), next(), next()});
    tree.add(usbPort("ttyUSB5", "1-4", 0, "1a86 7523"));   // not half made under that listing
    watching.send(event("add", "ttyUSB5"));
    lines.push_back(next());
    ::kill(pid, SIGTERM);
    lines.push_back(next());   // nothing more before the end
    EXPECT_EQ(lines, (Strings{"  /dev/ttyUSB0  Adapter  [usb]  usb://0403:6001/A50285BI",
                              "  /dev/ttyUSB1  Adapter  [usb]  usb://0403:6010/FT2?interface=0",
                              "  /dev/ttyUSB2  Adapter  [usb]  usb://0403:6010/FT2?interface=1",
                              "+ /dev/ttyUSB3  Adapter  [usb]  usb://0403:6015/B1",
                              "- /dev/ttyUSB3  Adapter  [usb]  usb://0403:6015/B1",
                              "- /dev/ttyUSB0  Adapter  [usb]  usb://0403:6001/A50285BI",
                              "+ /dev/ttyUSB4  Adapter  [usb]  usb://0403:6015/C2",
                              "+ /dev/ttyUSB5  Adapter  [usb]  usb://1a86:7523", ""}));
    EXPECT_EQ(::pclose(tool), 0);   // a clean end on SIGTERM
}

} // namespace
