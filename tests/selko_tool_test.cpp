// The selko tool end to end: send against "selko sim" (replies, exit codes, hex, bad input), and
// term typed at through tmux as a person would, checking the keyboard terminal comes back as it was.
#include "TestSupport.h"

// termios2 (TCGETS2) rather than <termios.h>, which it clashes with.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

using selko::test::eventually;

namespace {

const std::string kSelko = SELKO_TOOL_PATH;

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The standard output of a shell command, and its exit code.
std::pair<std::string, int> output(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char chunk[512];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe))
        out.append(chunk, got);
    const int status = ::pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// "selko sim" in a child process: the shell prints its process number, then becomes selko, which
// prints its URL. Stopped (SIGTERM) and waited for when the object goes.
struct Simulator {
    explicit Simulator(const std::string& option = "") {
        pipe = ::popen(("echo $$; exec " + kSelko + " sim " + option).c_str(), "r");
        char line[256] = "";
        pid = std::fgets(line, sizeof line, pipe) ? std::atoi(line) : -1;
        url = std::fgets(line, sizeof line, pipe) ? std::string(line, std::strcspn(line, "\n")) : "";
    }
    ~Simulator() {
        // Killed after all when SIGTERM does not end it in time, so that the test fails rather
        // than hangs.
        ::kill(pid, SIGTERM);
        const bool stopped = eventually([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; });
        EXPECT_TRUE(stopped) << "selko sim did not stop";
        if (!stopped && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        ::pclose(pipe);
    }
    FILE* pipe;
    pid_t pid;
    std::string url;
};

TEST(SelkoTool, SendAgainstTheSimulatorAndItsExitCodes) {
    const Simulator sim, echoing("--echo");
    ASSERT_EQ(sim.url.rfind("uart:///dev/", 0), 0u) << sim.url;
    const std::string errors = "/tmp/selko-tool-test-" + std::to_string(::getpid()) + ".err",
                      path = sim.url.substr(std::strlen("uart://"));
    std::ofstream(errors + ".txt") << "*IDN?\nPING\n";
    const struct {
        std::string arguments;
        int code;
        std::string out, err;
    } rows[] = {
        {"send " + sim.url + " '*IDN?' --expect SIM-100", 0, "SIM-100", ""},
        {"send " + sim.url + " PING --eol crlf", 0, "OK\n", ""},
        {"send " + sim.url + " PING --eol none --timeout 0.3", 1, "", ""},
        {"send " + sim.url + " MEAS? --expect NEVER --timeout 0.3", 1, "", ""},
        {"send " + sim.url + " '2A 49 44 4E 3F 0A' --hex --expect 53494D", 0, "2C 53 49 4D 2D", ""},
        {"send " + echoing.url + " '*IDN?' --remove-echo --expect SIM-100", 0, "Selko Instruments", ""},
        {"send " + sim.url + " 4G --hex", 2, "", "selko: invalid hex string '4G': 'G' is not a hex digit\n"},
        {"send " + sim.url, 2, "", "selko: missing arguments for 'send' (see selko send --help)\n"},
        {"send uart:///dev/selko-missing PING", 2, "", "No such file or directory"},
        {"send " + sim.url + " PING --baud fast", 2, "", "--baud needs a positive whole number"},
        {"send " + sim.url + " PING --colour", 2, "", "unknown option --colour"},
        {"frobnicate", 2, "", "selko: unknown command 'frobnicate' (see selko --help)\n"},
        {"list --json=yes", 2, "", "option --json takes no value"},
        {"send --help", 0, "usage: selko send PORT TEXT", ""},
        // A device path, whose characters that mean something in a URL reach the system as they are.
        {"send " + path + " PING -b 9600 -m 7E1", 0, "OK\n", ""},
        {"send " + path + " --file " + errors + ".txt --expect OK", 0, "SIM-100", ""},
        {"send " + path + " -x '2A 49 44 4E 3F 0A' --expect 53494D", 0, "2C 53 49 4D 2D", ""},
        {"send '/dev/selko missing?#%41' PING", 2, "", "serial port /dev/selko missing?#%41 - No such file"},
        {"send " + path + " PING --dtr off", 2, "", "selko: Error setting DTR on " + path + " - "},
        {"send " + path + " PING --rts up", 2, "", "selko: --rts must be on or off, not 'up'\n"},
        {"send " + path + " PING --rs485 on", 2, "", "selko: Invalid RS-485 mode (Use off, rts-on-send, or rts-after-send)"},
        {"send " + path + " PING --file " + errors + ".txt", 2, "", "selko: send TEXT or --file FILE, not both\n"},
        {"send " + path + " --file /nonexistent", 2, "", "selko: cannot read /nonexistent: No such file"},
        {"send " + path + " PING -z", 2, "", "selko: unknown option -z for 'send'"},
    };
    for (const auto& row : rows) {
        const auto [out, code] = output("timeout 10 " + kSelko + " " + row.arguments + " 2>" + errors);
        const std::string err = fileText(errors);
        EXPECT_EQ(code, row.code) << row.arguments << "\n" << err;
        EXPECT_NE(out.find(row.out), std::string::npos) << row.arguments << ": " << out;
        EXPECT_NE(err.find(row.err), std::string::npos) << row.arguments << ": " << err;
        EXPECT_TRUE(err.empty() || err.find('\n') == err.size() - 1) << err;   // one line
        EXPECT_TRUE(row.arguments.find("--remove-echo") == std::string::npos || out.find("*IDN?") == std::string::npos);
    }
    std::remove(errors.c_str());
    std::remove((errors + ".txt").c_str());
}

// A tmux server of its own, killed with everything in it when the object goes. Each object names
// a new server: a server whose last session was killed shuts down on its own, and a client that
// reaches it meanwhile fails with "server exited unexpectedly". SHELL is set because tmux
// otherwise runs the session through the user's login shell, which for a service account such as
// nobody is nologin, and the session would end at once. No user config is read.
struct Tmux {
    static inline int made = 0;
    const std::string server = "selko-tool-test-" + std::to_string(::getpid()) + "-" + std::to_string(made++);
    int run(const std::string& command) const {
        return std::system(("SHELL=/bin/sh tmux -f /dev/null -L " + server + " " + command).c_str());
    }
    std::string screen() const { return output("tmux -L " + server + " capture-pane -p -t term").first; }
    bool shows(const std::string& text) const {
        return eventually([&] { return screen().find(text) != std::string::npos; });
    }
    // `selko term ARGUMENTS` in a session "term" of 40 lines, in a shell that keeps the keyboard
    // terminal's settings from before and after it in FILES.before and FILES.after and its exit
    // code in FILES.rc; $f in ARGUMENTS names FILES.
    int term(const std::string& files, const std::string& arguments) const {
        std::remove((files + ".rc").c_str());
        return run("new-session -d -s term -x 120 -y 40 \"f=" + files + "; stty -g > \\$f.before; " + kSelko +
                   " term " + arguments + "; rc=\\$?; stty -g > \\$f.after; echo \\$rc > \\$f.rc; sleep 30\"");
    }
    ~Tmux() { run("kill-server 2>/dev/null"); }
};

// The session ended with `code` and gave the keyboard terminal back as it was.
void expectEnded(const std::string& files, const Tmux& tmux, const std::string& code) {
    ASSERT_TRUE(eventually([&] { return !fileText(files + ".rc").empty(); })) << tmux.screen();
    EXPECT_EQ(fileText(files + ".rc"), code + "\n") << tmux.screen();
    EXPECT_EQ(fileText(files + ".before"), fileText(files + ".after"));
}

// The bytes a traffic log shows read: `... read  "escaped bytes"`, a block a line.
std::string readInLog(const std::string& path) {
    std::ifstream log(path);
    std::string bytes;
    for (std::string line; std::getline(log, line);) {
        const std::size_t start = line.find(" read  \"");
        for (std::size_t i = start + 8; start != std::string::npos && i + 1 < line.size(); ++i) {
            const char code = line[i] == '\\' ? line[++i] : 0;
            bytes += !code ? line[i] : code == 'n' ? '\n' : code == 'r' ? '\r' : code == 't' ? '\t' : code;
            if (code == 'x')
                bytes.back() = static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)), i += 2;
        }
    }
    return bytes;
}

// A device path, local echo (the instrument does not echo: what was typed shows only through it),
// and the three ways a session ends (a hang-up ends one that does not reconnect).
TEST(SelkoTool, TermIsTypedAtInTmuxEndsThreeWaysAndRestoresTheTerminal) {
    auto sim = std::make_unique<Simulator>();
    const std::string files = "/tmp/selko-term-" + std::to_string(::getpid()), path = sim->url.substr(7);
    for (const std::string ending : {"C-]", "C-t q", "hang-up"}) {
        const Tmux tmux;
        ASSERT_EQ(tmux.term(files, path + " -e -l \\$f.log" + (ending == "hang-up" ? " --no-reconnect" : "")), 0);
        ASSERT_TRUE(tmux.shows("Ctrl-] quits")) << tmux.screen();
        tmux.run("send-keys -t term '*IDN?' Enter");
        EXPECT_TRUE(tmux.shows("*IDN?\nSelko Instruments,SIM-100")) << tmux.screen();
        if (ending == "hang-up")
            sim.reset();   // the instrument goes away under the session
        else
            tmux.run("send-keys -t term " + ending);
        expectEnded(files, tmux, sim ? "0" : "2");
        EXPECT_EQ(tmux.screen().find("selko: disconnected") != std::string::npos, !sim) << tmux.screen();
        EXPECT_NE(fileText(files + ".log").find("write \"*IDN?\\n\""), std::string::npos);
        EXPECT_EQ(readInLog(files + ".log").rfind("Selko Instruments,SIM-100", 0), 0u);
    }
    for (const char* suffix : {".before", ".after", ".log", ".rc"})
        std::remove((files + suffix).c_str());
}

// The instrument stopped and started again under the same link (an adapter unplugged and plugged
// in again, as udev names it): the session tells, refuses to send meanwhile, and goes on.
TEST(SelkoTool, TermWaitsForTheInstrumentToComeBackUnderItsLink) {
    const std::string files = "/tmp/selko-relink-" + std::to_string(::getpid()), link = files + ".link";
    auto sim = std::make_unique<Simulator>("--link " + link);
    EXPECT_EQ(sim->url, "uart://" + link);
    const Tmux tmux;
    ASSERT_EQ(tmux.term(files, link), 0);
    ASSERT_TRUE(tmux.shows("Ctrl-] quits")) << tmux.screen();
    sim.reset();
    EXPECT_TRUE(tmux.shows("[selko] disconnected, waiting for the port")) << tmux.screen();
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    tmux.run("send-keys -t term PING Enter");
    EXPECT_TRUE(tmux.shows("[selko] not sent: the port is disconnected")) << tmux.screen();
    sim = std::make_unique<Simulator>("--link " + link);
    EXPECT_TRUE(tmux.shows("[selko] reconnected")) << tmux.screen();
    tmux.run("send-keys -t term '*IDN?' Enter");
    EXPECT_TRUE(tmux.shows("Selko Instruments,SIM-100")) << tmux.screen();
    tmux.run("send-keys -t term C-]");
    expectEnded(files, tmux, "0");
    for (const char* suffix : {".before", ".after", ".rc"})
        std::remove((files + suffix).c_str());
}

// The command key against an echoing instrument: the speed given at the start and set in the
// session, as the driver reports it; the command list; a request the port refuses, which the
// session survives; the map both ways (Enter sends CR, made CR LF on the way out, which the
// instrument answers; the echoed CR comes back as LF: an empty line); and a file of 1500 lines
// that comes back intact (the instrument answers each line among the echoed bytes).
TEST(SelkoTool, TermCommandKeyAgainstAnEchoingInstrument) {
    const Simulator sim("--echo");
    const std::string files = "/tmp/selko-keys-" + std::to_string(::getpid()), path = sim.url.substr(7);
    // Opened before the session takes the port for itself: the line's speed is read through it.
    const int line = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0) << path;
    const auto speed = [&] {
        termios2 settings{};
        return ::ioctl(line, TCGETS2, &settings) == 0 ? settings.c_ospeed : 0u;
    };
    std::string lines;
    for (int i = 0; i < 1500; ++i)
        lines += "line " + std::to_string(i) + " of the file\n";
    std::ofstream(files + ".txt") << lines;
    const Tmux tmux;
    ASSERT_EQ(tmux.term(files, path + " -b 9600 --eol cr --map OCRCRNL,ICRNL -l \\$f.log"), 0);
    ASSERT_TRUE(tmux.shows("Ctrl-] quits")) << tmux.screen();
    EXPECT_EQ(speed(), 9600u);
    const std::pair<std::string, std::string> steps[] = {
        {"C-t '?'", "p  pulse DTR and RTS low"},
        {"C-t d", "Error setting DTR on " + path + " - Inappropriate ioctl"},
        {"C-t L", "Error reading modem lines on " + path},
        {"C-t s nowhere Escape", "cancelled"},
        {"C-t B 9 BSpace 57600 Enter", "speed 57600"},
        {"PING Enter", "PING\n\nOK\n"},
        {"C-t s " + files + ".txt Enter", ""}};   // scrolls past at once: the log tells
    for (const auto& [keys, shown] : steps) {
        tmux.run("send-keys -t term " + keys);
        EXPECT_TRUE(tmux.shows(shown)) << keys << "\n" << tmux.screen();
        if (shown == "speed 57600") {
            EXPECT_EQ(speed(), 57600u);
        }
    }
    // Every answer too, before the session ends.
    const auto echoed = [&] {
        std::string back = readInLog(files + ".log");
        int answers = 0;
        for (std::size_t at; (at = back.find("ERR unknown command\n")) != std::string::npos; ++answers)
            back.erase(at, std::strlen("ERR unknown command\n"));
        return back.find(lines) != std::string::npos && answers == 1500;
    };
    EXPECT_TRUE(eventually(echoed, std::chrono::seconds(60)));
    tmux.run("send-keys -t term C-t q");
    expectEnded(files, tmux, "0");
    ::close(line);
    for (const char* suffix : {".before", ".after", ".log", ".rc", ".txt"})
        std::remove((files + suffix).c_str());
}

// An echoing instrument whose echoes nobody reads fills the terminal and cannot send on; it must
// stop all the same when asked to.
TEST(SelkoTool, SimStopsWhileItsEchoesPileUp) {
    const Simulator echoing("--echo");
    const int line = ::open(echoing.url.substr(std::strlen("uart://")).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    const std::string block(4096, 'x');
    // Until the instrument stops taking bytes: its echoes fill our input, then its own.
    EXPECT_TRUE(eventually([&] { return ::write(line, block.data(), block.size()) < 0 && errno == EAGAIN; }));
    ::close(line);
}   // ~Simulator fails the test when SIGTERM does not end it

} // namespace
