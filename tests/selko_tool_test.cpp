// The selko tool end to end: send against "selko sim" (replies, exit codes, hex, bad input), and
// term typed at through tmux as a person would, checking the keyboard terminal comes back as it was.
#include "TestSupport.h"

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
        ::kill(pid, SIGTERM);
        ::pclose(pipe);
    }
    FILE* pipe;
    pid_t pid;
    std::string url;
};

TEST(SelkoTool, SendAgainstTheSimulatorAndItsExitCodes) {
    const Simulator sim, echoing("--echo");
    ASSERT_EQ(sim.url.rfind("uart:///dev/", 0), 0u) << sim.url;
    const std::string errors = "/tmp/selko-tool-test-" + std::to_string(::getpid()) + ".err";
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
        {"send --help", 0, "usage: selko send URL TEXT", ""},
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
    ~Tmux() { run("kill-server 2>/dev/null"); }
};

TEST(SelkoTool, TermIsTypedAtInTmuxQuitsWithCtrlBracketAndRestoresTheTerminal) {
    auto sim = std::make_unique<Simulator>();
    const std::string files = "/tmp/selko-term-" + std::to_string(::getpid());
    for (const bool hangUp : {false, true}) {
        const Tmux tmux;
        std::remove((files + ".rc").c_str());
        const std::string script = "f=" + files + "; stty -g > \\$f.before; " + kSelko + " term " + sim->url +
                                   " --log \\$f.log; rc=\\$?; stty -g > \\$f.after; echo \\$rc > \\$f.rc";
        ASSERT_EQ(tmux.run("new-session -d -s term -x 120 -y 20 \"" + script + "; sleep 30\""), 0);
        ASSERT_TRUE(eventually([&] { return tmux.screen().find("Ctrl-] quits") != std::string::npos; })) << tmux.screen();
        tmux.run("send-keys -t term '*IDN?' Enter");
        EXPECT_TRUE(eventually([&] { return tmux.screen().find("SIM-100") != std::string::npos; })) << tmux.screen();
        if (hangUp)
            sim.reset();   // the instrument goes away under the session
        else
            tmux.run("send-keys -t term C-]");
        ASSERT_TRUE(eventually([&] { return !fileText(files + ".rc").empty(); })) << tmux.screen();
        EXPECT_EQ(fileText(files + ".rc"), hangUp ? "2\n" : "0\n") << tmux.screen();
        EXPECT_EQ(fileText(files + ".before"), fileText(files + ".after"));
        EXPECT_EQ(tmux.screen().find("selko: disconnected") != std::string::npos, hangUp) << tmux.screen();
        EXPECT_NE(fileText(files + ".log").find("write \"*IDN?\\n\""), std::string::npos);
        EXPECT_NE(fileText(files + ".log").find("read  \"Selko Instruments,SIM-100"), std::string::npos);
    }
    for (const char* suffix : {".before", ".after", ".log", ".rc"})
        std::remove((files + suffix).c_str());
}

} // namespace
