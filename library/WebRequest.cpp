#include "LibraryPanel.h"
#include "ReplyJson.h"

#include <pthread.h>
#include <signal.h>

namespace
{
constexpr int connectionTimeoutMs = 10000;
// How long the reply's head may take: the connection time-out, and a second for the transport's own rule to
// speak first. That rule counts no byte of a head, so it ends every head still open after the connection
// time-out: before the status line as no reply, after it as a reply cut short. This watch is for the rest.
constexpr juce::uint32 headDeadlineMs = (juce::uint32) connectionTimeoutMs + 1000;
constexpr juce::uint32 readDeadlineMs = 20000;
constexpr int pieceSize = 16384;
constexpr juce::int64 jsonLimit = maxReplyJsonBytes;
constexpr juce::int64 audioLimit = 33554432;
constexpr size_t collectStartRoom = 256;
constexpr int readSize = 1048576;

const char* const cannotReachText = "Cannot reach Brevant. Try again.";
const char* const tooLargeText = "Response exceeds Tolvane's download limit.";
const char* const timedOutText = "Request timed out.";
const char* const incompleteText = "Download incomplete. Try again.";
const char* const rejectedText = "Request rejected. Reconnect or try again.";

// The framework's curl transport never recovers from an interrupted wait: a signal handled on the
// requesting thread mid-transfer leaves it spinning forever, and the panel's destructor with it.
// The pool's thread runs nothing but our requests, so asynchronous signals go to other threads.
// Faults raised by the thread itself stay deliverable.
void keepAsyncSignalsOffThisThread()
{
    sigset_t signals;
    sigfillset (&signals);

    for (int fault : { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT })
        sigdelset (&signals, fault);

    pthread_sigmask (SIG_BLOCK, &signals, nullptr);
}

enum class BodyEnd
{
    complete,
    timedOut,
    tooLarge
};

// Cancels the stream in flight once its deadline has passed: the framework's read of a piece blocks until
// the piece is full, so a server that trickles would otherwise hold the request for as long as it likes.
class Watchdog : private juce::Thread
{
public:
    Watchdog (RequestCancel& cancelToUse, juce::uint32 dueMs)
        : juce::Thread ("Tolvane deadline"), cancel (cancelToUse), due (dueMs)
    {
        startThread();
    }

    ~Watchdog() override { stop(); }

    // Moves the deadline; false when the previous one has already passed.
    bool moveTo (juce::uint32 dueMs)
    {
        {
            const std::lock_guard<std::mutex> hold (lock);

            if (fired)
                return false;

            due = dueMs;
        }

        notify();
        return true;
    }

    // Ends the watch; whether the deadline passed before.
    bool stop()
    {
        stopThread (-1);
        const std::lock_guard<std::mutex> hold (lock);
        return fired;
    }

private:
    void run() override
    {
        while (! threadShouldExit())
        {
            int left = 0;

            {
                const std::lock_guard<std::mutex> hold (lock);
                // Signed difference, so a wrap of the counter does no harm.
                left = (int) (juce::int32) (due - juce::Time::getMillisecondCounter());
                fired = left <= 0;
            }

            if (left <= 0)
            {
                cancel.cancelStream();
                return;
            }

            wait (left);
        }
    }

    RequestCancel& cancel;
    std::mutex lock;
    juce::uint32 due;
    bool fired = false;
};

// Collects the body straight into `bytes`, giving up when the deadline has passed before a read or the limit
// would be passed. A failed read ends the body like its end. Reads are large: the framework's own receive
// buffer is shifted and shrunk on every read taken from it, which for small ones costs many times the transfer
// itself. The room grows geometrically, to the declared length at once when that is within the limit, and
// keeps a piece to spare, so that a body passing the limit is seen and the last read finds the end.
BodyEnd readBody (juce::InputStream& stream, juce::int64 limit, juce::uint32 start, juce::MemoryBlock& bytes)
{
    const juce::int64 declared = stream.getTotalLength();
    const juce::int64 mostRoom = limit + pieceSize;
    bytes.setSize (collectStartRoom);
    juce::int64 used = 0;

    while (! stream.isExhausted())
    {
        // Unsigned difference, so a wrap of the counter does no harm.
        const juce::uint32 elapsed = juce::Time::getMillisecondCounter() - start;

        if (elapsed > readDeadlineMs)
            return BodyEnd::timedOut;

        const auto room = (juce::int64) bytes.getSize();

        if (used + pieceSize > room)
            bytes.setSize (
                (size_t) juce::jmin (mostRoom, juce::jmax (used + pieceSize, room * 2, declared + pieceSize)));

        const auto want = (int) juce::jmin ((juce::int64) readSize, (juce::int64) bytes.getSize() - used);
        const int n = stream.read (juce::addBytesToPointer (bytes.getData(), used), want);

        if (n < 1)
            break;

        if (used + n > limit)
            return BodyEnd::tooLarge;

        used += n;
    }

    bytes.setSize ((size_t) used);
    return BodyEnd::complete;
}

// Keeps a stream known to `cancel` while it is in use.
class AttachedStream
{
public:
    AttachedStream (RequestCancel& cancelToUse, juce::WebInputStream& stream)
        : cancel (cancelToUse), attached (cancel.attach (stream))
    {
    }

    ~AttachedStream() { cancel.detach(); }

    explicit operator bool() const { return attached; }

private:
    RequestCancel& cancel;
    const bool attached;
};
} // namespace

struct LibraryPanel::RequestTask
{
    juce::Component::SafePointer<LibraryPanel> panel;
    juce::String url;
    juce::String method;
    juce::String body;
    juce::String token;
    bool binary;
    std::function<void (Reply)> callback;
    std::shared_ptr<RequestCancel> cancel;

    void operator()() { runRequest(); }
    void runRequest();
};

struct LibraryPanel::ReplyDelivery
{
    juce::Component::SafePointer<LibraryPanel> panel;
    Reply reply;
    std::function<void (Reply)> callback;

    void operator()() { deliverReply(); }
    void deliverReply();
};

LibraryPanel::Job::Job (std::function<void()> requestTask)
    : juce::ThreadPoolJob ("Tolvane request"), task (std::move (requestTask))
{
}

LibraryPanel::Job::~Job() = default;

juce::ThreadPoolJob::JobStatus LibraryPanel::Job::runJob()
{
    keepAsyncSignalsOffThisThread();
    task();
    return jobHasFinished;
}

void LibraryPanel::sendRequest (juce::String url, juce::String method, juce::String body, juce::String token,
                                bool binary, std::function<void (Reply)> callback)
{
    busy = true;
    updateButtons();

    RequestTask task{ juce::Component::SafePointer<LibraryPanel> (this),
                      std::move (url),
                      std::move (method),
                      std::move (body),
                      std::move (token),
                      binary,
                      std::move (callback),
                      requestCancel };
    pool.addJob (new Job (std::move (task)), true);
}

void LibraryPanel::RequestTask::runRequest()
{
    auto reply = performRequest (url, method, body, token, binary, *cancel);
    // When the message loop has ended the reply is dropped.
    juce::MessageManager::callAsync (ReplyDelivery{ panel, std::move (reply), callback });
}

void LibraryPanel::ReplyDelivery::deliverReply()
{
    if (panel == nullptr)
        return;

    panel->busy = false;

    if (reply.status == 401 && panel->accessToken.isNotEmpty())
    {
        panel->accessToken.clear();
        panel->items.clear();
        panel->refreshList();
        panel->statusLabel.setText ("Connection expired. Sign in again.", juce::dontSendNotification);
    }

    callback (std::move (reply));

    if (panel != nullptr)
        panel->updateButtons();
}

void RequestCancel::cancel()
{
    const std::lock_guard<std::mutex> hold (lock);
    cancelled = true;

    if (current != nullptr)
        current->cancel();
}

bool RequestCancel::isCancelled()
{
    const std::lock_guard<std::mutex> hold (lock);
    return cancelled;
}

bool RequestCancel::attach (juce::WebInputStream& stream)
{
    const std::lock_guard<std::mutex> hold (lock);
    current = &stream;
    return ! cancelled;
}

void RequestCancel::detach()
{
    const std::lock_guard<std::mutex> hold (lock);
    current = nullptr;
}

void RequestCancel::cancelStream()
{
    const std::lock_guard<std::mutex> hold (lock);

    if (current != nullptr)
        current->cancel();
}

LibraryPanel::Reply performRequest (const juce::String& url, const juce::String& method, const juce::String& body,
                                    const juce::String& token, bool binary)
{
    RequestCancel cancel;
    return performRequest (url, method, body, token, binary, cancel);
}

LibraryPanel::Reply performRequest (const juce::String& url, const juce::String& method, const juce::String& body,
                                    const juce::String& token, bool binary, RequestCancel& cancel)
{
    LibraryPanel::Reply reply;
    const bool post = method == "POST";

    juce::String headers;
    headers << "Accept: " << (binary ? "audio/wav,application/octet-stream" : "application/json") << "\r\n";

    if (token.isNotEmpty())
        headers << "Authorization: Bearer " << token << "\r\n";

    juce::URL address (url);

    if (post)
    {
        // An empty body sends nothing either way; the framework copies an empty block through a null pointer.
        if (body.isNotEmpty())
            address = address.withPOSTData (body);

        headers << "Content-Type: application/json\r\n";
    }

    // Made by hand rather than by the URL, so that the transfer can be cancelled and a body cut short by the
    // transport can be told from a complete one; the same settings the URL would give it.
    juce::WebInputStream stream (address, false);
    stream.withExtraHeaders (headers).withConnectionTimeout (connectionTimeoutMs).withNumRedirectsToFollow (0);

    if (method.isNotEmpty())
        stream.withCustomRequestCommand (method);

    // Connecting, sending and the reply's head share the connection time-out, whatever the transport allows.
    Watchdog watchdog (cancel, juce::Time::getMillisecondCounter() + headDeadlineMs);
    const AttachedStream attached (cancel, stream);

    if (! attached)
    {
        reply.error = cannotReachText;
        return reply;
    }

    const bool connected = stream.connect (nullptr);
    // -1 when the transfer was cancelled before a reply came.
    reply.status = juce::jmax (0, stream.getStatusCode());

    // Once the status line has arrived the reply is open, even when the transport failed right after it: what
    // arrived is read like any body cut short.
    const juce::uint32 start = juce::Time::getMillisecondCounter();

    if (! connected || reply.status == 0 || ! watchdog.moveTo (start + readDeadlineMs) || cancel.isCancelled())
    {
        reply.error = cannotReachText;
        return reply;
    }

    const juce::int64 limit = binary ? audioLimit : jsonLimit;

    if (stream.getTotalLength() > limit)
    {
        reply.error = tooLargeText;
        return reply;
    }

    juce::MemoryBlock bytes;
    const auto end = readBody (stream, limit, start, bytes);
    const bool deadlinePassed = watchdog.stop();

    if (end == BodyEnd::tooLarge)
    {
        reply.error = tooLargeText;
        return reply;
    }

    if (cancel.isCancelled())
    {
        reply.error = cannotReachText;
        return reply;
    }

    // The deadline also ends a piece still being read.
    if (end == BodyEnd::timedOut || deadlinePassed)
    {
        reply.error = timedOutText;
        return reply;
    }

    // The transport ended the body with an error (a reset, a close before the declared length): not complete.
    // A JSON text cut short is still read as what arrived: the parser refuses a text that ends inside its outer
    // object or array, so a cut reply never passes for a whole one.
    const bool cutShort = stream.isError();

    if (binary && reply.status == 200)
    {
        const juce::int64 declared = stream.getTotalLength();

        if (cutShort || (declared > 0 && declared != (juce::int64) bytes.getSize()))
        {
            reply.error = incompleteText;
            return reply;
        }

        reply.body = std::move (bytes);
        return reply;
    }

    // An audio request's rejection may be longer than any JSON reply: it then reads as no JSON.
    reply.json = parseReplyJson (bytes);

    if (reply.status != 200 && reply.status != 202)
        reply.error = rejectionMessage (reply.json, rejectedText);

    return reply;
}
