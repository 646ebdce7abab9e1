// The built LV2 bundle driven through lilv as a host drives it: instantiated with the features the
// plug-in requires, its ports connected, run() called on an audio thread of the host's with block
// sizes up to the announced maxBlockLength, its state saved and restored through the state
// interface and through a session's Turtle text.
//
// The build names the bundle's folder (TOLVANE_LV2_BUNDLE_DIR) and the plug-in's URI. The allocation
// tests also need the counter library (rt_counter.c) in LD_PRELOAD: it counts the heap calls, locks
// and waits of the audio thread while run() is on its stack.

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>
#include <lilv/lilv.h>
// The SDK's inline functions draw warnings of their own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wparentheses"
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#pragma GCC diagnostic pop
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
// --- the counter library, found when preloaded
struct RtCounts
{
    long allocs = 0, frees = 0, locks = 0, waits = 0;
};

struct Counter
{
    void (*begin)() = nullptr;
    RtCounts (*end)() = nullptr;

    static const Counter& get()
    {
        static const Counter counter = []
        {
            Counter c;
            c.begin = reinterpret_cast<void (*)()> (dlsym (RTLD_DEFAULT, "tolvane_rt_count_begin"));
            c.end = reinterpret_cast<RtCounts (*)()> (dlsym (RTLD_DEFAULT, "tolvane_rt_count_end"));
            return c;
        }();
        return counter;
    }

    bool present() const { return begin != nullptr && end != nullptr; }
};

int threadCount()
{
    int n = 0;
    if (auto* dir = opendir ("/proc/self/task"))
    {
        while (auto* entry = readdir (dir))
            n += entry->d_name[0] != '.';
        closedir (dir);
    }
    return n;
}

// Waits until the process has at most `limit` threads, for at most `seconds`; returns the last count.
int waitForThreadsAtMost (int limit, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double> (seconds);
    int n = threadCount();
    while (n > limit && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
        n = threadCount();
    }
    return n;
}

// --- URIDs, shared by every instance of the process, as a host's are
class UridMap
{
public:
    UridMap()
    {
        mapFeature = { this,
                       [] (LV2_URID_Map_Handle h, const char* uri) { return static_cast<UridMap*> (h)->map (uri); } };
        unmapFeature = { this, [] (LV2_URID_Unmap_Handle h, LV2_URID urid)
                         { return static_cast<UridMap*> (h)->unmap (urid); } };
    }

    LV2_URID map (const char* uri)
    {
        const std::lock_guard<std::mutex> lock (mutex);
        const auto found = ids.find (uri);
        if (found != ids.end())
            return found->second;
        uris.push_back (std::make_unique<std::string> (uri));
        return ids[uri] = (LV2_URID) uris.size();
    }

    const char* unmap (LV2_URID urid)
    {
        const std::lock_guard<std::mutex> lock (mutex);
        return urid >= 1 && urid <= uris.size() ? uris[urid - 1]->c_str() : nullptr;
    }

    LV2_URID_Map mapFeature;
    LV2_URID_Unmap unmapFeature;

private:
    std::mutex mutex;
    std::vector<std::unique_ptr<std::string>> uris;
    std::map<std::string, LV2_URID> ids;
};

UridMap& urids()
{
    static UridMap instance;
    return instance;
}

LV2_URID urid (const char* uri) { return urids().map (uri); }

// --- the plug-in, loaded from the bundle only (never from ~/.lv2 or LV2_PATH)
struct World
{
    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;
    std::string error;

    static World& get()
    {
        static World w;
        return w;
    }

private:
    World()
    {
        // Headless: the framework inside the plug-in falls back to display :0 when DISPLAY is unset,
        // and a window test's X server may be there.
        setenv ("DISPLAY", ":65535", 1);

        const std::string bundle = TOLVANE_LV2_BUNDLE_DIR, uri = TOLVANE_LV2_URI;
        world = lilv_world_new();
        auto* bundleUri = lilv_new_file_uri (world, nullptr, (bundle + "/").c_str());
        lilv_world_load_bundle (world, bundleUri);
        lilv_node_free (bundleUri);

        auto* pluginUri = lilv_new_uri (world, uri.c_str());
        plugin = lilv_plugins_get_by_uri (lilv_world_get_all_plugins (world), pluginUri);
        lilv_node_free (pluginUri);
        if (plugin == nullptr)
            error = "no plug-in " + uri + " in " + bundle;
    }
};

// A value the plug-in stored or is handed back: its bytes, type and flags.
struct StateValue
{
    std::string key;
    std::string bytes;
    uint32_t type = 0;
    uint32_t flags = 0;
};

constexpr uint32_t atomCapacity = 65536;

// One plug-in instance with every port connected, as a host holds it.
class Instance
{
public:
    Instance (double sampleRate, uint32_t maxBlock)
    {
        auto& w = World::get();
        if (w.plugin == nullptr)
            return;

        const int32_t minBlock = 0, nominal = (int32_t) std::min<uint32_t> (maxBlock, 512),
                      sequenceSize = (int32_t) atomCapacity;
        maxBlockValue = (int32_t) maxBlock;
        blockValues[0] = minBlock;
        blockValues[1] = nominal;
        blockValues[2] = sequenceSize;
        const auto intType = urid (LV2_ATOM__Int);
        options = {
            { LV2_OPTIONS_INSTANCE, 0, urid (LV2_BUF_SIZE__maxBlockLength), sizeof (int32_t), intType, &maxBlockValue },
            { LV2_OPTIONS_INSTANCE, 0, urid (LV2_BUF_SIZE__minBlockLength), sizeof (int32_t), intType,
              &blockValues[0] },
            { LV2_OPTIONS_INSTANCE, 0, urid (LV2_BUF_SIZE__nominalBlockLength), sizeof (int32_t), intType,
              &blockValues[1] },
            { LV2_OPTIONS_INSTANCE, 0, urid (LV2_BUF_SIZE__sequenceSize), sizeof (int32_t), intType, &blockValues[2] },
            { LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr },
        };
        featureList = { { LV2_URID__map, &urids().mapFeature },
                        { LV2_URID__unmap, &urids().unmapFeature },
                        { LV2_OPTIONS__options, options.data() },
                        { LV2_BUF_SIZE__boundedBlockLength, nullptr } };
        for (auto& f : featureList)
            features.push_back (&f);
        features.push_back (nullptr);

        instance = lilv_plugin_instantiate (w.plugin, sampleRate, features.data());
        if (instance == nullptr)
            return;

        auto* audioClass = lilv_new_uri (w.world, LV2_CORE__AudioPort);
        auto* atomClass = lilv_new_uri (w.world, LV2_ATOM__AtomPort);
        auto* controlClass = lilv_new_uri (w.world, LV2_CORE__ControlPort);
        auto* inputClass = lilv_new_uri (w.world, LV2_CORE__InputPort);

        const auto numPorts = lilv_plugin_get_num_ports (w.plugin);
        std::vector<float> defaults (numPorts, 0.0f);
        lilv_plugin_get_port_ranges_float (w.plugin, nullptr, nullptr, defaults.data());
        controls.resize (numPorts, 0.0f);

        for (uint32_t i = 0; i < numPorts; ++i)
        {
            const auto* port = lilv_plugin_get_port_by_index (w.plugin, i);
            const bool input = lilv_port_is_a (w.plugin, port, inputClass);
            const std::string symbol = lilv_node_as_string (lilv_port_get_symbol (w.plugin, port));

            if (lilv_port_is_a (w.plugin, port, audioClass))
            {
                // One guard sample past the longest block shows a write beyond it.
                audioOut.emplace_back (maxBlock + 1, 0.0f);
                lilv_instance_connect_port (instance, i, audioOut.back().data());
            }
            else if (lilv_port_is_a (w.plugin, port, atomClass))
            {
                auto& buffer = input ? atomIn : atomOut;
                buffer.assign (atomCapacity / sizeof (uint64_t), 0);
                lilv_instance_connect_port (instance, i, buffer.data());
            }
            else if (lilv_port_is_a (w.plugin, port, controlClass))
            {
                controls[i] = std::isnan (defaults[i]) ? 0.0f : defaults[i];
                controlIndex[symbol] = i;
                lilv_instance_connect_port (instance, i, &controls[i]);
            }
        }

        for (auto* node : { audioClass, atomClass, controlClass, inputClass })
            lilv_node_free (node);

        state =
            static_cast<const LV2_State_Interface*> (lilv_instance_get_extension_data (instance, LV2_STATE__interface));
        lilv_instance_activate (instance);
    }

    ~Instance()
    {
        if (instance != nullptr)
        {
            lilv_instance_deactivate (instance);
            lilv_instance_free (instance);
        }
    }

    Instance (const Instance&) = delete;
    Instance& operator= (const Instance&) = delete;

    bool ok() const
    {
        return instance != nullptr && state != nullptr && audioOut.size() == 2 && ! atomIn.empty() && ! atomOut.empty();
    }

    void setControl (const char* symbol, float value)
    {
        const auto it = controlIndex.find (symbol);
        if (it != controlIndex.end())
            controls[it->second] = value;
    }

    // The input sequence for the next run, written by `fill` with a forge (no heap).
    template <typename Fill> void writeInput (Fill&& fill)
    {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init (&forge, &urids().mapFeature);
        lv2_atom_forge_set_buffer (&forge, reinterpret_cast<uint8_t*> (atomIn.data()), atomCapacity);
        LV2_Atom_Forge_Frame frame;
        lv2_atom_forge_sequence_head (&forge, &frame, 0);
        fill (forge);
        lv2_atom_forge_pop (&forge, &frame);
    }

    void clearInput()
    {
        writeInput ([] (LV2_Atom_Forge&) {});
    }

    // Outputs filled with a value the plug-in never writes, the notify port emptied to its capacity.
    void prepareOutputs()
    {
        for (auto& channel : audioOut)
            std::fill (channel.begin(), channel.end(), sentinel);
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*> (atomOut.data());
        seq->atom.type = urid (LV2_ATOM__Chunk);
        seq->atom.size = atomCapacity - (uint32_t) sizeof (LV2_Atom);
    }

    void run (uint32_t frames) { lilv_instance_run (instance, frames); }

    // Empty unless the block wrote the first `frames` samples of each output, finite and within ±1,
    // and nothing past them.
    std::string checkOutputs (uint32_t frames) const
    {
        for (size_t ch = 0; ch < audioOut.size(); ++ch)
        {
            for (uint32_t i = 0; i < frames; ++i)
            {
                const float s = audioOut[ch][i];
                if (! std::isfinite (s) || std::abs (s) > 1.0f)
                    return "channel " + std::to_string (ch) + " sample " + std::to_string (i) + " of " +
                           std::to_string (frames) + " is " + std::to_string (s);
            }
            if (audioOut[ch][frames] != sentinel)
                return "channel " + std::to_string (ch) + " written past the block of " + std::to_string (frames);
        }
        return {};
    }

    // The object types of the events on the notify port, or an error text when the sequence is malformed.
    std::string notifyEvents (std::vector<LV2_URID>& otypes) const
    {
        const auto* seq = reinterpret_cast<const LV2_Atom_Sequence*> (atomOut.data());
        if (seq->atom.type != urid (LV2_ATOM__Sequence))
            return "the notify port holds no sequence";
        if (seq->atom.size > atomCapacity - sizeof (LV2_Atom))
            return "the notify sequence is larger than its buffer";
        for (auto* event = lv2_atom_sequence_begin (&seq->body);
             ! lv2_atom_sequence_is_end (&seq->body, seq->atom.size, event); event = lv2_atom_sequence_next (event))
        {
            if (event->body.type == urid (LV2_ATOM__Object) || event->body.type == urid (LV2_ATOM__Blank))
                otypes.push_back (reinterpret_cast<const LV2_Atom_Object*> (&event->body)->body.otype);
            else
                otypes.push_back (event->body.type);
        }
        return {};
    }

    // Runs one block on the calling thread and checks it; empty when all is well.
    std::string runChecked (uint32_t frames)
    {
        prepareOutputs();
        run (frames);
        return afterRun (frames);
    }

    std::string afterRun (uint32_t frames) const
    {
        auto problem = checkOutputs (frames);
        if (! problem.empty())
            return problem;
        std::vector<LV2_URID> otypes;
        problem = notifyEvents (otypes);
        if (! problem.empty())
            return problem;
        if (std::find (otypes.begin(), otypes.end(), urid (LV2_STATE__StateChanged)) != otypes.end())
            return "the notify port carries state:StateChanged";
        return {};
    }

    // Saves through the state interface; every value the plug-in stored, in order.
    std::vector<StateValue> save() const
    {
        std::vector<StateValue> values;
        state->save (
            lilv_instance_get_handle (instance),
            [] (LV2_State_Handle h, uint32_t key, const void* value, size_t size, uint32_t type, uint32_t flags)
            {
                auto* out = static_cast<std::vector<StateValue>*> (h);
                out->push_back (
                    { urids().unmap (key), std::string (static_cast<const char*> (value), size), type, flags });
                return LV2_STATE_SUCCESS;
            },
            &values, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, features.data());
        return values;
    }

    // Restores through the state interface from these values (looked up by key).
    LV2_State_Status restore (const std::vector<StateValue>& values) const
    {
        return state->restore (
            lilv_instance_get_handle (instance),
            [] (LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) -> const void*
            {
                for (const auto& v : *static_cast<const std::vector<StateValue>*> (h))
                {
                    if (urid (v.key.c_str()) == key)
                    {
                        *size = v.bytes.size();
                        *type = v.type;
                        *flags = v.flags;
                        return v.bytes.data();
                    }
                }
                return nullptr;
            },
            const_cast<std::vector<StateValue>*> (&values), 0, features.data());
    }

    LilvInstance* lilv() const { return instance; }
    const LV2_Feature* const* featureArray() const { return features.data(); }

    static constexpr float sentinel = 1.0e30f;

private:
    int32_t maxBlockValue = 0;
    int32_t blockValues[3] = {};
    std::vector<LV2_Options_Option> options;
    std::vector<LV2_Feature> featureList;
    std::vector<const LV2_Feature*> features;
    LilvInstance* instance = nullptr;
    const LV2_State_Interface* state = nullptr;
    std::vector<std::vector<float>> audioOut;
    std::vector<uint64_t> atomIn, atomOut;
    std::vector<float> controls;
    std::map<std::string, uint32_t> controlIndex;
};

// --- state values as the plug-in writes them: its state block in the framework's base64 text
std::string stateText (const char* attributes)
{
    return std::string ("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <BRVTolvane ") + attributes + "/>";
}

std::string encodeBlock (const std::string& block)
{
    juce::MemoryBlock data (block.data(), block.size());
    return data.toBase64Encoding().toStdString();
}

std::string stateBlock (const std::string& text)
{
    std::string block = "VC2!";
    const auto n = (uint32_t) text.size();
    for (int i = 0; i < 4; ++i)
        block += (char) ((n >> (8 * i)) & 0xff);
    return block + text + '\0';
}

// The value as the plug-in stores it: the text and its closing zero.
std::string storedValue (const std::string& base64) { return base64 + '\0'; }

const std::string defaultText = stateText ("bpm=\"0.0\" pitch=\"0.0\" gain=\"0.5\" sync=\"0\"");
const std::string customText = stateText ("bpm=\"120.0\" pitch=\"-3.0\" gain=\"0.699999988079071\" sync=\"1\"");

std::string describe (const std::vector<StateValue>& values)
{
    std::ostringstream out;
    for (const auto& v : values)
        out << v.key << " = \"" << v.bytes.substr (0, 200) << "\" (" << v.bytes.size() << " bytes, type "
            << (urids().unmap (v.type) ? urids().unmap (v.type) : "?") << ")\n";
    return out.str();
}

// The one value of a saved state, with the key, type and flags the plug-in uses.
StateValue savedValue (const Instance& instance)
{
    const auto values = instance.save();
    return values.size() == 1 ? values.front() : StateValue{};
}

StateValue withBytes (StateValue value, std::string bytes)
{
    value.bytes = std::move (bytes);
    return value;
}

// The instance's state as lilv writes it into a session: Turtle text.
std::string sessionText (const Instance& instance)
{
    auto& w = World::get();
    auto* state = lilv_state_new_from_instance (w.plugin, instance.lilv(), &urids().mapFeature, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr, 0, instance.featureArray());
    if (state == nullptr)
        return {};
    char* text = lilv_state_to_string (w.world, &urids().mapFeature, &urids().unmapFeature, state,
                                       "urn:tolvane:test:session", nullptr);
    lilv_state_free (state);
    std::string turtle = text != nullptr ? text : "";
    lilv_free (text);
    return turtle;
}

class Lv2Host : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto& w = World::get();
        ASSERT_NE (w.plugin, nullptr) << w.error;
    }
};

// --- run() as an audio thread calls it
enum class Pattern
{
    steady512,
    random,
    alternating512And256,
    emptyBefore512,
    growing
};

struct RunCase
{
    const char* name;
    double sampleRate;
    uint32_t maxBlock;
    Pattern pattern;
    int runs;
};

void PrintTo (const RunCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint32_t> blockSizes (const RunCase& c, std::mt19937& rng)
{
    std::vector<uint32_t> sizes;
    std::uniform_int_distribution<uint32_t> any (0, c.maxBlock);
    for (int i = 0; (int) sizes.size() < c.runs; ++i)
    {
        switch (c.pattern)
        {
        case Pattern::steady512:
            sizes.push_back (512);
            break;
        case Pattern::random:
            sizes.push_back (any (rng));
            break;
        case Pattern::alternating512And256:
            sizes.push_back (i % 2 == 0 ? 512 : 256);
            break;
        case Pattern::emptyBefore512:
            sizes.push_back (0);
            sizes.push_back (512);
            break;
        case Pattern::growing:
            sizes.push_back ((uint32_t) (i % (int) c.maxBlock) + 1);
            break;
        }
    }
    sizes.resize ((size_t) c.runs);
    return sizes;
}

// Events a host may send, valid and odd: positions with every field (some absurd, some of the
// wrong type), positions without a tempo, empty objects, atoms of types the plug-in does not read.
void writeEvents (LV2_Atom_Forge& forge, uint32_t frames, std::mt19937& rng)
{
    std::uniform_int_distribution<int> kind (0, 9);
    std::uniform_real_distribution<float> tempo (-50.0f, 1000.0f);
    const float odd[] = { NAN, INFINITY, -INFINITY, 0.0f, -1.0f, 1.0e30f };
    const auto k = kind (rng);
    if (k >= 5)
        return;

    const auto time = frames > 0 ? (int64_t) (rng() % frames) : 0;
    lv2_atom_forge_frame_time (&forge, time);
    LV2_Atom_Forge_Frame object;

    switch (k)
    {
    case 0:
    case 1:
        lv2_atom_forge_object (&forge, &object, 0, urid (LV2_TIME__Position));
        lv2_atom_forge_key (&forge, urid (LV2_TIME__frame));
        lv2_atom_forge_long (&forge, (int64_t) rng() - (int64_t) 0x7fffffff);
        lv2_atom_forge_key (&forge, urid (LV2_TIME__speed));
        lv2_atom_forge_float (&forge, (float) (rng() % 2));
        lv2_atom_forge_key (&forge, urid (LV2_TIME__bar));
        lv2_atom_forge_long (&forge, (int64_t) (rng() % 1000));
        lv2_atom_forge_key (&forge, urid (LV2_TIME__beat));
        lv2_atom_forge_double (&forge, (double) (rng() % 4000) / 1000.0);
        lv2_atom_forge_key (&forge, urid (LV2_TIME__beatUnit));
        lv2_atom_forge_int (&forge, (int32_t) (rng() % 3) * 4 - 4);
        lv2_atom_forge_key (&forge, urid (LV2_TIME__beatsPerBar));
        lv2_atom_forge_float (&forge, k == 0 ? 4.0f : odd[rng() % 6]);
        lv2_atom_forge_key (&forge, urid (LV2_TIME__beatsPerMinute));
        lv2_atom_forge_float (&forge, k == 0 ? tempo (rng) : odd[rng() % 6]);
        lv2_atom_forge_pop (&forge, &object);
        break;
    case 2: // the tempo as a string, the frame as a double
        lv2_atom_forge_object (&forge, &object, 0, urid (LV2_TIME__Position));
        lv2_atom_forge_key (&forge, urid (LV2_TIME__beatsPerMinute));
        lv2_atom_forge_string (&forge, "120", 3);
        lv2_atom_forge_key (&forge, urid (LV2_TIME__frame));
        lv2_atom_forge_double (&forge, -1.0);
        lv2_atom_forge_pop (&forge, &object);
        break;
    case 3: // a position without fields, an object of another kind
        lv2_atom_forge_object (&forge, &object, 0, urid (LV2_TIME__Position));
        lv2_atom_forge_pop (&forge, &object);
        lv2_atom_forge_frame_time (&forge, time);
        lv2_atom_forge_object (&forge, &object, 0, urid ("urn:tolvane:test:unknown"));
        lv2_atom_forge_key (&forge, urid (LV2_TIME__beatsPerMinute));
        lv2_atom_forge_float (&forge, 90.0f);
        lv2_atom_forge_pop (&forge, &object);
        break;
    default: // not an object at all
        lv2_atom_forge_int (&forge, 42);
        lv2_atom_forge_frame_time (&forge, time);
        lv2_atom_forge_string (&forge, "patch", 5);
        break;
    }
}

class Lv2HostRun : public Lv2Host, public ::testing::WithParamInterface<RunCase>
{
};

// Every block up to maxBlockLength: no heap call and no wait inside run(), at most the wrapper's
// one callback lock (taken uncontended) per block; every output sample of the block written,
// finite and within ±1, none past it; nothing on the notify port but well-formed events, never
// state:StateChanged. Half of the blocks carry host events; the enabled and free-wheeling
// controls change now and then.
TEST_P (Lv2HostRun, RunsWithoutHeapOrWaits)
{
    const auto& c = GetParam();
    const auto& counter = Counter::get();
    ASSERT_TRUE (counter.present()) << "the counter library (rt_counter) must be in LD_PRELOAD";

    Instance instance (c.sampleRate, c.maxBlock);
    ASSERT_TRUE (instance.ok());

    std::mt19937 rng (17);
    const auto sizes = blockSizes (c, rng);
    RtCounts total;
    long maxLocksInOneRun = 0;
    std::string problem;

    // The host's audio thread: only its calls inside run() are counted.
    std::thread audio (
        [&]
        {
            for (size_t i = 0; i < sizes.size() && problem.empty(); ++i)
            {
                const auto frames = sizes[i];
                if (c.pattern == Pattern::random)
                {
                    instance.writeInput ([&] (LV2_Atom_Forge& forge) { writeEvents (forge, frames, rng); });
                    if (rng() % 50 == 0)
                        instance.setControl ("enabled", (float) (rng() % 2));
                    if (rng() % 50 == 0)
                        instance.setControl ("freeWheeling", (float) (rng() % 2));
                }
                else
                    instance.clearInput();
                instance.prepareOutputs();

                counter.begin();
                instance.run (frames);
                const auto counts = counter.end();

                total.allocs += counts.allocs;
                total.frees += counts.frees;
                total.locks += counts.locks;
                total.waits += counts.waits;
                maxLocksInOneRun = std::max (maxLocksInOneRun, counts.locks);
                problem = instance.afterRun (frames);
                if (! problem.empty())
                    problem = "block " + std::to_string (i) + ": " + problem;
            }
        });
    audio.join();

    std::cout << c.name << ": " << sizes.size() << " runs, " << total.allocs << " allocations, " << total.frees
              << " frees, " << total.locks << " locks (at most " << maxLocksInOneRun << " in one run), " << total.waits
              << " waits\n";
    EXPECT_EQ (problem, "");
    EXPECT_EQ (total.allocs, 0);
    EXPECT_EQ (total.frees, 0);
    EXPECT_EQ (total.waits, 0);
    EXPECT_LE (maxLocksInOneRun, 1);
}

// The counter sees what it must: without this a counter that was not preloaded, or that misses a
// call, would let every count above read zero.
TEST (Lv2HostCounter, SeesHeapLocksAndWaitsOfItsThreadOnly)
{
    const auto& counter = Counter::get();
    ASSERT_TRUE (counter.present()) << "the counter library (rt_counter) must be in LD_PRELOAD";
    std::mutex mutex;

    // The blocks escape, so that the compiler cannot leave the calls out.
    const auto escape = [] (void* p) { asm volatile("" : : "r"(p) : "memory"); };
    counter.begin();
    void* block = std::malloc (32);
    escape (block);
    std::free (block);
    auto* array = new char[64];
    escape (array);
    delete[] array;
    {
        const std::lock_guard<std::mutex> lock (mutex);
    }
    std::this_thread::sleep_for (std::chrono::microseconds (1));
    auto counts = counter.end();
    EXPECT_EQ (counts.allocs, 2);
    EXPECT_EQ (counts.frees, 2);
    EXPECT_EQ (counts.locks, 1);
    EXPECT_EQ (counts.waits, 1);

    // Another thread's calls while this one counts are not this one's.
    std::atomic<int> step{ 0 };
    std::thread other (
        [&]
        {
            while (step.load() != 1)
                std::this_thread::yield();
            auto* array = new char[64];
            escape (array);
            delete[] array;
            const std::lock_guard<std::mutex> lock (mutex);
            step = 2;
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (60);
    counter.begin();
    step = 1;
    while (step.load() != 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    counts = counter.end();
    other.join();
    ASSERT_EQ (step.load(), 2);
    EXPECT_EQ (counts.allocs + counts.frees + counts.locks + counts.waits, 0);
}

INSTANTIATE_TEST_SUITE_P (BlockSizes, Lv2HostRun,
                          ::testing::Values (RunCase{ "steady512", 48000.0, 8192, Pattern::steady512, 2000 },
                                             RunCase{ "random8k", 8000.0, 8192, Pattern::random, 2000 },
                                             RunCase{ "random44k", 44100.0, 8192, Pattern::random, 2000 },
                                             RunCase{ "random48k", 48000.0, 8192, Pattern::random, 2000 },
                                             RunCase{ "random96k", 96000.0, 8192, Pattern::random, 2000 },
                                             RunCase{ "random192k", 192000.0, 8192, Pattern::random, 2000 },
                                             RunCase{ "random384k", 384000.0, 8192, Pattern::random, 2000 },
                                             RunCase{ "random48kMax1", 48000.0, 1, Pattern::random, 200 },
                                             RunCase{ "random48kMax4099", 48000.0, 4099, Pattern::random, 2000 },
                                             RunCase{ "alternating512and256", 48000.0, 8192,
                                                      Pattern::alternating512And256, 2000 },
                                             RunCase{ "emptyBefore512", 48000.0, 8192, Pattern::emptyBefore512, 2000 },
                                             RunCase{ "growing1to1024", 48000.0, 1024, Pattern::growing, 2048 }),
                          [] (const ::testing::TestParamInfo<RunCase>& info) { return std::string (info.param.name); });

// --- state through the state interface

// One value, a string of the framework's base64 text with its closing zero, portable; saved again
// after a restore it is the same to the byte, and blocks between report no state change.
TEST_F (Lv2Host, StateSavesAndRestoresByteExact)
{
    Instance first (48000.0, 1024);
    ASSERT_TRUE (first.ok());
    const auto saved = first.save();
    ASSERT_EQ (saved.size(), 1u) << describe (saved);
    EXPECT_EQ (saved[0].type, urid (LV2_ATOM__String));
    EXPECT_EQ (saved[0].flags & (LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE), LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    EXPECT_EQ (saved[0].bytes, storedValue (encodeBlock (stateBlock (defaultText))));

    const auto custom = withBytes (saved[0], storedValue (encodeBlock (stateBlock (customText))));
    for (const auto& value : { custom, saved[0], custom })
    {
        Instance second (48000.0, 1024);
        ASSERT_TRUE (second.ok());
        EXPECT_EQ (second.restore ({ value }), LV2_STATE_SUCCESS);
        for (uint32_t frames : { 512u, 0u, 1024u })
            EXPECT_EQ (second.runChecked (frames), "");
        EXPECT_EQ (savedValue (second).bytes, value.bytes);
    }
}

// A session's Turtle text: saved by lilv from the instance, read back as text into a new state,
// restored into another instance.
TEST_F (Lv2Host, StateSurvivesTheSessionText)
{
    Instance source (44100.0, 512);
    ASSERT_TRUE (source.ok());
    const auto custom = withBytes (savedValue (source), storedValue (encodeBlock (stateBlock (customText))));
    ASSERT_EQ (source.restore ({ custom }), LV2_STATE_SUCCESS);

    const auto turtle = sessionText (source);
    ASSERT_NE (turtle, "");

    auto& w = World::get();
    auto* reread = lilv_state_new_from_string (w.world, &urids().mapFeature, turtle.c_str());
    ASSERT_NE (reread, nullptr) << turtle;
    Instance target (44100.0, 512);
    ASSERT_TRUE (target.ok());
    lilv_state_restore (reread, target.lilv(), nullptr, nullptr, 0, target.featureArray());
    lilv_state_free (reread);

    EXPECT_EQ (target.runChecked (256), "");
    EXPECT_EQ (savedValue (target).bytes, custom.bytes) << turtle;
}

// What a state value holds and what restoring it must give.
struct StateCase
{
    const char* name;
    std::string value; // handed over as it is, no closing zero added
    bool changesNothing;
    std::string expected; // when it restores: the value saved afterwards
    std::string typeUri = LV2_ATOM__String;
};

void PrintTo (const StateCase& c, std::ostream* os) { *os << c.name; }

std::vector<StateCase> stateCases()
{
    // Every value is restored over customText: one that wrongly restores shows as this other state.
    const auto otherText = stateText ("bpm=\"97.5\" pitch=\"2.0\" gain=\"0.25\" sync=\"0\"");
    const auto other = encodeBlock (stateBlock (otherText));
    const auto otherBlockSize = stateBlock (otherText).size();
    const auto afterDot = other.substr (other.find ('.') + 1);
    const std::string junk (1 << 20, 'A');

    return {
        // Size prefixes the text cannot fill, negative ones, ones past every integer type.
        { "minusOne", "-1.AAAA", true, {} },
        { "minusOneBareBytes", "-1.", true, {} },
        { "intMin", "-2147483648.AAAA", true, {} },
        { "intMax", "2147483647.AA", true, {} },
        { "uintMax", "4294967295.AAAA", true, {} },
        { "uintMaxPlusOne", "4294967296.AAAA", true, {} },
        { "uint64Max", "18446744073709551615.AAAA", true, {} },
        { "pastUint64", "99999999999999999999999999." + afterDot, true, {} },
        { "prefixOneTooLong", std::to_string (otherBlockSize + 1) + "." + afterDot, true, {} },
        { "prefixFarTooLong", "1000000." + afterDot, true, {} },
        { "prefixOnly", "103.", true, {} },
        { "textCutShort", other.substr (0, other.size() / 2), true, {} },
        { "millionDigits", "1048576." + junk, true, {} },
        // Texts that are no state block or no base64 at all.
        { "empty", "", true, {} },
        { "dotOnly", ".", true, {} },
        { "noDot", "no state here", true, {} },
        { "notBase64", "103." + std::string (138, '#'), true, {} },
        { "highBytes", "103.\xff\xfe\xc3\xa9\x80", true, {} },
        { "zeroInside", std::string ("103.AA\0AA", 9), true, {} },
        { "wrongMagic", encodeBlock ("VC3!" + stateBlock (otherText).substr (4)), true, {} },
        { "cutInsideElement", encodeBlock (stateBlock (otherText.substr (0, 60))), true, {} },
        { "otherElement",
          encodeBlock (stateBlock ("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <Other bpm=\"1.0\"/>")),
          true,
          {} },
        // Not a string.
        { "chunkType", storedValue (other), true, {}, LV2_ATOM__Chunk },
        { "intType", std::string ("\x01\x00\x00\x00", 4), true, {}, LV2_ATOM__Int },
        // Values that do restore: with and without the closing zero, with a shorter prefix.
        { "otherState", storedValue (other), false, storedValue (other) },
        { "withoutClosingZero", other, false, storedValue (other) },
        { "leadingSpaceInPrefix", " " + other, false, storedValue (other) },
        { "trailingCharacters", other + "AAAA", false, storedValue (other) },
    };
}

class Lv2HostState : public Lv2Host, public ::testing::WithParamInterface<StateCase>
{
};

// Restored over a state of its own, through the state interface and, where Turtle can hold the
// value, through a session's text: the instance either takes the value's settings or keeps its
// own, and the host sees no exception (one would end this process).
TEST_P (Lv2HostState, RestoresOrChangesNothing)
{
    const auto& c = GetParam();
    Instance instance (48000.0, 512);
    ASSERT_TRUE (instance.ok());
    const auto base = savedValue (instance);
    const auto custom = withBytes (base, storedValue (encodeBlock (stateBlock (customText))));
    ASSERT_EQ (instance.restore ({ custom }), LV2_STATE_SUCCESS);

    auto value = withBytes (base, c.value);
    value.type = urid (c.typeUri.c_str());
    const auto status = instance.restore ({ value });
    if (c.typeUri != LV2_ATOM__String)
    {
        EXPECT_EQ (status, LV2_STATE_ERR_BAD_TYPE);
    }
    EXPECT_EQ (instance.runChecked (512), "");
    EXPECT_EQ (savedValue (instance).bytes, c.changesNothing ? custom.bytes : c.expected);

    // The same through a session's Turtle text, for strings Turtle can carry: the text saved from an
    // instance holding customText, its value replaced.
    const bool inTurtle = c.typeUri == LV2_ATOM__String && c.value.find ('\0') == std::string::npos &&
                          c.value.find_first_of ("\"\\\n\r") == std::string::npos &&
                          juce::CharPointer_UTF8::isValidString (c.value.c_str(), (int) c.value.size());
    if (! inTurtle)
        return;

    Instance restored (48000.0, 512);
    ASSERT_TRUE (restored.ok());
    ASSERT_EQ (restored.restore ({ custom }), LV2_STATE_SUCCESS);
    auto turtle = sessionText (restored);
    const auto literal = "\"" + custom.bytes.substr (0, custom.bytes.size() - 1) + "\"";
    const auto at = turtle.find (literal);
    ASSERT_NE (at, std::string::npos) << turtle;
    turtle.replace (at, literal.size(), "\"" + c.value + "\"");

    auto& w = World::get();
    auto* session = lilv_state_new_from_string (w.world, &urids().mapFeature, turtle.c_str());
    ASSERT_NE (session, nullptr) << turtle.substr (0, 2000);
    lilv_state_restore (session, restored.lilv(), nullptr, nullptr, 0, restored.featureArray());
    lilv_state_free (session);

    EXPECT_EQ (restored.runChecked (512), "");
    EXPECT_EQ (savedValue (restored).bytes, c.changesNothing ? custom.bytes : c.expected);
}

INSTANTIATE_TEST_SUITE_P (Values, Lv2HostState, ::testing::ValuesIn (stateCases()),
                          [] (const ::testing::TestParamInfo<StateCase>& info)
                          { return std::string (info.param.name); });

// A restore that finds no value of the plug-in's changes nothing and says so.
TEST_F (Lv2Host, RestoreWithoutValueChangesNothing)
{
    Instance instance (48000.0, 512);
    ASSERT_TRUE (instance.ok());
    const auto custom = withBytes (savedValue (instance), storedValue (encodeBlock (stateBlock (customText))));
    ASSERT_EQ (instance.restore ({ custom }), LV2_STATE_SUCCESS);

    EXPECT_EQ (instance.restore ({}), LV2_STATE_ERR_NO_PROPERTY);
    EXPECT_EQ (instance.runChecked (512), "");
    EXPECT_EQ (savedValue (instance).bytes, custom.bytes);
}

// --- lifecycle

// Fifty cycles of instantiate, activate, run, save and restore, deactivate and clean-up: once the
// last instance is gone, so is every thread it started.
TEST_F (Lv2Host, LifecycleCyclesLeaveNoThread)
{
    const int before = threadCount();
    std::mt19937 rng (5);
    for (int cycle = 0; cycle < 50; ++cycle)
    {
        Instance instance (cycle % 2 == 0 ? 48000.0 : 96000.0, 2048);
        ASSERT_TRUE (instance.ok()) << "cycle " << cycle;
        const auto value = withBytes (savedValue (instance), storedValue (encodeBlock (stateBlock (customText))));
        ASSERT_EQ (instance.restore ({ value }), LV2_STATE_SUCCESS);
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ (instance.runChecked (rng() % 2049), "") << "cycle " << cycle;
        ASSERT_EQ (savedValue (instance).bytes, value.bytes) << "cycle " << cycle;
    }
    EXPECT_EQ (waitForThreadsAtMost (before, 30.0), before);
}

// Sixteen instances at once, each run on its own audio thread: each keeps the state it was given,
// none asks the heap for anything inside run(), and all their threads go with the last of them.
TEST_F (Lv2Host, SixteenInstancesAtOnce)
{
    const auto& counter = Counter::get();
    ASSERT_TRUE (counter.present()) << "the counter library (rt_counter) must be in LD_PRELOAD";
    const int before = threadCount();
    constexpr int count = 16;
    {
        std::vector<std::unique_ptr<Instance>> instances;
        std::vector<StateValue> values;
        for (int i = 0; i < count; ++i)
        {
            instances.push_back (std::make_unique<Instance> (44100.0 + 100.0 * i, 4096));
            ASSERT_TRUE (instances.back()->ok());
            const auto text = stateText (
                ("bpm=\"" + std::to_string (100 + i) + ".0\" pitch=\"0.0\" gain=\"0.5\" sync=\"1\"").c_str());
            values.push_back (
                withBytes (savedValue (*instances.back()), storedValue (encodeBlock (stateBlock (text)))));
            ASSERT_EQ (instances.back()->restore ({ values.back() }), LV2_STATE_SUCCESS);
        }

        std::vector<RtCounts> totals (count);
        std::vector<std::string> problems (count);
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i)
        {
            threads.emplace_back (
                [&, i]
                {
                    std::mt19937 rng ((unsigned) i);
                    auto& instance = *instances[(size_t) i];
                    for (int run = 0; run < 500 && problems[(size_t) i].empty(); ++run)
                    {
                        const auto frames = (uint32_t) (rng() % 4097);
                        instance.prepareOutputs();
                        counter.begin();
                        instance.run (frames);
                        const auto counts = counter.end();
                        totals[(size_t) i].allocs += counts.allocs;
                        totals[(size_t) i].frees += counts.frees;
                        totals[(size_t) i].waits += counts.waits;
                        problems[(size_t) i] = instance.afterRun (frames);
                    }
                });
        }
        for (auto& t : threads)
            t.join();

        for (int i = 0; i < count; ++i)
        {
            EXPECT_EQ (problems[(size_t) i], "") << "instance " << i;
            EXPECT_EQ (totals[(size_t) i].allocs + totals[(size_t) i].frees, 0) << "instance " << i;
            EXPECT_EQ (totals[(size_t) i].waits, 0) << "instance " << i;
            EXPECT_EQ (savedValue (*instances[(size_t) i]).bytes, values[(size_t) i].bytes) << "instance " << i;
        }
    }
    EXPECT_EQ (waitForThreadsAtMost (before, 30.0), before);
}
} // namespace
