#pragma once

// What the three benchmark programs share: a console reporter that also keeps every result, so
// that each program can end with summary lines comparing its figures with the baseline measured
// in the same run.

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>

namespace bench
{
struct Result
{
    double realNs = 0.0; // wall time per iteration, nanoseconds
    double cpuNs = 0.0;  // CPU time per iteration, nanoseconds
    long long iterations = 0;
};

using Results = std::map<std::string, Result>; // by benchmark name, e.g. "BM_renderVoice/137"

// Runs the benchmarks selected on the command line, then calls summarise with every result.
int run (int argc, char** argv, const std::function<void (const Results&)>& summarise);

// The result of a benchmark, or nullptr when it was not run (filtered out).
const Result* find (const Results& results, const std::string& name);
} // namespace bench
