// selko term PORT [options]: an interactive terminal on a port (see TermSession).
#include "ByteText.h"
#include "Commands.h"
#include "PortConnection.h"
#include "RawTerminal.h"
#include "TermSession.h"
#include "TrafficLog.h"

#include <unistd.h>

#include <cstdio>

namespace selko::tool {

namespace {

const char* const kUsage =
    "usage: selko term PORT [-b N] [-m 8N1] [-f none|rts/cts|xon/xoff] [--eol lf|crlf|cr|none]\n"
    "                  [-x] [-t] [-e] [-l FILE] [--map FLAGS] [--dtr on|off] [--rts on|off] [--rs485 MODE]\n"
    "                  [--no-reconnect]\n"
    "  PORT: a device path (/dev/ttyUSB0, /dev/serial/by-id/...) or a URL (uart://, tcp://, rfc2217://).\n"
    "  Keys go to the port (Enter sends the line end, default lf), what the port sends is shown.\n"
    "  Ctrl-T starts a command (Ctrl-T ? lists them: break, DTR, RTS, modem lines, speed, send a\n"
    "  file, ...); Ctrl-T q or Ctrl-] quits (exit 0). When the device goes away (unplugged, a server\n"
    "  restarted), the session waits for it and goes on once PORT can be opened again.\n"
    "  -b, --baud N        line speed (default 115200)     -m, --mode 8N1   size, parity, stop bits\n"
    "  -f, --flow F        flow control                    -x, --hex        show received bytes as hex\n"
    "  -t, --timestamps    start every received line with the time\n"
    "  -e, --echo          show the keys typed (local echo)\n"
    "  -l, --log FILE      write a timestamped log of both directions to FILE\n"
    "  --map FLAGS         rewrite line ends, comma-separated: ICRNL (incoming CR to LF), INLCRNL\n"
    "                      (incoming LF to CR LF), IGNCR (drop incoming CR), OCRCRNL (outgoing CR to\n"
    "                      CR LF), ONLCRNL (outgoing LF to CR LF)\n"
    "  --dtr, --rts on|off the line's level right after the open (default: as the driver sets it)\n"
    "  --rs485 MODE        the driver's RS-485 mode: off, rts-on-send or rts-after-send\n"
    "  --no-reconnect      end the session (exit 2) when the port is disconnected\n";

} // namespace

int termCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    std::vector<OptionSpec> specs = lineOptionSpecs();
    specs.insert(specs.end(), {{"hex", false, 'x'},
                               {"timestamps", false, 't'},
                               {"log", true, 'l'},
                               {"echo", false, 'e'},
                               {"map", true},
                               {"no-reconnect", false}});
    const Arguments arguments(words, specs, 1, 1, "term");
    const std::string& port = arguments.positional()[0];
    TermSettings settings{lineEnd(arguments.value("eol", "lf")), LineMap(arguments.value("map", "")),
                          arguments.has("echo")};
    const SLKOptions options = portOptions(arguments);
    const TrafficTap logTap = arguments.has("log") ? trafficLogTap(arguments.value("log", "")) : nullptr;

    TermConnection connection(portURL(port), options, logTap, !arguments.has("no-reconnect"));
    catchStopSignals();
    TermScreen screen(arguments.has("hex"), arguments.has("timestamps"));
    SessionEnding ending{kSuccess, ""};
    {
        const RawTerminal raw(STDIN_FILENO);
        std::fprintf(stderr, "Connected to %s. Ctrl-T ? lists the commands, Ctrl-] quits.\r\n", port.c_str());
        ending = TermSession(connection, screen, std::move(settings)).run();
    }
    if (!ending.message.empty())
        std::fprintf(stderr, "\nselko: %s\n", ending.message.c_str());
    return ending.code;
}

} // namespace selko::tool
