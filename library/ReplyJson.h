#pragma once

#include <juce_core/juce_core.h>

// How deep arrays and objects may nest in a reply, together; far beyond anything the service sends.
constexpr int maxReplyJsonDepth = 256;

// The deepest nesting of arrays and objects that the framework's parser would reach in the text: brackets
// inside strings do not count, nor anything after the first complete value.
int jsonNestingDepth (const juce::String& text);

// The reply text as JSON; void when it is not valid JSON or nests deeper than maxReplyJsonDepth.
juce::var parseReplyJson (const juce::String& text);

// Only JSON strings and numbers become text for the user; any other value reads as empty.
juce::String jsonText (const juce::var& value);

// The integer of a JSON number or numeric string; any other value reads as 0.
int jsonInt (const juce::var& value);

// A flag; an object or an array does not count as true.
bool jsonFlag (const juce::var& value);

// The error text of a rejected reply: its "message" when that is a string or a number, empty when it is
// null, otherwise `fallback`.
juce::String rejectionMessage (const juce::var& json, const juce::String& fallback);
