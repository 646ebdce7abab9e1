#pragma once

#include <juce_core/juce_core.h>

// The most bytes a JSON reply may hold; a longer body is never read as JSON.
constexpr juce::int64 maxReplyJsonBytes = 1048576;

// How deep arrays and objects may nest in a reply, together; far beyond anything the service sends.
constexpr int maxReplyJsonDepth = 256;

// How many members the objects of a reply may hold, all together, and how many arrays and objects it may
// hold; a catalog page holds some fifty members in ten objects.
constexpr int maxReplyJsonMembers = 4096;
constexpr int maxReplyJsonContainers = 4096;

// What the framework's parser would build from the text, at most: brackets and colons inside strings do not
// count, nor anything after the first complete value.
struct JsonShape
{
    int depth = 0;      // the deepest nesting of arrays and objects
    int members = 0;    // the members of all objects
    int containers = 0; // the arrays and objects
};

JsonShape jsonShape (const juce::String& text);

// The reply text as JSON; void when it is not valid JSON, nests deeper than maxReplyJsonDepth or holds more
// members, arrays or objects than the bounds above.
juce::var parseReplyJson (const juce::String& text);

// A reply's body as JSON, as text in UTF-8 or with a byte-order mark; void when it holds more than
// maxReplyJsonBytes or its text is refused as above.
juce::var parseReplyJson (const juce::MemoryBlock& body);

// Only JSON strings and numbers become text for the user; any other value reads as empty.
juce::String jsonText (const juce::var& value);

// The integer of a JSON number or numeric string, truncated towards zero; one beyond int's range reads as the
// nearest int. Any other value reads as 0.
int jsonInt (const juce::var& value);

// A flag; an object or an array does not count as true.
bool jsonFlag (const juce::var& value);

// The error text of a rejected reply: its "message" when that is a string or a number, empty when it is
// null, otherwise `fallback`.
juce::String rejectionMessage (const juce::var& json, const juce::String& fallback);
