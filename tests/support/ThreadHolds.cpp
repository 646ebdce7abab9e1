#include "support/ThreadHolds.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport
{
namespace
{
const char* const forcedKillLine = "!! killing thread by force !!";

struct StopSignal : juce::Thread::Listener
{
    void exitSignalSent() override { stopping.signal(); }
    juce::WaitableEvent stopping;
};

constexpr char releasedByte = 'r';

// The held threads and what each needs when it is let go.
struct Held
{
    pid_t thread;
    bool stopped;
    int pendingSignal; // a signal that stopped it first, handed back at the release
};

// The child's whole life, right after fork. Only system calls: the parent's locks and heap are not its own.
[[noreturn]] void holdFromChild (Held* held, size_t count, int ms, int report, pid_t parent)
{
    syscall (SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);

    if (syscall (SYS_getppid) != parent)
        syscall (SYS_exit_group, 1);

    int result = 0;

    for (size_t i = 0; i < count && result == 0; ++i)
    {
        auto& h = held[i];

        if (syscall (SYS_ptrace, PTRACE_SEIZE, h.thread, 0, 0) != 0)
        {
            if (errno != ESRCH) // a thread that has ended needs no hold
                result = errno;

            continue;
        }

        if (syscall (SYS_ptrace, PTRACE_INTERRUPT, h.thread, 0, 0) != 0)
        {
            result = errno;
            break;
        }

        for (;;)
        {
            int status = 0;

            if (syscall (SYS_wait4, h.thread, &status, __WALL, 0) < 0)
            {
                if (errno == EINTR)
                    continue;

                result = errno;
                break;
            }

            if (WIFSTOPPED (status))
            {
                h.stopped = true;
                h.pendingSignal = (status >> 16) == PTRACE_EVENT_STOP ? 0 : WSTOPSIG (status);
            }

            break;
        }
    }

    syscall (SYS_write, report, &result, sizeof (result));

    if (result != 0)
        syscall (SYS_exit_group, 1); // the threads seized so far go on at the child's end

    struct timespec left = { ms / 1000, (long) (ms % 1000) * 1000000L };

    while (syscall (SYS_nanosleep, &left, &left) != 0 && errno == EINTR)
    {
    }

    // Said before the threads run again, so that nothing the parent sees them do can come first.
    syscall (SYS_write, report, &releasedByte, 1);

    for (size_t i = 0; i < count; ++i)
        if (held[i].stopped)
            syscall (SYS_ptrace, PTRACE_DETACH, held[i].thread, 0, held[i].pendingSignal);

    syscall (SYS_exit_group, 0);
    __builtin_unreachable();
}

bool readWithin (int fd, void* data, size_t size, int timeoutMs)
{
    struct pollfd ready = { fd, POLLIN, 0 };

    if (::poll (&ready, 1, timeoutMs) != 1)
        return false;

    return ::read (fd, data, size) == (ssize_t) size;
}
} // namespace

FrameworkLog::FrameworkLog() { juce::Logger::setCurrentLogger (this); }

FrameworkLog::~FrameworkLog() { juce::Logger::setCurrentLogger (nullptr); }

void FrameworkLog::logMessage (const juce::String& message)
{
    std::fprintf (stderr, "framework: %s\n", message.toRawUTF8());

    if (message.contains (forcedKillLine))
        ++kills;
}

bool holdThisThreadPastItsStop (const FrameworkLog& log, int ms, pid_t spared)
{
    auto* thread = juce::Thread::getCurrentThread();

    if (thread == nullptr)
        return false;

    // Were the framework to kill this thread, it must not unwind through the destructor this is called from.
    int previous = 0;
    pthread_setcancelstate (PTHREAD_CANCEL_DISABLE, &previous);

    StopSignal signal;
    thread->addListener (&signal);
    const bool told = thread->threadShouldExit() || signal.stopping.wait (10000);
    thread->removeListener (&signal);

    bool held = told;

    if (told && spared == 0)
    {
        // The hold itself: the thread simply does not run on for a while.
        juce::Thread::sleep (ms);
    }
    else if (told)
    {
        std::vector<pid_t> others;

        for (auto t : threadsOfThisProcess())
            if (t != spared)
                others.push_back (t);

        // Returns once the hold is over: this thread is one of those held.
        const ThreadHold hold (others, ms);

        if (! hold.error.empty())
        {
            std::fprintf (stderr, "hold: %s\n", hold.error.c_str());
            held = false;
        }
    }

    if (log.forcedKills() > 0)
        for (;;)
            ::pause();

    pthread_setcancelstate (previous, nullptr);
    return held;
}

std::vector<pid_t> threadsOfThisProcess()
{
    std::vector<pid_t> threads;
    std::error_code error;

    for (const auto& entry : std::filesystem::directory_iterator ("/proc/self/task", error))
        threads.push_back ((pid_t) std::stoi (entry.path().filename().string()));

    return threads;
}

pid_t threadNamed (const juce::String& name)
{
    pid_t found = 0;

    for (auto thread : threadsOfThisProcess())
    {
        std::ifstream comm ("/proc/self/task/" + std::to_string (thread) + "/comm");
        std::string line;
        std::getline (comm, line);

        if (juce::String (line) == name)
        {
            if (found != 0)
                return 0;

            found = thread;
        }
    }

    return found;
}

pid_t thisThread() { return (pid_t) syscall (SYS_gettid); }

ThreadHold::ThreadHold (const std::vector<pid_t>& threads, int ms)
{
    std::vector<Held> held;

    for (auto t : threads)
        held.push_back ({ t, false, 0 });

    int fromChild[2];

    if (::pipe2 (fromChild, O_CLOEXEC) != 0)
    {
        error = std::strerror (errno);
        return;
    }

    // Where Yama allows tracing only by ancestors, the child may trace its parent all the same.
    ::prctl (PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);

    const pid_t parent = ::getpid();
    child = ::fork();

    if (child == 0)
        holdFromChild (held.data(), held.size(), ms, fromChild[1], parent);

    ::close (fromChild[1]);
    report = fromChild[0];

    if (child < 0)
    {
        error = std::strerror (errno);
        return;
    }

    int result = -1;

    if (! readWithin (report, &result, sizeof (result), 10000))
        error = "the holding process did not answer";
    else if (result != 0)
        error = std::string ("cannot stop the threads: ") + std::strerror (result);
}

bool ThreadHold::released()
{
    char byte = 0;

    if (! letGo && report >= 0 && readWithin (report, &byte, 1, 0))
        letGo = byte == releasedByte;

    return letGo;
}

ThreadHold::~ThreadHold()
{
    if (child > 0)
    {
        // The hold ends by itself; this only reaps the child, within a bound.
        int status = 0;
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + 60000.0;

        while (::waitpid (child, &status, WNOHANG) == 0)
        {
            if (juce::Time::getMillisecondCounterHiRes() > deadline)
            {
                ::kill (child, SIGKILL);
                ::waitpid (child, &status, 0);
                break;
            }

            juce::Thread::sleep (5);
        }
    }

    if (report >= 0)
        ::close (report);
}
} // namespace testsupport
