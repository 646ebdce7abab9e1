#pragma once

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include <sys/types.h>

namespace testsupport
{
// Runs the message loop until the condition holds or the time is up; returns the condition.
bool pumpUntil (const std::function<bool()>& condition, int timeoutMs = 8000);

// One framework instance for the whole test program, on the thread that runs the tests, and a
// temporary folder of its own ($TMPDIR, where panels make their directory), so that test
// programs running side by side never meet there.
class FrameworkEnvironment : public ::testing::Environment
{
public:
    void SetUp() override;
    void TearDown() override;

    const juce::File& temporaryRoot() const { return tempRoot; }

private:
    juce::File tempRoot;
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> framework;
};

// The permission bits of the entry itself (a link's own), in octal as `ls` and `chmod` write them.
std::string modeOf (const juce::File& f);

// Lets everything the process creates be open to all, so that only what the code sets itself is seen.
struct OpenUmask
{
    OpenUmask();
    ~OpenUmask();
    mode_t saved;
};
} // namespace testsupport
