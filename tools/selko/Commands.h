// The commands of selko. Each takes the words after its name and returns the exit code; a
// wrong command line throws UsageError, a failure CommandFailure (both end with code 2).
#ifndef SELKO_TOOL_COMMANDS_H
#define SELKO_TOOL_COMMANDS_H

#include <string>
#include <vector>

namespace selko::tool {

using Words = std::vector<std::string>;

int listCommand(const Words& words);
int simCommand(const Words& words);
int sendCommand(const Words& words);
int termCommand(const Words& words);

// True (after printing `usage` to stdout) when `words` ask for help.
bool printedHelp(const Words& words, const char* usage);

} // namespace selko::tool

#endif
