// Command-line flags shared by the channel benchmarks: --quick, --summary FILE and numeric
// --name VALUE flags that each program declares.
#ifndef SELKO_BENCH_ARGS_H
#define SELKO_BENCH_ARGS_H

#include <initializer_list>
#include <map>
#include <string>

namespace selko::bench {

struct Args {
    bool quick = false;
    // Where to append the summary rows (tab-separated); empty: no summary file.
    std::string summaryPath;
    // --only TEXT: measure only the variants whose name contains TEXT (and the baseline), for
    // profiling one of them.
    std::string only;
    // Numeric flags given on the command line, by name without the dashes.
    std::map<std::string, double> numbers;

    // The flag's value when given, else `full` for a full run and `quick` for a --quick run.
    double number(const std::string& name, double full, double quick) const;
    // Whether the variant `name` is measured in this run.
    bool selected(const std::string& name) const { return only.empty() || name.find(only) != std::string::npos; }
};

// Parses argv; unknown flags print `usage` and end the program with status 2.
Args parseArgs(int argc, char** argv, std::initializer_list<const char*> numericFlags, const char* usage);

} // namespace selko::bench

#endif
