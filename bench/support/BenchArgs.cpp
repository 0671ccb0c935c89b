#include "BenchArgs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace selko::bench {

double Args::number(const std::string& name, double full, double quickValue) const {
    const auto found = numbers.find(name);
    if (found != numbers.end())
        return found->second;
    return quick ? quickValue : full;
}

Args parseArgs(int argc, char** argv, std::initializer_list<const char*> numericFlags, const char* usage) {
    Args args;
    const auto refuse = [&] {
        std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
        std::exit(2);
    };
    for (int i = 1; i < argc; ++i) {
        const char* flag = argv[i];
        if (std::strcmp(flag, "--quick") == 0) {
            args.quick = true;
            continue;
        }
        if (std::strcmp(flag, "--summary") == 0 && i + 1 < argc) {
            args.summaryPath = argv[++i];
            continue;
        }
        if (std::strcmp(flag, "--only") == 0 && i + 1 < argc) {
            args.only = argv[++i];
            continue;
        }
        bool known = false;
        for (const char* name : numericFlags) {
            if (std::strncmp(flag, "--", 2) == 0 && std::strcmp(flag + 2, name) == 0 && i + 1 < argc) {
                char* end = nullptr;
                const double value = std::strtod(argv[i + 1], &end);
                if (end == argv[i + 1] || *end != '\0' || !(value > 0))
                    refuse();
                args.numbers[name] = value;
                ++i;
                known = true;
                break;
            }
        }
        if (!known)
            refuse();
    }
    return args;
}

} // namespace selko::bench
