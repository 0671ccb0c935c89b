// selko list [--json] [--watch]: the serial ports of this machine, and their comings and goings.
#include "Arguments.h"
#include "Commands.h"
#include "PortConnection.h"

#include <SelkoCommunication.h>

#include <csignal>
#include <cstdio>
#include <mutex>

namespace selko::tool {

namespace {

const char* const kUsage =
    "usage: selko list [--json] [--watch]\n"
    "  One line per serial port: path, description, usb:// URL (or USB vendor:product), stable link.\n"
    "  --json   a JSON array with every field of each port\n"
    "  --watch  after the ports present (indented), each port added (+) or removed (-) as it\n"
    "           happens, until interrupted; with --json one object per line, with a \"change\"\n"
    "Exit code 1 when no port is found (without --watch).\n";

std::string json(const std::string& text) {
    std::string quoted = "\"";
    char code[8];
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            std::snprintf(code, sizeof code, "\\u%04x", c);
            quoted += code;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// Whether the URL of `port` (vendor, product, its serial number if any, its interface with
// `withInterface`) would also name another port of `ports`.
bool shared(const SLKPortInfo& port, const std::vector<SLKPortInfo>& ports, bool withInterface) {
    for (const SLKPortInfo& other : ports) {
        if (other.path != port.path && other.usbVendorId == port.usbVendorId &&
            other.usbProductId == port.usbProductId &&
            (port.usbSerialNumber.empty() || other.usbSerialNumber == port.usbSerialNumber) &&
            (!withInterface || other.usbInterface == port.usbInterface))
            return true;
    }
    return false;
}

// The usb:// URL that opens `port` among `ports`: vendor and product, the serial number when the
// device has one (it follows the device from socket to socket), the interface when another port
// of the same device or of a twin needs telling apart. "" when even that is not unique.
std::string usbURL(const SLKPortInfo& port, const std::vector<SLKPortInfo>& ports) {
    if (port.usbVendorId < 0 || port.usbProductId < 0)
        return "";
    char text[32];
    std::snprintf(text, sizeof text, "usb://%04x:%04x", port.usbVendorId, port.usbProductId);
    std::string url = text;
    if (!port.usbSerialNumber.empty()) {
        url += '/';
        for (const char c : port.usbSerialNumber) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                               c == '-' || c == '.' || c == '_' || c == '~';
            std::snprintf(text, sizeof text, "%%%02X", static_cast<unsigned char>(c));
            url += plain ? std::string(1, c) : std::string(text);
        }
    }
    if (!shared(port, ports, false))
        return url;
    if (port.usbInterface < 0 || shared(port, ports, true))
        return "";
    return url + "?interface=" + std::to_string(port.usbInterface);
}

std::string jsonFields(const SLKPortInfo& port, const std::vector<SLKPortInfo>& ports) {
    std::string links;
    for (const std::string& link : port.links)
        links += (links.empty() ? "" : ", ") + json(link);
    return "\"path\": " + json(port.path) + ", \"links\": [" + links + "], \"transport\": " + json(port.transport) +
           ", \"driver\": " + json(port.driver) + ", \"description\": " + json(port.description) +
           ", \"usbVendorId\": " + std::to_string(port.usbVendorId) +
           ", \"usbProductId\": " + std::to_string(port.usbProductId) +
           ", \"usbInterface\": " + std::to_string(port.usbInterface) +
           ", \"usbManufacturer\": " + json(port.usbManufacturer) + ", \"usbProduct\": " + json(port.usbProduct) +
           ", \"usbSerialNumber\": " + json(port.usbSerialNumber) + ", \"usbLocation\": " + json(port.usbLocation) +
           ", \"usbURL\": " + json(usbURL(port, ports));
}

std::string line(const SLKPortInfo& port, const std::vector<SLKPortInfo>& ports) {
    std::string text = port.path + "  " + port.description + "  [" + port.transport + "]";
    const std::string url = usbURL(port, ports);
    if (!url.empty()) {
        text += "  " + url;
    } else if (port.usbVendorId >= 0) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "  %04x:%04x", port.usbVendorId, port.usbProductId);
        text += ids;
    }
    if (!port.links.empty())
        text += "  " + port.links.front();
    return text;
}

void printJSON(const std::vector<SLKPortInfo>& ports) {
    std::printf("[");
    for (std::size_t i = 0; i < ports.size(); ++i)
        std::printf("%s\n  {%s}", i == 0 ? "" : ",", jsonFields(ports[i], ports).c_str());
    std::printf("%s]\n", ports.empty() ? "" : "\n");
}

std::vector<SLKPortInfo> listedPorts() {
    CommErrorRef error;
    std::vector<SLKPortInfo> ports = selko_listPorts(&error);
    if (error)
        throw CommandFailure(messageOf(error, "cannot list the serial ports"));
    return ports;
}

// One port in watch mode: `change` is "present", "added" or "removed". A removed port is no longer
// listed; its URL is told among the ports there are now, as if it were still one of them.
void printChange(const char* change, const SLKPortInfo& port, std::vector<SLKPortInfo> ports, bool asJSON) {
    ports.push_back(port);
    if (asJSON) {
        std::printf("{\"change\": \"%s\", %s}\n", change, jsonFields(port, ports).c_str());
    } else {
        const char marker = change[0] == 'a' ? '+' : change[0] == 'r' ? '-' : ' ';
        std::printf("%c %s\n", marker, line(port, ports).c_str());
    }
    std::fflush(stdout);
}

// Prints the ports present, then each change, until SIGINT or SIGTERM.
int watch(bool asJSON) {
    // The signals are taken by sigwait below, never delivered: blocked before the watcher's thread
    // starts, which inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // Held while the present ports are printed, so that a change heard meanwhile comes after them.
    std::mutex printing;
    std::unique_lock<std::mutex> lock(printing);
    CommErrorRef error;
    std::shared_ptr<SLKPortWatcher> watcher = selko_watchPorts(
        [&printing, asJSON](SLKPortChange change, const SLKPortInfo& port) {
            const std::lock_guard<std::mutex> guard(printing);
            CommErrorRef ignored;
            printChange(change == SLKPortChange::Added ? "added" : "removed", port, selko_listPorts(&ignored), asJSON);
        },
        &error);
    if (!watcher)
        throw CommandFailure(messageOf(error, "cannot watch the serial ports"));
    const std::vector<SLKPortInfo> present = listedPorts();
    for (const SLKPortInfo& port : present)
        printChange("present", port, present, asJSON);
    lock.unlock();
    int signal = 0;
    sigwait(&stopSignals, &signal);
    watcher.reset();
    return kSuccess;
}

} // namespace

int listCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    const Arguments arguments(words, {{"json", false}, {"watch", false}}, 0, 0, "list");
    if (arguments.has("watch"))
        return watch(arguments.has("json"));
    const std::vector<SLKPortInfo> ports = listedPorts();
    if (arguments.has("json")) {
        printJSON(ports);
    } else {
        for (const SLKPortInfo& port : ports)
            std::printf("%s\n", line(port, ports).c_str());
    }
    return ports.empty() ? kNothing : kSuccess;
}

} // namespace selko::tool
