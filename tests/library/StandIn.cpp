#include "library/StandIn.h"

#include "library/SiteAddress.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace StandIn
{
namespace
{
// One control call; the reply's JSON in `result`. Independent of the request layer under test.
bool control (const juce::String& method, const juce::String& name, const juce::String& jsonBody, juce::var& result)
{
    juce::URL address (juce::String (siteRootUrl) + "__control/" + name);
    juce::String headers ("Accept: application/json\r\n");

    if (method == "POST")
    {
        address = address.withPOSTData (jsonBody.isEmpty() ? juce::String ("{}") : jsonBody);
        headers << "Content-Type: application/json\r\n";
    }

    int status = 0;
    const auto stream =
        address.createInputStream (juce::URL::InputStreamOptions (juce::URL::ParameterHandling::inAddress)
                                       .withExtraHeaders (headers)
                                       .withConnectionTimeoutMs (10000)
                                       .withNumRedirectsToFollow (0)
                                       .withHttpRequestCmd (method)
                                       .withStatusCode (&status));

    if (stream == nullptr)
    {
        ADD_FAILURE() << "stand-in control '" << name << "' unreachable (status " << status
                      << "); run through tools/harness/run.sh";
        return false;
    }

    const auto text = stream->readEntireStreamAsString();
    result = juce::JSON::parse (text);

    if (status != 200)
    {
        ADD_FAILURE() << "stand-in control '" << name << "' answered " << status << ": " << text;
        return false;
    }

    return true;
}
} // namespace

bool inHarness()
{
    const char* harness = std::getenv ("TOLVANE_HARNESS");
    const char* host = std::getenv ("TOLVANE_SITE_HOST");
    return harness != nullptr && juce::String (harness) == "1" && host != nullptr && juce::String (host) == siteHost;
}

bool reset()
{
    juce::var result;
    return control ("POST", "reset", R"({"state":true})", result);
}

bool addFault (const juce::String& match, const juce::String& faultJson, int count)
{
    const auto fault = juce::JSON::parse (faultJson);

    if (! fault.isObject())
    {
        ADD_FAILURE() << "fault is not a JSON object: " << faultJson;
        return false;
    }

    auto* args = new juce::DynamicObject();
    args->setProperty ("match", match);
    args->setProperty ("count", count);
    args->setProperty ("fault", fault);

    juce::var result;
    return control ("POST", "fault", juce::JSON::toString (juce::var (args), true), result);
}

juce::var requests()
{
    juce::var result;

    if (! control ("GET", "requests", {}, result) || ! result.isArray())
        return {};

    return result;
}

juce::MemoryBlock bodyOf (const juce::var& request)
{
    juce::MemoryOutputStream out;

    if (! juce::Base64::convertFromBase64 (out, request.getProperty ("body_b64", "").toString()))
        ADD_FAILURE() << "request body is not base64";

    return out.getMemoryBlock();
}

juce::String issueToken()
{
    juce::var result;

    if (! control ("POST", "issue-token", "{}", result))
        return {};

    return result.getProperty ("access_token", "").toString();
}

bool confirm (const juce::String& userCode)
{
    auto* args = new juce::DynamicObject();
    args->setProperty ("user_code", userCode);

    juce::var result;
    return control ("POST", "confirm", juce::JSON::toString (juce::var (args), true), result);
}

bool expire (const juce::String& token)
{
    auto* args = new juce::DynamicObject();
    args->setProperty ("token", token);

    juce::var result;
    return control ("POST", "expire", juce::JSON::toString (juce::var (args), true), result);
}

int held()
{
    juce::var result;

    if (! control ("GET", "held", {}, result))
        return -1;

    return (int) result.getProperty ("held", -1);
}

bool release()
{
    juce::var result;
    return control ("POST", "release", "{}", result);
}
} // namespace StandIn
