#include "LibraryPanel.h"
#include "ReplyJson.h"

#include <pthread.h>
#include <signal.h>

namespace
{
constexpr int connectionTimeoutMs = 10000;
constexpr juce::uint32 readDeadlineMs = 20000;
constexpr int pieceSize = 16384;
constexpr juce::int64 jsonLimit = 1048576;
constexpr juce::int64 audioLimit = 33554432;
constexpr size_t collectStartRoom = 256;

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

// Collects the body in pieces, giving up when the deadline has passed before a piece or the limit would be
// passed. A failed read ends the body like its end.
BodyEnd readBody (juce::InputStream& stream, juce::int64 limit, juce::MemoryBlock& bytes)
{
    juce::HeapBlock<char> piece ((size_t) pieceSize);
    bytes.setSize (collectStartRoom);
    juce::MemoryOutputStream collected (bytes, false);
    const juce::uint32 start = juce::Time::getMillisecondCounter();

    while (! stream.isExhausted())
    {
        // Unsigned difference, so a wrap of the counter does no harm.
        const juce::uint32 elapsed = juce::Time::getMillisecondCounter() - start;

        if (elapsed > readDeadlineMs)
            return BodyEnd::timedOut;

        const int n = stream.read (piece.get(), pieceSize);

        if (n < 1)
            break;

        if ((juce::uint64) collected.getDataSize() + (juce::uint64) n > (juce::uint64) limit)
            return BodyEnd::tooLarge;

        collected.write (piece.get(), (size_t) n);
    }

    return BodyEnd::complete;
}
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
                      std::move (callback) };
    pool.addJob (new Job (std::move (task)), true);
}

void LibraryPanel::RequestTask::runRequest()
{
    auto reply = performRequest (url, method, body, token, binary);
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

LibraryPanel::Reply performRequest (const juce::String& url, const juce::String& method, const juce::String& body,
                                    const juce::String& token, bool binary)
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

    const auto options = juce::URL::InputStreamOptions (juce::URL::ParameterHandling::inAddress)
                             .withExtraHeaders (headers)
                             .withConnectionTimeoutMs (connectionTimeoutMs)
                             .withNumRedirectsToFollow (0)
                             .withHttpRequestCmd (method)
                             .withStatusCode (&reply.status);

    const auto stream = address.createInputStream (options);

    if (stream == nullptr)
    {
        reply.error = cannotReachText;
        return reply;
    }

    const juce::int64 limit = binary ? audioLimit : jsonLimit;

    if (stream->getTotalLength() > limit)
    {
        reply.error = tooLargeText;
        return reply;
    }

    juce::MemoryBlock bytes;

    switch (readBody (*stream, limit, bytes))
    {
    case BodyEnd::timedOut:
        reply.error = timedOutText;
        return reply;
    case BodyEnd::tooLarge:
        reply.error = tooLargeText;
        return reply;
    case BodyEnd::complete:
        break;
    }

    if (binary && reply.status == 200)
    {
        const juce::int64 declared = stream->getTotalLength();

        if (declared > 0 && declared != (juce::int64) bytes.getSize())
        {
            reply.error = incompleteText;
            return reply;
        }

        reply.body = std::move (bytes);
        return reply;
    }

    // Honours a byte-order mark, UTF-8 otherwise.
    const auto text = juce::String::createStringFromData (bytes.getData(), (int) bytes.getSize());
    reply.json = parseReplyJson (text);

    if (reply.status != 200 && reply.status != 202)
        reply.error = rejectionMessage (reply.json, rejectedText);

    return reply;
}
