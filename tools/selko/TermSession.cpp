#include "TermSession.h"

#include "Arguments.h"
#include "PortConnection.h"
#include "RawTerminal.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace selko::tool {

namespace {

constexpr unsigned char kQuitKey = 0x1d;      // Ctrl-]
constexpr unsigned char kCommandKey = 0x14;   // Ctrl-T
constexpr double kReadSlice = 0.05;
// A read that ends empty long before its slice, several times in a row, means the line hung up:
// a hung-up port is always "readable" and reads nothing.
constexpr int kEarlyEmptyReadsAtHangUp = 3;
constexpr auto kPulse = std::chrono::milliseconds(100);
// A file goes out in pieces, with what came back shown between them: an echoing device then
// never waits for room to send its echo while the session waits for room to send more.
constexpr std::size_t kFilePiece = 256;

const char* const kCommandList = "Ctrl-T followed by:\n"
                                 "  ?  this list               L  show the modem lines\n"
                                 "  b  send a break            B  set the speed\n"
                                 "  d  toggle DTR              e  toggle local echo\n"
                                 "  r  toggle RTS              h  toggle hex display\n"
                                 "  p  pulse DTR and RTS low   t  toggle timestamps\n"
                                 "     for 0.1 s (a reset)     s  send a file\n"
                                 "  q  quit (as Ctrl-])        Ctrl-T  send Ctrl-T itself";

std::string onOff(bool on) { return on ? "on" : "off"; }

std::string keyName(unsigned char key) {
    if (key < 0x20)
        return std::string("Ctrl-") + static_cast<char>(key + '@');
    char name[8];
    std::snprintf(name, sizeof name, key < 0x7f ? "%c" : "\\x%02X", key);
    return name;
}

} // namespace

TermSession::TermSession(TermConnection& connection, TermScreen& screen, TermSettings settings)
    : _connection(connection), _screen(screen), _settings(std::move(settings)), _dtr(connection.dtrAtOpen()),
      _rts(connection.rtsAtOpen()) {}

SessionEnding TermSession::run() {
    while (!_ending) {
        takeKeys();
        if (const int number = stopSignal())
            return {kFailure, std::string("stopped by signal ") + strsignal(number)};
        if (!_ending)
            readPort(kReadSlice);
        showLinkEvents();
    }
    return *_ending;
}

// A reconnecting port tells when its device went away and when it is back.
void TermSession::showLinkEvents() {
    for (const SLKLinkEvent event : _connection.takeLinkEvents()) {
        if (event == SLKLinkEvent::Lost) {
            _screen.note("disconnected, waiting for the port");
            continue;
        }
        _screen.note("reconnected");
        // A port opened again has the levels of an open again.
        _dtr = _connection.dtrAtOpen();
        _rts = _connection.rtsAtOpen();
    }
}

// The keys waiting on stdin; typed text goes out in one write per batch of keys, before any
// command among them runs.
void TermSession::takeKeys() {
    pollfd keyboard{STDIN_FILENO, POLLIN, 0};
    if (::poll(&keyboard, 1, 0) <= 0)
        return;
    unsigned char keys[256];
    const ssize_t count = ::read(STDIN_FILENO, keys, sizeof keys);
    if (count <= 0) {
        _ending = SessionEnding{kSuccess, ""};   // end of input
        return;
    }
    SLKBytes typed;
    for (ssize_t i = 0; i < count && !_ending; ++i)
        handleKey(keys[i], typed);
    if (!_ending)
        send(typed);
}

void TermSession::handleKey(unsigned char key, SLKBytes& typed) {
    if (key == kQuitKey) {   // what was typed before it still goes out (unless the device is away)
        if (send(typed) || !_ending)
            _ending = SessionEnding{kSuccess, ""};
        typed.clear();
        return;
    }
    if (_keys == Keys::Typing && key != kCommandKey) {
        const SLKBytes keys = key == '\r' || key == '\n' ? SLKBytes(_settings.eol.begin(), _settings.eol.end())
                                                         : SLKBytes{key};
        if (_settings.localEcho)
            _screen.echo({key});
        const SLKBytes mapped = _settings.map.outgoing(keys);
        typed.insert(typed.end(), mapped.begin(), mapped.end());
        return;
    }
    if (!send(typed))
        return;
    typed.clear();
    if (_keys == Keys::Typing)
        _keys = Keys::Command;
    else if (_keys == Keys::Command)
        command(key);
    else
        answerKey(key);
}

void TermSession::command(unsigned char key) {
    _keys = Keys::Typing;
    switch (key) {
    case '?': listCommands(); break;
    case 'b': sendBreak(); break;
    case 'd': toggleLine(true); break;
    case 'r': toggleLine(false); break;
    case 'p': pulseLines(); break;
    case 'L': showModemLines(); break;
    case 'B': ask('B', "speed in bits/s (Enter applies, Esc cancels):"); break;
    case 'e': _screen.note("local echo " + onOff(_settings.localEcho = !_settings.localEcho)); break;
    case 'h': _screen.note("hex display " + onOff(_screen.toggleHex())); break;
    case 't': _screen.note("timestamps " + onOff(_screen.toggleTimestamps())); break;
    case 's': ask('s', "file to send (Enter sends, Esc cancels):"); break;
    case 'q': _ending = SessionEnding{kSuccess, ""}; break;
    case kCommandKey: send({kCommandKey}); break;
    default: _screen.note("Ctrl-T " + keyName(key) + " is no command (Ctrl-T ? lists them)");
    }
}

void TermSession::ask(char command, const std::string& question) {
    _keys = Keys::Answer;
    _asking = command;
    _answer.clear();
    _screen.ask(question);
}

void TermSession::answerKey(unsigned char key) {
    if (key == '\r' || key == '\n') {
        _keys = Keys::Typing;
        if (_asking == 'B')
            changeSpeed(_answer);
        else
            sendFile(_answer);
    } else if (key == 0x1b || key == 0x03) {   // Esc, Ctrl-C
        _keys = Keys::Typing;
        _screen.note("cancelled");
    } else if ((key == 0x7f || key == '\b') && !_answer.empty()) {
        _answer.pop_back();
        _screen.erased();
    } else if (key >= 0x20 && key < 0x7f) {
        _answer += static_cast<char>(key);
        _screen.typed(static_cast<char>(key));
    }
}

// False when the bytes did not go out: the session then ends, unless the port is only waiting
// for its device to come back.
bool TermSession::send(const SLKBytes& bytes) {
    CommErrorRef error;
    if (bytes.empty() || _connection.channel().write(std::make_shared<const SLKBytes>(bytes), &error))
        return true;
    if (_connection.reconnects() && error && error->code() == SLKErrorPortSystem &&
        error->message() == "Device disconnected") {
        _screen.note("not sent: the port is disconnected");
        return false;
    }
    _ending = SessionEnding{kFailure, "disconnected: " + messageOf(error, "write failed")};
    return false;
}

// Shows what the port sent within `timeout`. Only reads of a whole slice watch for a hang-up,
// and only when the port does not reconnect (which notices hang-ups itself, and waits them out).
void TermSession::readPort(double timeout) {
    const auto start = std::chrono::steady_clock::now();
    CommErrorRef error;
    const SLKData bytes = _connection.channel().readWithTimeout(timeout, &error);
    if (!bytes) {
        _ending = SessionEnding{kFailure, "disconnected: " + messageOf(error, "the port closed")};
        return;
    }
    if (timeout == kReadSlice && !_connection.reconnects()) {
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        _earlyEmptyReads = bytes->empty() && took < kReadSlice / 4 ? _earlyEmptyReads + 1 : 0;
        if (_earlyEmptyReads >= kEarlyEmptyReadsAtHangUp)
            _ending = SessionEnding{kFailure, "disconnected: the line hung up"};
    }
    if (!bytes->empty())
        _screen.show(_settings.map.incoming(*bytes));
}

// The port's line control, or null after the session showed why there is none.
std::shared_ptr<SLKSerialPort> TermSession::serialPort() {
    CommErrorRef error;
    std::shared_ptr<SLKSerialPort> port = _connection.serialPort(&error);
    if (!port)
        _screen.note(messageOf(error, "this port has no line control"));
    return port;
}

void TermSession::listCommands() {
    std::string list = kCommandList;
    for (std::size_t at = 0; (at = list.find('\n', at)) != std::string::npos; at += 9)
        list.replace(at, 1, "\n[selko] ");
    _screen.note(list);
}

void TermSession::sendBreak() {
    CommErrorRef error;
    if (const auto port = serialPort())
        _screen.note(port->sendBreak(0, &error) ? "break sent" : messageOf(error, "the break failed"));
}

void TermSession::toggleLine(bool dtr) {
    const auto port = serialPort();
    if (!port)
        return;
    bool& level = dtr ? _dtr : _rts;
    CommErrorRef error;
    if (!(dtr ? port->setDTR(!level, &error) : port->setRTS(!level, &error))) {
        _screen.note(messageOf(error, "the port refused"));
        return;
    }
    level = !level;
    _screen.note((dtr ? "DTR " : "RTS ") + onOff(level));
}

// Both lines low for a moment, then back to their levels: what resets many boards.
void TermSession::pulseLines() {
    const auto port = serialPort();
    if (!port)
        return;
    CommErrorRef lowering, restoring;
    const bool lowered = port->setDTR(false, &lowering) && port->setRTS(false, &lowering);
    if (lowered)
        std::this_thread::sleep_for(kPulse);
    const bool restored = port->setDTR(_dtr, &restoring) && port->setRTS(_rts, &restoring);
    _screen.note(!lowered    ? messageOf(lowering, "the port refused")
                 : !restored ? messageOf(restoring, "the port refused")
                             : "DTR and RTS pulsed low for 0.1 s");
}

void TermSession::showModemLines() {
    const auto port = serialPort();
    SLKModemLines lines;
    CommErrorRef error;
    if (!port)
        return;
    if (!port->modemLines(&lines, &error)) {
        _screen.note(messageOf(error, "the port refused"));
        return;
    }
    _screen.note("CTS " + onOff(lines.cts) + ", DSR " + onOff(lines.dsr) + ", DCD " + onOff(lines.dcd) + ", RI " +
                 onOff(lines.ri) + "; DTR " + onOff(_dtr) + ", RTS " + onOff(_rts) + " (as last set)");
}

void TermSession::changeSpeed(const std::string& answer) {
    char* end = nullptr;
    const long long baud = std::strtoll(answer.c_str(), &end, 10);
    if (answer.empty() || *end != '\0' || baud <= 0) {
        _screen.note("'" + answer + "' is no speed (a positive whole number of bits/s)");
        return;
    }
    std::string failure;
    switch (_connection.changeSpeed(baud, failure)) {
    case TermConnection::SpeedChange::Changed: _screen.note("speed " + answer); break;
    case TermConnection::SpeedChange::Refused: _screen.note(failure + " (the speed stays as it was)"); break;
    case TermConnection::SpeedChange::Lost: _ending = SessionEnding{kFailure, "disconnected: " + failure}; return;
    }
    // A reopened port has the levels of an open again.
    _dtr = _connection.dtrAtOpen();
    _rts = _connection.rtsAtOpen();
    _earlyEmptyReads = 0;
}

// The file's bytes as they are (no line-end rewriting), with the progress every tenth.
void TermSession::sendFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        _screen.note("cannot read " + path + ": " + std::strerror(errno));
        return;
    }
    const SLKBytes bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::string total = std::to_string(bytes.size());
    _screen.note("sending " + path + " (" + total + " bytes)");
    std::size_t tenthsShown = 0;
    for (std::size_t done = 0; done < bytes.size() && !_ending && !stopSignal();) {
        const std::size_t piece = std::min(kFilePiece, bytes.size() - done);
        if (!send(SLKBytes(bytes.begin() + done, bytes.begin() + done + piece)))
            return;
        done += piece;
        if (done * 10 / bytes.size() > tenthsShown) {
            tenthsShown = done * 10 / bytes.size();
            _screen.note("sent " + std::to_string(done) + " of " + total + " bytes");
        }
        readPort(SELKO_COMMUNICATION_TIME_NOW);
    }
}

} // namespace selko::tool
