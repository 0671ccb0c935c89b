#include "TermScreen.h"

#include "ByteText.h"
#include "TrafficLog.h"

#include <unistd.h>

namespace selko::tool {

void TermScreen::show(const SLKBytes& bytes) {
    std::string out;
    if (_hex) {
        if (!_atLineStart)
            out += "\n";
        out += (_timestamps ? "[" + clockText(false) + "] " : "") + hexDump(bytes) + "\n";
        _atLineStart = true;
    } else {
        for (const std::uint8_t byte : bytes) {
            if (_atLineStart && _timestamps)
                out += "[" + clockText(false) + "] ";
            out += static_cast<char>(byte);
            _atLineStart = byte == '\n';
        }
    }
    write(out);
}

void TermScreen::echo(const SLKBytes& keys) {
    std::string out;
    for (const std::uint8_t key : keys)
        out += key == '\r' ? '\n' : static_cast<char>(key);
    if (!out.empty()) {
        write(out);
        _atLineStart = out.back() == '\n';
    }
}

void TermScreen::note(const std::string& text) {
    startLine();
    write("[selko] " + text + "\n");
}

void TermScreen::ask(const std::string& question) {
    startLine();
    write("[selko] " + question + " ");
    _atLineStart = false;
}

void TermScreen::typed(char c) { write(std::string(1, c)); }

void TermScreen::erased() { write("\b \b"); }

void TermScreen::startLine() {
    if (!_atLineStart)
        write("\n");
    _atLineStart = true;
}

// Straight to the descriptor: the keyboard terminal turns LF into CR LF, and nothing waits in a
// buffer while the session waits for the port.
void TermScreen::write(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (written <= 0)
            return;
        done += static_cast<std::size_t>(written);
    }
}

} // namespace selko::tool
