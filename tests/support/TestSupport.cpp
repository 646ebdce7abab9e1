#include "support/TestSupport.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/stat.h>

namespace testsupport
{
std::string modeOf (const juce::File& f)
{
    char text[8];
    const auto bits = std::filesystem::symlink_status (f.getFullPathName().toStdString()).permissions();
    std::snprintf (text, sizeof (text), "%04o", (unsigned) bits);
    return text;
}

OpenUmask::OpenUmask() : saved (::umask (0)) {}

OpenUmask::~OpenUmask() { ::umask (saved); }

bool pumpUntil (const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounterHiRes() > deadline)
            return condition();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }

    return true;
}

void FrameworkEnvironment::SetUp()
{
    const char* base = std::getenv ("TMPDIR");
    std::string pattern = std::string (base != nullptr && *base != 0 ? base : "/tmp") + "/tolvane-test.XXXXXX";
    ASSERT_NE (mkdtemp (pattern.data()), nullptr);
    tempRoot = juce::File (pattern);
    setenv ("TMPDIR", pattern.c_str(), 1);

    // Without DISPLAY the framework tries ":0.0", and would tie a headless test to whatever X
    // server runs there; a display that never exists keeps it headless.
    if (std::getenv ("DISPLAY") == nullptr)
        setenv ("DISPLAY", ":65535", 1);

    framework = std::make_unique<juce::ScopedJuceInitialiser_GUI>();
}

void FrameworkEnvironment::TearDown()
{
    framework.reset();
    tempRoot.deleteRecursively();
}
} // namespace testsupport
