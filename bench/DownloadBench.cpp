// performRequest of a 32 MiB audio reply from the stand-in web service over loopback HTTPS, against the curl
// command line fetching the same reply from the same server in the same run. Run inside the harness
// (tools/harness/run.sh), which the run_benchmarks target does.
//
// Figure: wall time of performRequest / curl's own time for its transfer (its "time_total": name lookup,
// connection, TLS, request and the whole body; the start of its process is not counted); target at most 1.5.

#include "BenchSupport.h"

#include "library/LibraryPanel.h"
#include "library/SiteAddress.h"

#include <cstdio>
#include <cstdlib>

namespace
{
constexpr int bodySize = 33554432;

const juce::String downloadUrl = juce::String (restBaseUrl) + "download/3";

// Every download of the route answers with bodySize bytes, for the rest of the run.
bool armLargeReply()
{
    const auto body = R"({"match":"download%2F3","count":-1,"fault":{"type":"reply","status":200,"body_size":)" +
                      juce::String (bodySize) + R"(,"fill":"bytes"}})";
    int status = 0;
    const auto stream = juce::URL (juce::String (siteRootUrl) + "__control/fault")
                            .withPOSTData (body)
                            .createInputStream (juce::URL::InputStreamOptions (juce::URL::ParameterHandling::inAddress)
                                                    .withExtraHeaders ("Content-Type: application/json\r\n")
                                                    .withConnectionTimeoutMs (10000)
                                                    .withNumRedirectsToFollow (0)
                                                    .withHttpRequestCmd ("POST")
                                                    .withStatusCode (&status));
    return stream != nullptr && status == 200;
}

void BM_performRequest (benchmark::State& state)
{
    for (auto _ : state)
    {
        const auto reply = performRequest (downloadUrl, "GET", {}, {}, true);

        if (reply.error.isNotEmpty() || reply.body.getSize() != (size_t) bodySize)
        {
            state.SkipWithError (("download failed: " + reply.error).toRawUTF8());
            return;
        }
    }
}

void BM_curlTransfer (benchmark::State& state)
{
    const juce::StringArray command{ "curl",
                                     "-sS",
                                     "-o",
                                     "/dev/null",
                                     "-w",
                                     "%{size_download} %{time_total}",
                                     juce::URL (downloadUrl).toString (true) };

    for (auto _ : state)
    {
        juce::ChildProcess curl;

        if (! curl.start (command, juce::ChildProcess::wantStdOut))
        {
            state.SkipWithError ("curl could not be started");
            return;
        }

        const auto written = juce::StringArray::fromTokens (curl.readAllProcessOutput().trim(), " ", "");
        curl.waitForProcessToFinish (60000);

        if (written.size() != 2 || written[0] != juce::String (bodySize))
        {
            state.SkipWithError (("curl wrote " + written.joinIntoString (" ")).toRawUTF8());
            return;
        }

        // In seconds, with a point whatever the locale.
        state.SetIterationTime (written[1].getDoubleValue());
    }
}

BENCHMARK (BM_performRequest)->Unit (benchmark::kMillisecond)->UseRealTime()->MinTime (3.0);
BENCHMARK (BM_curlTransfer)->Unit (benchmark::kMillisecond)->UseManualTime()->MinTime (3.0);
} // namespace

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juceInit;

    if (std::getenv ("TOLVANE_HARNESS") == nullptr || ! armLargeReply())
    {
        std::fprintf (stderr, "bench_download: run it through tools/harness/run.sh (the stand-in must answer)\n");
        return 1;
    }

    return bench::run (argc, argv,
                       [] (const bench::Results& results)
                       {
                           const auto* ours = bench::find (results, "BM_performRequest/min_time:3.000/real_time");
                           const auto* base = bench::find (results, "BM_curlTransfer/min_time:3.000/manual_time");

                           if (ours != nullptr && base != nullptr)
                               std::printf ("performRequest, 32 MiB audio reply over loopback HTTPS: %.1f ms; curl's "
                                            "own transfer time %.1f ms; ratio %.2f (target <= 1.5) %s\n",
                                            ours->realNs / 1.0e6, base->realNs / 1.0e6, ours->realNs / base->realNs,
                                            ours->realNs / base->realNs <= 1.5 ? "met" : "NOT met");
                       });
}
