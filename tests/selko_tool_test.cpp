// The selko tool end to end: send against "selko sim" (replies, exit codes, hex, bad input), and
// term typed at through tmux as a person would, checking the keyboard terminal comes back as it was.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace {

const std::string kSelko = SELKO_TOOL_PATH;

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Polls `ready` every 50 ms for up to `seconds`.
bool waitFor(const std::function<bool()>& ready, double seconds) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        if (ready())
            return true;
    }
    return ready();
}

// "selko sim" in a child process, ended (SIGTERM, then SIGKILL) when the object goes.
class Simulator {
public:
    explicit Simulator(const char* option = nullptr) {
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        _pid = ::fork();
        if (_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(kSelko.c_str(), "selko", "sim", option, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char line[256];
        ssize_t got = 0;
        pollfd readable{out[0], POLLIN, 0};
        while (got < static_cast<ssize_t>(sizeof line) - 1 && ::poll(&readable, 1, 5000) == 1 &&
               ::read(out[0], line + got, 1) == 1 && line[got] != '\n')
            ++got;
        ::close(out[0]);
        url = std::string(line, static_cast<std::size_t>(got));
    }
    ~Simulator() {
        ::kill(_pid, SIGTERM);
        int status = 0;
        if (!waitFor([&] { return ::waitpid(_pid, &status, WNOHANG) == _pid; }, 5.0)) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, &status, 0);
        }
    }
    std::string url;

private:
    pid_t _pid;
};

// The standard output of a shell command, and its exit code in *code.
std::string output(const std::string& command, int* code = nullptr) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char chunk[512];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe))
        out.append(chunk, got);
    const int status = ::pclose(pipe);
    if (code)
        *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

struct ToolRun {
    int code;
    std::string out, err;
};

// selko with `arguments` (shell words), bounded to 10 s.
ToolRun selko(const std::string& arguments) {
    const std::string errors = "/tmp/selko-tool-test-" + std::to_string(::getpid()) + ".err";
    ToolRun run;
    run.out = output("timeout 10 " + kSelko + " " + arguments + " 2>" + errors, &run.code);
    run.err = fileText(errors);
    std::remove(errors.c_str());
    return run;
}

TEST(SelkoTool, SendAgainstTheSimulatorAndItsExitCodes) {
    Simulator sim, echoing("--echo");
    ASSERT_EQ(sim.url.rfind("uart:///dev/", 0), 0u) << sim.url;
    const struct {
        std::string arguments;
        int code;
        std::string out, err;
    } cases[] = {
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
        {"term", 2, "", "missing arguments for 'term'"},
        {"list --json=yes", 2, "", "option --json takes no value"},
        {"send --help", 0, "usage: selko send URL TEXT", ""},
    };
    for (const auto& c : cases) {
        const ToolRun run = selko(c.arguments);
        EXPECT_EQ(run.code, c.code) << c.arguments << "\n" << run.err;
        EXPECT_NE(run.out.find(c.out), std::string::npos) << c.arguments << ": " << run.out;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.arguments << ": " << run.err;
        EXPECT_TRUE(run.err.empty() || run.err.find('\n') == run.err.size() - 1) << run.err; // one line
    }
    EXPECT_EQ(selko("send " + echoing.url + " '*IDN?' --remove-echo --expect SIM-100").out.find("*IDN?"),
              std::string::npos);
}

// A tmux server of its own, killed with everything in it when the object goes. SHELL is set
// because tmux otherwise runs the session through the user's login shell, which for a service
// account such as nobody is nologin, and the session would end at once. No user config is read.
struct Tmux {
    const std::string server = "selko-tool-test-" + std::to_string(::getpid());
    int run(const std::string& command) const {
        return std::system(("SHELL=/bin/sh tmux -f /dev/null -L " + server + " " + command).c_str());
    }
    std::string screen() const { return output("tmux -L " + server + " capture-pane -p -t term"); }
    ~Tmux() { run("kill-server 2>/dev/null"); }
};

TEST(SelkoTool, TermIsTypedAtInTmuxQuitsWithCtrlBracketAndRestoresTheTerminal) {
    auto sim = std::make_unique<Simulator>();
    const std::string files = "/tmp/selko-term-" + std::to_string(::getpid());
    const Tmux tmux;
    for (const char* quit : {"C-]", "hang-up"}) {
        std::remove((files + ".rc").c_str());
        ASSERT_EQ(tmux.run("new-session -d -s term -x 120 -y 20 \"stty -g > " + files + ".before; " + kSelko +
                           " term " + sim->url + " --log " + files + ".log; echo \\$? > " + files +
                           ".rc.new; stty -g > " + files + ".after; mv " + files + ".rc.new " + files +
                           ".rc; sleep 30\""),
                  0);
        ASSERT_TRUE(waitFor([&] { return tmux.screen().find("Ctrl-] quits") != std::string::npos; }, 5.0))
            << tmux.screen();
        tmux.run("send-keys -t term '*IDN?' Enter");
        EXPECT_TRUE(waitFor([&] { return tmux.screen().find("SIM-100") != std::string::npos; }, 5.0)) << tmux.screen();
        if (std::string(quit) == "C-]")
            tmux.run("send-keys -t term C-]");
        else
            sim.reset(); // the instrument goes away under the session
        ASSERT_TRUE(waitFor([&] { return !fileText(files + ".rc").empty(); }, 5.0)) << tmux.screen();
        EXPECT_EQ(fileText(files + ".rc"), std::string(quit) == "C-]" ? "0\n" : "2\n") << tmux.screen();
        EXPECT_EQ(fileText(files + ".before"), fileText(files + ".after"));
        if (std::string(quit) != "C-]") {
            EXPECT_NE(tmux.screen().find("selko: disconnected"), std::string::npos) << tmux.screen();
        }
        EXPECT_NE(fileText(files + ".log").find("write \"*IDN?\\n\""), std::string::npos);
        EXPECT_NE(fileText(files + ".log").find("read  \"Selko Instruments,SIM-100"), std::string::npos);
        tmux.run("kill-session -t term");
    }
    for (const char* suffix : {".before", ".after", ".log", ".rc"})
        std::remove((files + suffix).c_str());
}

} // namespace
