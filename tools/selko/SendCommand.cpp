// selko send PORT TEXT [options], or selko send PORT --file FILE: one exchange for scripts. Writes
// TEXT and its line end (or the file's bytes), then prints what comes back until the --expect
// text arrives or the timeout passes.
#include "ByteText.h"
#include "Commands.h"
#include "PortConnection.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace selko::tool {

namespace {

const char* const kUsage =
    "usage: selko send PORT TEXT [-x] [--eol lf|crlf|cr|none] [-b N] [-m 8N1] [-f none|rts/cts|xon/xoff]\n"
    "                  [--expect TEXT] [--timeout S] [--remove-echo] [--dtr on|off] [--rts on|off]\n"
    "                  [--rs485 MODE]\n"
    "       selko send PORT --file FILE [options]\n"
    "  Writes TEXT followed by the line end (default lf; none with --hex), or the bytes of FILE as\n"
    "  they are, and prints the reply.\n"
    "  PORT: a device path (/dev/ttyUSB0, /dev/serial/by-id/...) or a URL: uart:///dev/ttyUSB0,\n"
    "  tcp://host:port, rfc2217://host:port\n"
    "  -x, --hex      TEXT is hex bytes (\"2A 49 44 4E\"); the reply is printed as hex too\n"
    "  --file FILE    send the bytes of FILE instead of TEXT\n"
    "  --expect TEXT  read until TEXT (hex with --hex) arrives (exit 0) or the timeout passes (exit 1)\n"
    "  --timeout S    seconds to wait for the reply (default 1)\n"
    "  --remove-echo  drop the device's echo of what was written\n"
    "  -b, -m, -f, --dtr, --rts, --rs485: the line options of selko term (see selko term --help)\n"
    "Without --expect the reply ends when the line is quiet for 0.1 s; exit 1 when nothing came.\n";

// How long the line must stay quiet, once bytes came, to end a reply without --expect.
constexpr double kQuietGap = 0.1;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

SLKBytes textBytes(const std::string& text, bool hex) {
    return hex ? bytesFromHex(text) : SLKBytes(text.begin(), text.end());
}

SLKBytes fileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw CommandFailure("cannot read " + path + ": " + std::strerror(errno));
    return SLKBytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

} // namespace

int sendCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    std::vector<OptionSpec> specs = lineOptionSpecs();
    specs.insert(specs.end(), {{"hex", false, 'x'},
                               {"expect", true},
                               {"timeout", true},
                               {"remove-echo", false},
                               {"file", true}});
    const Arguments arguments(words, specs, 1, 2, "send");
    const bool fromFile = arguments.has("file");
    if (arguments.positional().size() != (fromFile ? 1u : 2u))
        throw UsageError(fromFile ? "send TEXT or --file FILE, not both"
                                  : "missing arguments for 'send' (see selko send --help)");
    const bool hex = arguments.has("hex");
    const std::string eol = lineEnd(arguments.value("eol", hex ? "none" : "lf"));
    SLKBytes request = fromFile ? fileBytes(arguments.value("file", "")) : textBytes(arguments.positional()[1], hex);
    if (!fromFile)
        request.insert(request.end(), eol.begin(), eol.end());
    const double timeout = arguments.number("timeout", 1.0, false);
    const std::string expectText = arguments.value("expect", "");
    const SLKBytes expectBytes = hex ? bytesFromHex(expectText) : SLKBytes(expectText.begin(), expectText.end());
    const std::string expected(expectBytes.begin(), expectBytes.end());
    const SLKOptions options = portOptions(arguments);

    SLKDataChannelRef channel = openPort(portURL(arguments.positional()[0]), options);
    CommErrorRef error;
    if (arguments.has("remove-echo")) {
        // Echoes are matched message by message, cut at the line end (LF when none is sent).
        channel = createEchoRemovalChannel(channel, SLKDataWithString(eol.empty() ? "\n" : eol.c_str()), &error);
        if (!channel)
            throw CommandFailure(messageOf(error, "cannot remove echoes"));
    }
    if (!channel->write(std::make_shared<const SLKBytes>(request), &error))
        throw CommandFailure(messageOf(error, "write failed"));

    const auto start = std::chrono::steady_clock::now();
    SLKBytes reply;
    bool found = false;
    while (!found) {
        const double left = timeout - secondsSince(start);
        if (left <= 0)
            break;
        const bool quietEnds = expected.empty() && !reply.empty();
        const SLKData bytes = channel->readWithTimeout(quietEnds && left > kQuietGap ? kQuietGap : left, &error);
        if (!bytes)
            throw CommandFailure(messageOf(error, "read failed"));
        if (bytes->empty() && quietEnds)
            break;
        reply.insert(reply.end(), bytes->begin(), bytes->end());
        const std::string shown = hex ? hexDump(*bytes) : std::string(bytes->begin(), bytes->end());
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fflush(stdout);
        found = !expected.empty() && std::string(reply.begin(), reply.end()).find(expected) != std::string::npos;
    }
    if (hex && !reply.empty())
        std::printf("\n");
    channel->close();
    return (expected.empty() ? !reply.empty() : found) ? kSuccess : kNothing;
}

} // namespace selko::tool
