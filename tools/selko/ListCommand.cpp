// selko list [--json]: the serial ports of this machine.
#include "Arguments.h"
#include "Commands.h"
#include "PortConnection.h"

#include <SelkoCommunication.h>

#include <cstdio>

namespace selko::tool {

namespace {

const char* const kUsage = "usage: selko list [--json]\n"
                           "  One line per serial port: path, description, USB vendor:product, stable link.\n"
                           "  --json  a JSON array with every field of each port\n"
                           "Exit code 1 when no port is found.\n";

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

void printJSON(const std::vector<SLKPortInfo>& ports) {
    std::printf("[");
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const SLKPortInfo& port = ports[i];
        std::string links;
        for (const std::string& link : port.links)
            links += (links.empty() ? "" : ", ") + json(link);
        std::printf("%s\n  {\"path\": %s, \"links\": [%s], \"transport\": %s, \"driver\": %s, \"description\": %s, "
                    "\"usbVendorId\": %d, \"usbProductId\": %d, \"usbInterface\": %d, \"usbManufacturer\": %s, "
                    "\"usbProduct\": %s, \"usbSerialNumber\": %s, \"usbLocation\": %s}",
                    i == 0 ? "" : ",", json(port.path).c_str(), links.c_str(), json(port.transport).c_str(),
                    json(port.driver).c_str(), json(port.description).c_str(), port.usbVendorId, port.usbProductId,
                    port.usbInterface, json(port.usbManufacturer).c_str(), json(port.usbProduct).c_str(),
                    json(port.usbSerialNumber).c_str(), json(port.usbLocation).c_str());
    }
    std::printf("%s]\n", ports.empty() ? "" : "\n");
}

void printLines(const std::vector<SLKPortInfo>& ports) {
    for (const SLKPortInfo& port : ports) {
        std::string line = port.path + "  " + port.description + "  [" + port.transport + "]";
        if (port.usbVendorId >= 0) {
            char ids[16];
            std::snprintf(ids, sizeof ids, "  %04x:%04x", port.usbVendorId, port.usbProductId);
            line += ids;
        }
        if (!port.links.empty())
            line += "  " + port.links.front();
        std::printf("%s\n", line.c_str());
    }
}

} // namespace

int listCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    const Arguments arguments(words, {{"json", false}}, 0, 0, "list");
    CommErrorRef error;
    const std::vector<SLKPortInfo> ports = selko_listPorts(&error);
    if (error)
        throw CommandFailure(messageOf(error, "cannot list the serial ports"));
    if (arguments.has("json"))
        printJSON(ports);
    else
        printLines(ports);
    return ports.empty() ? kNothing : kSuccess;
}

} // namespace selko::tool
