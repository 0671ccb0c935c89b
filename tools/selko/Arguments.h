// Command-line parsing shared by the commands: options of the form --name or --name VALUE (or
// --name=VALUE), or their one-letter forms -n and -n VALUE, among positional words, checked
// against the options a command accepts.
#ifndef SELKO_TOOL_ARGUMENTS_H
#define SELKO_TOOL_ARGUMENTS_H

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace selko::tool {

// A wrong command line: main prints "selko: <what>" and ends with code 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A failure while running (the library's error message, a file that cannot be written): code 2.
struct CommandFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum ExitCode { kSuccess = 0, kNothing = 1, kFailure = 2 };

struct OptionSpec {
    std::string name; // without the leading "--"
    bool takesValue;
    char letter = 0;  // the short form -letter, 0 for none
};

class Arguments {
public:
    // Parses `words` (the words after the command's name); UsageError for an option not in
    // `specs`, a missing value, or a positional count outside [minPositional, maxPositional].
    Arguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs, std::size_t minPositional,
              std::size_t maxPositional, const std::string& command);

    bool has(const std::string& name) const { return _options.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback) const;
    // The value as a number; UsageError when it is not one (or not positive, for `positive`).
    double number(const std::string& name, double fallback, bool positive) const;
    const std::vector<std::string>& positional() const { return _positional; }

private:
    std::map<std::string, std::string> _options;
    std::vector<std::string> _positional;
};

} // namespace selko::tool

#endif
