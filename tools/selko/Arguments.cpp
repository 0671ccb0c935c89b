#include "Arguments.h"

#include <cmath>
#include <cstdlib>

namespace selko::tool {

Arguments::Arguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs,
                     std::size_t minPositional, std::size_t maxPositional, const std::string& command) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            _positional.push_back(word);
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const OptionSpec* known = nullptr;
        for (const OptionSpec& candidate : specs)
            known = candidate.name == name ? &candidate : known;
        if (!known)
            throw UsageError("unknown option --" + name + " for '" + command + "' (see selko " + command + " --help)");
        if (!known->takesValue) {
            if (equals != std::string::npos)
                throw UsageError("option --" + name + " takes no value");
            _options[name] = "";
        } else if (equals != std::string::npos) {
            _options[name] = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            _options[name] = words[++i];
        } else {
            throw UsageError("option --" + name + " needs a value");
        }
    }
    if (_positional.size() < minPositional || _positional.size() > maxPositional)
        throw UsageError(_positional.size() < minPositional
                             ? "missing arguments for '" + command + "' (see selko " + command + " --help)"
                             : "too many arguments for '" + command + "': " + _positional.back());
}

std::string Arguments::value(const std::string& name, const std::string& fallback) const {
    const auto found = _options.find(name);
    return found == _options.end() ? fallback : found->second;
}

double Arguments::number(const std::string& name, double fallback, bool positive) const {
    if (!has(name))
        return fallback;
    const std::string text = value(name, "");
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(parsed) || parsed < 0 || (positive && parsed == 0))
        throw UsageError("--" + name + " needs a " + (positive ? "positive " : "") + "number, not '" + text + "'");
    return parsed;
}

} // namespace selko::tool
