#pragma once

// Holding threads of the test process the way a loaded machine's scheduler may: for longer than the
// framework ever waited before it killed a thread.

#include <juce_core/juce_core.h>

#include <atomic>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testsupport
{
// The framework's log while it exists; among its lines the one written before a thread is killed by force.
// Every line also goes to stderr, so that it is seen should the kill bring the process down.
class FrameworkLog : public juce::Logger
{
public:
    FrameworkLog();
    ~FrameworkLog() override;

    int forcedKills() const { return kills.load(); }

private:
    void logMessage (const juce::String& message) override;

    std::atomic<int> kills{ 0 };
};

// Called on a juce::Thread: once that thread has been told to exit (waiting at most 10 s for that), holds it
// for `ms`, and with it every other thread of the process but `spared` when that is not 0. A thread killed
// meanwhile by force never returns: its objects are gone, and nothing it would touch afterwards is left.
// True when held as asked.
bool holdThisThreadPastItsStop (const FrameworkLog& log, int ms, pid_t spared = 0);

// Every thread of this process, and the one that bears `name` (0 when none or several do).
std::vector<pid_t> threadsOfThisProcess();
pid_t threadNamed (const juce::String& name);
pid_t thisThread();

// Stops the given threads of this process from a child process (ptrace) until `ms` have passed, whatever
// this process does meanwhile; the constructor returns once every one of them is stopped.
class ThreadHold
{
public:
    ThreadHold (const std::vector<pid_t>& threads, int ms);
    ~ThreadHold();

    // Whether every thread was stopped; otherwise `error` says why.
    bool holding() const { return child > 0 && error.empty(); }

    // Whether the threads have been let go by now.
    bool released();

    std::string error;

private:
    pid_t child = -1;
    int report = -1; // from the child
    bool letGo = false;
};
} // namespace testsupport
