// An interactive session on an open port: keys go to the port, bytes from the port to the
// screen. Ctrl-T starts a command (Ctrl-T ? lists them), Ctrl-] quits. One thread: it looks at
// the keyboard, then reads the port for up to a twentieth of a second, over and over.
#ifndef SELKO_TOOL_TERM_SESSION_H
#define SELKO_TOOL_TERM_SESSION_H

#include "LineMap.h"
#include "TermConnection.h"
#include "TermScreen.h"

#include <optional>
#include <string>

namespace selko::tool {

struct SessionEnding {
    int code;
    std::string message;   // "" for a session the user ended
};

struct TermSettings {
    std::string eol;   // what Enter sends
    LineMap map;
    bool localEcho;
};

class TermSession {
public:
    TermSession(TermConnection& connection, TermScreen& screen, TermSettings settings);
    SessionEnding run();

private:
    enum class Keys { Typing, Command, Answer };

    void takeKeys();
    void handleKey(unsigned char key, SLKBytes& typed);
    void command(unsigned char key);
    void answerKey(unsigned char key);
    void ask(char command, const std::string& question);
    bool send(const SLKBytes& bytes);
    void readPort(double timeout);
    void showLinkEvents();

    std::shared_ptr<SLKSerialPort> serialPort();
    void listCommands();
    void sendBreak();
    void toggleLine(bool dtr);
    void pulseLines();
    void showModemLines();
    void changeSpeed(const std::string& answer);
    void sendFile(const std::string& path);

    TermConnection& _connection;
    TermScreen& _screen;
    TermSettings _settings;
    bool _dtr, _rts;   // the levels last set (the session cannot read them back)
    Keys _keys = Keys::Typing;
    char _asking = 0;   // the command whose answer is being typed
    std::string _answer;
    int _earlyEmptyReads = 0;
    std::optional<SessionEnding> _ending;
};

} // namespace selko::tool

#endif
