#include "Arguments.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace selko::tool {

namespace {

// "-b": a letter after one dash. Other words that start with a dash ("-5", "-") are positional.
bool isShortOption(const std::string& word) {
    return word.size() == 2 && word[0] == '-' && std::isalpha(static_cast<unsigned char>(word[1]));
}

} // namespace

Arguments::Arguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs,
                     std::size_t minPositional, std::size_t maxPositional, const std::string& command) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const bool isShort = isShortOption(word);
        if (!isShort && (word.size() < 3 || word.compare(0, 2, "--") != 0)) {
            _positional.push_back(word);
            continue;
        }
        const std::size_t equals = isShort ? std::string::npos : word.find('=');
        const std::string given =
            isShort ? word : word.substr(0, equals == std::string::npos ? std::string::npos : equals);
        const OptionSpec* known = nullptr;
        for (const OptionSpec& candidate : specs)
            known = (isShort ? candidate.letter == word[1] : "--" + candidate.name == given) ? &candidate : known;
        if (!known)
            throw UsageError("unknown option " + given + " for '" + command + "' (see selko " + command + " --help)");
        const std::string& name = known->name;
        if (!known->takesValue) {
            if (equals != std::string::npos)
                throw UsageError("option --" + name + " takes no value");
            _options[name] = "";
        } else if (equals != std::string::npos) {
            _options[name] = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            _options[name] = words[++i];
        } else {
            throw UsageError("option " + given + " needs a value");
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
