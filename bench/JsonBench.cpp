// The JSON handling of a reply's body (parseReplyJson of the collected bytes, as the request layer does it)
// for the shapes that cost the framework's parser most, at the JSON limit (1 MiB) and at the audio limit
// (32 MiB, which an audio request's rejection may reach), against the framework parsing a plain 1 MiB reply.
//
// Figure: wall time of the worst shape; target at most 100 ms. The plain parse is printed beside it.

#include "BenchSupport.h"

#include "library/ReplyJson.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace
{
constexpr int mib = 1048576;

// `open`, then as many `each` as fit with commas between, then `close`, blanks making up the size.
juce::MemoryBlock filled (const char* open, const std::function<juce::String (int)>& each, const char* close, int size)
{
    juce::MemoryOutputStream out;
    out << open;
    const auto room = (size_t) size - strlen (close);

    for (int i = 0;; ++i)
    {
        const auto next = (i > 0 ? "," : "") + each (i);

        if (out.getDataSize() + (size_t) next.getNumBytesAsUTF8() > room)
            break;

        out << next;
    }

    while (out.getDataSize() < room)
        out << " ";

    out << close;
    return out.getMemoryBlock();
}

juce::String piece (const char* t) { return t; }

// One object of as many distinct names as a reply may hold, arrays nested as deep and as many as it may hold,
// then `each` to the size: the most work a reply can still ask of the parser.
juce::MemoryBlock atTheBounds (int size, int run, const char* each)
{
    juce::MemoryOutputStream out;
    out << "[{";

    for (int i = 0; i < maxReplyJsonMembers; ++i)
        out << (i > 0 ? "," : "") << "\"r" << run << "n" << i << "\":0";

    out << "}";
    const auto level = juce::String::repeatedString ("[", maxReplyJsonDepth - 1) +
                       juce::String::repeatedString ("]", maxReplyJsonDepth - 1);

    for (int i = 0; i < (maxReplyJsonContainers - 2) / (maxReplyJsonDepth - 1); ++i)
        out << "," << level;

    const auto piece = juce::String (",") + each;

    while (out.getDataSize() + (size_t) piece.length() + 1 <= (size_t) size)
        out << piece;

    while (out.getDataSize() + 1 < (size_t) size)
        out << " ";

    out << "]";
    return out.getMemoryBlock();
}

struct Shape
{
    std::string name;
    std::function<juce::MemoryBlock (int size)> make;
    bool alsoAtTheAudioLimit = false;
};

const std::vector<Shape>& shapes()
{
    static const std::vector<Shape> all = {
        { "distinct names",
          [] (int size)
          {
              return filled (
                  "{", [] (int i) { return "\"k" + juce::String (i) + "\":0"; }, "}", size);
          },
          true },
        { "distinct names, an object each",
          [] (int size)
          {
              return filled (
                  "[", [] (int i) { return "{\"k" + juce::String (i) + "\":0}"; }, "]", size);
          } },
        { "one name over and over",
          [] (int size)
          {
              return filled (
                  "{", [] (int) { return piece ("\"a\":0"); }, "}", size);
          } },
        { "names, arrays and nesting at their bounds, then fractions",
          [] (int size) { return atTheBounds (size, 0, "1.5"); } },
        { "names, arrays and nesting at their bounds, then empty strings",
          [] (int size) { return atTheBounds (size, 0, "\"\""); } },
        { "numbers",
          [] (int size)
          {
              return filled (
                  "[", [] (int) { return piece ("0"); }, "]", size);
          },
          true },
        { "fractions",
          [] (int size)
          {
              return filled (
                  "[", [] (int) { return piece ("1.5"); }, "]", size);
          } },
        { "empty strings",
          [] (int size)
          {
              return filled (
                  "[", [] (int) { return piece ("\"\""); }, "]", size);
          } },
        { "empty arrays",
          [] (int size)
          {
              return filled (
                  "[", [] (int) { return piece ("[]"); }, "]", size);
          } },
        { "empty objects",
          [] (int size)
          {
              return filled (
                  "[", [] (int) { return piece ("{}"); }, "]", size);
          } },
        { "nesting at the bound",
          [] (int size)
          {
              const auto level = juce::String::repeatedString ("[", maxReplyJsonDepth - 1) +
                                 juce::String::repeatedString ("]", maxReplyJsonDepth - 1);
              return filled (
                  "[", [level] (int) { return level; }, "]", size);
          } },
        { "nesting past the bound",
          [] (int size)
          {
              juce::MemoryOutputStream out;
              out << juce::String::repeatedString ("[", size / 2) << juce::String::repeatedString ("]", size / 2);
              return out.getMemoryBlock();
          },
          true },
        { "one long number",
          [] (int size)
          {
              juce::MemoryOutputStream out;
              out << "[" << juce::String::repeatedString ("9", size - 2) << "]";
              return out.getMemoryBlock();
          } },
        { "one long exponent",
          [] (int size)
          {
              juce::MemoryOutputStream out;
              out << "[1e" << juce::String::repeatedString ("9", size - 4) << "]";
              return out.getMemoryBlock();
          } },
        { "escapes",
          [] (int size)
          {
              return filled (
                  "[\"", [] (int) { return piece ("\\u00e9\\n"); }, "\"]", size);
          } },
    };
    return all;
}

void BM_replyJson (benchmark::State& state, const juce::MemoryBlock& body)
{
    for (auto _ : state)
        benchmark::DoNotOptimize (parseReplyJson (body));
}

// A server that answers every request with new names: the framework's string pool keeps them until it
// collects, so each reply inserts its names into a larger pool.
void BM_replyJsonFreshNames (benchmark::State& state)
{
    int run = 1;

    for (auto _ : state)
    {
        state.PauseTiming();
        const auto body = atTheBounds (mib, run++, "1.5");
        state.ResumeTiming();
        benchmark::DoNotOptimize (parseReplyJson (body));
    }
}

// A plain reply: catalog items, as the service sends them, to 1 MiB.
void BM_plainParse (benchmark::State& state)
{
    const auto body = filled (
        "[",
        [] (int i)
        {
            return R"({"id":)" + juce::String (i + 1) + R"(,"name":"Deep Kick )" + juce::String (i % 100) +
                   R"(","owned":false,"preview_url":)"
                   R"("https://brevant.example/wp-content/uploads/preview.wav"})";
        },
        "]", mib);
    const auto text = juce::String::createStringFromData (body.getData(), (int) body.getSize());

    for (auto _ : state)
        benchmark::DoNotOptimize (juce::JSON::parse (text));
}
} // namespace

int main (int argc, char** argv)
{
    std::vector<std::string> names;

    for (const auto& shape : shapes())
    {
        for (const int size : { mib, 32 * mib })
        {
            // Every body past the JSON limit is refused alike; a few shapes show it.
            if (size > mib && ! shape.alsoAtTheAudioLimit)
                continue;

            const auto name = "BM_replyJson/" + shape.name + (size == mib ? ", 1 MiB" : ", 32 MiB");
            auto body = std::make_shared<juce::MemoryBlock> (shape.make (size));
            benchmark::RegisterBenchmark (name.c_str(), [body] (benchmark::State& s) { BM_replyJson (s, *body); })
                ->Unit (benchmark::kMillisecond)
                ->UseRealTime();
            names.push_back (name + "/real_time");
        }
    }

    benchmark::RegisterBenchmark ("BM_replyJson/all at their bounds, new names each time, 1 MiB",
                                  BM_replyJsonFreshNames)
        ->Unit (benchmark::kMillisecond)
        ->UseRealTime();
    names.push_back ("BM_replyJson/all at their bounds, new names each time, 1 MiB/real_time");
    benchmark::RegisterBenchmark ("BM_plainParse", BM_plainParse)->Unit (benchmark::kMillisecond)->UseRealTime();

    return bench::run (argc, argv,
                       [&names] (const bench::Results& results)
                       {
                           const bench::Result* worst = nullptr;
                           std::string worstName;

                           for (const auto& name : names)
                           {
                               const auto* r = bench::find (results, name);

                               if (r != nullptr && (worst == nullptr || r->realNs > worst->realNs))
                               {
                                   worst = r;
                                   worstName = name;
                               }
                           }

                           const auto* plain = bench::find (results, "BM_plainParse/real_time");

                           if (worst != nullptr && plain != nullptr)
                               std::printf ("JSON handling of a reply, worst shape (%s): %.1f ms (target <= 100 ms) "
                                            "%s; the framework's parse of a plain 1 MiB reply: %.1f ms\n",
                                            worstName.c_str(), worst->realNs / 1.0e6,
                                            worst->realNs <= 100.0e6 ? "met" : "NOT met", plain->realNs / 1.0e6);
                       });
}
