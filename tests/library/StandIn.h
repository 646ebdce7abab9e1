#pragma once

#include <juce_core/juce_core.h>

// Steers the stand-in web service that tools/harness/run.sh starts for each test process, through its
// control API on the site's own address (the harness trusts the test CA). A call that fails records a test
// failure and returns false or an empty value.
namespace StandIn
{
// Whether this process runs inside the harness, for the host name the build was configured with.
bool inHarness();

// Drops every fault, the request log, the sign-ins and the issued tokens.
bool reset();

// Answers the next `count` requests (-1: all) whose raw target contains `match` with the fault described by
// `faultJson`, for example R"({"type":"reply","status":404,"body":"{}"})".
bool addFault (const juce::String& match, const juce::String& faultJson, int count = 1);

// The requests the service received since the last reset, oldest first: an array of objects with "method",
// "target", "request_line", "headers" (an array of [name, value]) and "body_b64".
juce::var requests();

// The bytes of a logged request's body.
juce::MemoryBlock bodyOf (const juce::var& request);

// A fresh access token the service accepts; empty on failure.
juce::String issueToken();

// Confirms a sign-in as the user would on the site.
bool confirm (const juce::String& userCode);

// Makes the service refuse `token` from now on (401).
bool expire (const juce::String& token);

// How many requests a "hold" fault keeps waiting right now; -1 on failure.
int held();

// Lets every "hold" fault added so far go: the requests it holds, or will, get their normal reply.
bool release();
} // namespace StandIn
