// What a term session shows: bytes from the port (as text or hex, with or without timestamps),
// the keys typed when local echo is on, and the session's own notes and prompts, which always
// start on a line of their own.
#ifndef SELKO_TOOL_TERM_SCREEN_H
#define SELKO_TOOL_TERM_SCREEN_H

#include <SelkoCommunication.h>

#include <string>

namespace selko::tool {

class TermScreen {
public:
    TermScreen(bool hex, bool timestamps) : _hex(hex), _timestamps(timestamps) {}
    // Bytes from the port.
    void show(const SLKBytes& bytes);
    // Keys typed, shown as they are (a line end as a new line).
    void echo(const SLKBytes& keys);
    // "[selko] text" on a line of its own.
    void note(const std::string& text);
    // "[selko] question " without a line end: the answer is typed after it.
    void ask(const std::string& question);
    // The answer being typed: one more character, or one taken back.
    void typed(char c);
    void erased();

    bool toggleHex() { return _hex = !_hex; }
    bool toggleTimestamps() { return _timestamps = !_timestamps; }

private:
    void write(const std::string& text);
    void startLine();

    bool _hex, _timestamps, _atLineStart = true;
};

} // namespace selko::tool

#endif
