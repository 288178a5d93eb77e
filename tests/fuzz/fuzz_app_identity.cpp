// The application identity rule over property dictionaries of any keys and
// values, as another process may announce them.
//
// The input is a list of properties, each: a byte that picks the dictionary
// (even: the stream node, odd: its client) and the key (bits 1..7 modulo 7:
// one of six keys the rule reads, or 6 for a key given as a string), the
// key string when asked for, the value string, and a byte that repeats the
// value up to 255 times so that short inputs reach long values. Strings end
// with a backslash and one more character ("\\" stands for one backslash).

#include "FuzzChecks.h"

#include "AppIdentity.h"

#include <array>

using namespace loomwell;
using loomwell::fuzz::check;

namespace
{

constexpr std::array<const char*, 6> knownKeys {
    "pipewire.access.portal.app_id", "application.id", "application.process.binary",
    "application.name", "application.process.id", "media.class"
};

// What appIdentity and cleanText promise of every text they return.
void checkClean (const std::string& text, size_t maxBytes, const char* what)
{
    check (text.size() <= maxBytes, what);
    check (fuzz::isCleanUtf8 (text), what);
    check (text.empty() || (text.front() != ' ' && text.back() != ' '), what);
}

const std::string* find (const PropertyMap& map, const char* key)
{
    const auto it = map.find (key);
    return it == map.end() ? nullptr : &it->second;
}

// True when `text` is what one of the dictionaries gives for `key` once
// cleaned (the portal's key counts only on the client).
bool cameFrom (const std::string& text, const PropertyMap& node, const PropertyMap& client, const char* key)
{
    const bool clientOnly = std::string_view (key) == "pipewire.access.portal.app_id";
    if (const auto* value = find (node, key); value != nullptr && ! clientOnly && cleanText (*value) == text)
        return true;
    const auto* value = find (client, key);
    return value != nullptr && cleanText (*value) == text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    fuzz::InputReader input (data, size);

    PropertyMap node, client;
    while (! input.empty())
    {
        const auto pick = input.byte();
        auto& map = (pick & 1) == 0 ? node : client;
        const auto keyIndex = static_cast<size_t> (pick >> 1) % (knownKeys.size() + 1);

        auto key = keyIndex < knownKeys.size() ? std::string (knownKeys[keyIndex]) : input.text();
        auto value = input.text();
        const auto repeats = input.byte();
        const auto unit = value;
        for (int i = 1; i < repeats && value.size() < 200'000; ++i)
            value += unit;
        map[key] = std::move (value);
    }

    const auto identity = appIdentity (node, client);

    checkClean (identity.bundleId, maxIdentityBytes, "identifier is not clean");
    checkClean (identity.name, maxIdentityBytes, "name is not clean");
    check (identity.processId >= 0, "negative process id");

    if (identity.bundleId.empty())
    {
        check (identity.name.empty() && identity.processId == 0, "a node without identity still has a name or process");
    }
    else
    {
        // The identifier is one of the four keys' cleaned values, and the
        // name the cleaned application.name or else the identifier.
        bool fromRule = false;
        for (const auto* key : { "pipewire.access.portal.app_id", "application.id", "application.process.binary", "application.name" })
            fromRule = fromRule || cameFrom (identity.bundleId, node, client, key);
        check (fromRule, "identifier is no cleaned value of the rule's keys");
        check (! identity.name.empty(), "an identified node without a name");
        check (identity.name == identity.bundleId || cameFrom (identity.name, node, client, "application.name"),
               "name is neither application.name nor the identifier");
    }
    if (identity.processId > 0)
        check (find (node, "application.process.id") != nullptr || find (client, "application.process.id") != nullptr,
               "a process id nobody announced");

    const auto again = appIdentity (node, client);
    check (again.bundleId == identity.bundleId && again.name == identity.name && again.processId == identity.processId,
           "the same properties gave another identity");

    // cleanText with every limit: bounded, clean, and a fixed point.
    for (const auto& [key, value] : node)
    {
        const auto maxBytes = value.size() % 300;
        const auto cleaned = cleanText (value, maxBytes);
        checkClean (cleaned, maxBytes, "cleanText broke its limit or left bad text");
        check (cleanText (cleaned, maxBytes) == cleaned, "cleanText is not a fixed point on clean text");
    }
    return 0;
}
