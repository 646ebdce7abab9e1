// setStateInformation of the product's own block against the costliest blocks found: the most
// attributes and the longest values that are still read, and shapes that are refused after the
// most work (many attributes, a huge block, deep nesting behind overlong UTF-8, a value that never
// ends). Every restore lands on the same processor.
//
// Figure: wall time per restore, and its ratio to the restore of the product's own 103-byte block.
// Target: no block takes more than 50 ms.

#include "BenchSupport.h"

#include "engine/TolvaneProcessor.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{
juce::MemoryBlock blockAround (const std::string& text)
{
    juce::MemoryOutputStream out;
    out.writeInt (0x21324356);
    out.writeInt ((int) text.size());
    out.write (text.data(), text.size());
    out.writeByte (0);
    return out.getMemoryBlock();
}

const std::string head = R"(<?xml version="1.0" encoding="UTF-8"?> <BRVTolvane)";

std::string attributes (int count, size_t nameLength, const std::string& prefix = "a")
{
    std::string text;
    for (int i = 0; i < count; ++i)
    {
        auto name = prefix + std::to_string (i);
        name.resize (std::max (name.size(), nameLength), 'x');
        text += " " + name + "=\"1\"";
    }
    return text;
}

struct Shape
{
    const char* name;
    std::vector<juce::MemoryBlock> blocks; // restored in turn
};

std::vector<Shape>& shapes()
{
    static std::vector<Shape> all = []
    {
        std::vector<Shape> s;
        auto one = [&] (const char* name, const std::string& text) { s.push_back ({ name, { blockAround (text) } }); };

        {
            TolvaneProcessor p;
            p.sourceBpm = 128.5;
            p.pitchSemitones = -3.0;
            p.gain = 0.7f;
            juce::MemoryBlock own;
            p.getStateInformation (own);
            s.push_back ({ "the product's own block", { own } });
        }
        // Read: 64 attributes with names as long as 64 KiB of text allows, values as long, references.
        one ("64 attributes, 950-byte names", head + R"( bpm="60")" + attributes (63, 950) + "/>");
        one ("bpm of 65,000 digits", head + R"( bpm=")" + std::string (65000, '7') + R"("/>)");
        one (
            "four values of 16,000 bytes of character references",
            head +
                []
                {
                    std::string t;
                    for (const char* n : { "bpm", "pitch", "gain", "sync" })
                    {
                        t += std::string (" ") + n + "=\"1";
                        for (int i = 0; i < 2600; ++i)
                            t += "&#x30;";
                        t += "\"";
                    }
                    return t;
                }() +
                "/>");
        one (
            "bpm of 5,900 long exponents", head + R"( bpm="1)" +
                                               []
                                               {
                                                   std::string t;
                                                   for (int i = 0; i < 6000; ++i)
                                                       t += "e1234567890";
                                                   return t;
                                               }() +
                                               R"("/>)");
        {
            // Every restore with names never seen before.
            Shape fresh{ "64 attributes of new names each time", {} };
            for (int b = 0; b < 2000; ++b)
                fresh.blocks.push_back (
                    blockAround (head + attributes (64, 24, "n" + std::to_string (b) + "_") + "/>"));
            s.push_back (std::move (fresh));
        }
        // Refused.
        one ("65 attributes", head + attributes (65, 1) + "/>");
        one ("200,000 attributes (3.2 MB)", head + attributes (200000, 11) + "/>");
        one ("64 MiB of white space before the element", std::string (64 << 20, ' ') + R"(<BRVTolvane bpm="60"/>)");
        one ("a value that never ends, 64 MiB", head + R"( bpm=")" + std::string (64 << 20, '1'));
        {
            std::string nested = head + R"( bpm="60" x=")" + "\xC0\xA2\xC0\xBE";
            for (int i = 0; i < 20000; ++i)
                nested += "\xC0\xBC"
                          "a\xC0\xBE";
            one ("20,000 children behind overlong UTF-8", nested + "\"/>");
        }
        return s;
    }();
    return all;
}

void BM_restore (benchmark::State& state)
{
    const auto& shape = shapes()[(size_t) state.range (0)];
    state.SetLabel (shape.name);
    TolvaneProcessor processor;
    size_t next = 0;
    for (auto _ : state)
    {
        const auto& block = shape.blocks[next];
        next = (next + 1) % shape.blocks.size();
        processor.setStateInformation (block.getData(), (int) block.getSize());
        benchmark::DoNotOptimize (processor.sourceBpm.load());
    }
}
} // namespace

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juceInit;
    for (size_t i = 0; i < shapes().size(); ++i)
        benchmark::RegisterBenchmark ("BM_restore", BM_restore)->Arg ((int64_t) i)->UseRealTime();

    return bench::run (argc, argv,
                       [] (const bench::Results& results)
                       {
                           const auto* base = bench::find (results, "BM_restore/0/real_time");
                           double worst = 0.0;
                           const char* worstName = "";
                           for (size_t i = 0; i < shapes().size(); ++i)
                           {
                               const auto* r = bench::find (results, "BM_restore/" + std::to_string (i) + "/real_time");
                               if (r == nullptr)
                                   continue;
                               std::printf ("restore, %s: %.3f ms", shapes()[i].name, r->realNs / 1.0e6);
                               if (base != nullptr)
                                   std::printf ("; ratio to the product's own block %.1f", r->realNs / base->realNs);
                               std::printf ("\n");
                               if (r->realNs > worst)
                               {
                                   worst = r->realNs;
                                   worstName = shapes()[i].name;
                               }
                           }
                           std::printf ("slowest: %s, %.3f ms (target <= 50 ms) %s\n", worstName, worst / 1.0e6,
                                        worst <= 50.0e6 ? "met" : "NOT met");
                       });
}
