// selko: find serial ports and try them by hand or from scripts.
//   selko list | sim | send | term   (selko COMMAND --help for each)
// Exit codes: 0 success, 1 no expected reply or nothing found, 2 error (message on stderr).
#include "Arguments.h"
#include "Commands.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

const char* const kUsage =
    "usage: selko COMMAND [ARGUMENTS]\n"
    "  list   the serial ports of this machine\n"
    "  sim    a simulated instrument on a pseudo-terminal\n"
    "  send   write one command to a port and print the reply\n"
    "  term   an interactive terminal on a port\n"
    "'selko COMMAND --help' describes each. Exit codes: 0 success, 1 no expected reply or nothing\n"
    "found, 2 error.\n";

} // namespace

int main(int argc, char** argv) {
    using namespace selko::tool;
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? kFailure : kSuccess;
    }
    const std::string command = argv[1];
    const Words words(argv + 2, argv + argc);
    try {
        if (command == "list")
            return listCommand(words);
        if (command == "sim")
            return simCommand(words);
        if (command == "send")
            return sendCommand(words);
        if (command == "term")
            return termCommand(words);
        throw UsageError("unknown command '" + command + "' (see selko --help)");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "selko: %s\n", failure.what());
        return kFailure;
    }
}

namespace selko::tool {

bool printedHelp(const Words& words, const char* usage) {
    for (const std::string& word : words) {
        if (word == "--help") {
            std::fputs(usage, stdout);
            return true;
        }
    }
    return false;
}

} // namespace selko::tool
