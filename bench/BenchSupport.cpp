#include "BenchSupport.h"

#include <cstdio>
#include <unistd.h>

namespace bench
{
namespace
{
class KeepingReporter : public benchmark::ConsoleReporter
{
public:
    explicit KeepingReporter (Results& r)
        : ConsoleReporter (isatty (fileno (stdout)) ? OO_ColorTabular : OO_Tabular), results (r)
    {
    }

    void ReportRuns (const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns (runs);
        for (const auto& run : runs)
        {
            // One run, or with --benchmark_repetitions the median of the repetitions.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && ! median))
                continue;
            const double toNs = 1.0e9 / benchmark::GetTimeUnitMultiplier (run.time_unit);
            results[run.run_name.str()] = { run.GetAdjustedRealTime() * toNs, run.GetAdjustedCPUTime() * toNs,
                                            (long long) run.iterations };
        }
    }

private:
    Results& results;
};
} // namespace

int run (int argc, char** argv, const std::function<void (const Results&)>& summarise)
{
    benchmark::Initialize (&argc, argv);
    if (benchmark::ReportUnrecognizedArguments (argc, argv))
        return 1;

    Results results;
    KeepingReporter reporter (results);
    benchmark::RunSpecifiedBenchmarks (&reporter);
    benchmark::Shutdown();

    std::printf ("\n== summary\n");
    summarise (results);
    std::fflush (stdout);
    return 0;
}

const Result* find (const Results& results, const std::string& name)
{
    const auto found = results.find (name);
    return found == results.end() ? nullptr : &found->second;
}
} // namespace bench
