// The keyboard terminal in raw mode for as long as the object lives, and the stop signals that
// end an interactive session cleanly (the terminal is restored on every way out).
#ifndef SELKO_TOOL_RAW_TERMINAL_H
#define SELKO_TOOL_RAW_TERMINAL_H

#include <termios.h>

namespace selko::tool {

class RawTerminal {
public:
    // Puts `fd` in raw mode (keys arrive one by one, unechoed, Ctrl-C as a byte) when it is a
    // terminal; output still turns LF into CR LF so lines start at the left edge.
    explicit RawTerminal(int fd);
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    bool isTerminal() const { return _saved; }

private:
    int _fd;
    bool _saved = false;
    termios _original{};
};

// Catches SIGINT, SIGTERM, SIGHUP and SIGQUIT for the rest of the process; stopSignal() then
// answers the last one caught (0: none), and the interactive loop ends on its next turn.
void catchStopSignals();
int stopSignal();

} // namespace selko::tool

#endif
