// selko term URL [options]: an interactive terminal. Keys go to the port, bytes from the port to
// the screen; Ctrl-] quits. One thread: it looks at the keyboard, then reads the port for up to
// a twentieth of a second, over and over.
#include "ByteText.h"
#include "Commands.h"
#include "PortConnection.h"
#include "RawTerminal.h"
#include "TrafficLog.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace selko::tool {

namespace {

const char* const kUsage =
    "usage: selko term URL [--eol lf|crlf|cr|none] [--baud N] [--mode 8N1] [--flow none|rts/cts|xon/xoff]\n"
    "                  [--hex] [--timestamps] [--log FILE]\n"
    "  Keys go to the port (Enter sends the line end, default lf), what the port sends is shown.\n"
    "  Ctrl-] quits (exit 0); a disconnected port ends the session with exit 2.\n"
    "  --hex         show received bytes as hex\n"
    "  --timestamps  start every received line with the time\n"
    "  --log FILE    write a timestamped log of both directions to FILE\n";

constexpr unsigned char kQuitKey = 0x1d; // Ctrl-]
constexpr double kReadSlice = 0.05;
// A read that ends empty long before its slice, several times in a row, means the line hung up:
// a hung-up port is always "readable" and reads nothing.
constexpr int kEarlyEmptyReadsAtHangUp = 3;

struct Ending {
    int code;
    std::string message;
};

class Screen {
public:
    Screen(bool hex, bool timestamps) : _hex(hex), _timestamps(timestamps) {}
    void show(const SLKBytes& bytes) {
        std::string out;
        if (_hex) {
            out = (_timestamps ? "[" + clockText(false) + "] " : "") + hexDump(bytes) + "\n";
        } else {
            for (const std::uint8_t byte : bytes) {
                if (_atLineStart && _timestamps)
                    out += "[" + clockText(false) + "] ";
                out += static_cast<char>(byte);
                _atLineStart = byte == '\n';
            }
        }
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t written = ::write(STDOUT_FILENO, out.data() + done, out.size() - done);
            if (written <= 0)
                return;
            done += static_cast<std::size_t>(written);
        }
    }

private:
    bool _hex, _timestamps, _atLineStart = true;
};

// Reads the keys waiting on stdin; false with an ending when the session is over.
bool forwardKeys(SLKDataChannel& channel, const std::string& eol, Ending* ending) {
    pollfd keyboard{STDIN_FILENO, POLLIN, 0};
    if (::poll(&keyboard, 1, 0) <= 0)
        return true;
    unsigned char keys[256];
    const ssize_t count = ::read(STDIN_FILENO, keys, sizeof keys);
    if (count <= 0) {
        *ending = {kSuccess, ""}; // end of input
        return false;
    }
    SLKBytes out;
    for (ssize_t i = 0; i < count; ++i) {
        if (keys[i] == kQuitKey) {
            *ending = {kSuccess, ""};
            break;
        }
        if (keys[i] == '\r' || keys[i] == '\n')
            out.insert(out.end(), eol.begin(), eol.end());
        else
            out.push_back(keys[i]);
    }
    CommErrorRef error;
    if (!out.empty() && !channel.write(std::make_shared<const SLKBytes>(out), &error)) {
        *ending = {kFailure, "disconnected: " + messageOf(error, "write failed")};
        return false;
    }
    return ending->code < 0;
}

Ending runSession(SLKDataChannel& channel, const std::string& eol, Screen& screen) {
    Ending ending{-1, ""};
    int earlyEmptyReads = 0;
    while (forwardKeys(channel, eol, &ending)) {
        if (const int number = stopSignal())
            return {kFailure, std::string("stopped by signal ") + strsignal(number)};
        const auto start = std::chrono::steady_clock::now();
        CommErrorRef error;
        const SLKData bytes = channel.readWithTimeout(kReadSlice, &error);
        if (!bytes)
            return {kFailure, "disconnected: " + messageOf(error, "the port closed")};
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        earlyEmptyReads = bytes->empty() && took < kReadSlice / 4 ? earlyEmptyReads + 1 : 0;
        if (earlyEmptyReads >= kEarlyEmptyReadsAtHangUp)
            return {kFailure, "disconnected: the line hung up"};
        if (!bytes->empty())
            screen.show(*bytes);
    }
    return ending;
}

} // namespace

int termCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    std::vector<OptionSpec> specs = lineOptionSpecs();
    specs.insert(specs.end(), {{"hex", false}, {"timestamps", false}, {"log", true}});
    const Arguments arguments(words, specs, 1, 1, "term");
    const std::string url = arguments.positional()[0];
    const std::string eol = lineEnd(arguments.value("eol", "lf"));
    const SLKOptions options = portOptions(arguments);
    const auto logTap = arguments.has("log") ? trafficLogTap(arguments.value("log", "")) : nullptr;

    SLKDataChannelRef channel = openPort(url, options);
    if (logTap) {
        CommErrorRef error;
        channel = createTapChannel(channel, logTap, &error);
        if (!channel)
            throw CommandFailure(messageOf(error, "cannot log the traffic"));
    }
    catchStopSignals();
    Screen screen(arguments.has("hex"), arguments.has("timestamps"));
    Ending ending;
    {
        const RawTerminal raw(STDIN_FILENO);
        std::fprintf(stderr, "Connected to %s. Ctrl-] quits.\r\n", url.c_str());
        ending = runSession(*channel, eol, screen);
    }
    channel->close();
    if (!ending.message.empty())
        std::fprintf(stderr, "\nselko: %s\n", ending.message.c_str());
    return ending.code;
}

} // namespace selko::tool
