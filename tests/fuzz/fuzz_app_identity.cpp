// The application identity rule over property dictionaries of any keys and
// values, as another process may announce them (the input's format is in
// README.md).

#include "FuzzChecks.h"

#include "AppIdentity.h"

#include <array>

using namespace loomwell;
using loomwell::fuzz::check;

namespace
{

// The first four are the identity rule's, in its order.
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

// True when `text` is what one of the dictionaries gives for `key` once
// cleaned (the portal's key counts only on the client).
bool cameFrom (const std::string& text, const PropertyMap& node, const PropertyMap& client, const std::string& key)
{
    const auto gives = [&] (const PropertyMap& map)
    {
        const auto it = map.find (key);
        return it != map.end() && cleanText (it->second) == text;
    };
    return (key != knownKeys[0] && gives (node)) || gives (client);
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
        for (size_t k = 0; k < 4; ++k)
            fromRule = fromRule || cameFrom (identity.bundleId, node, client, knownKeys[k]);
        check (fromRule, "identifier is no cleaned value of the rule's keys");
        check (! identity.name.empty(), "an identified node without a name");
        check (identity.name == identity.bundleId || cameFrom (identity.name, node, client, "application.name"),
               "name is neither application.name nor the identifier");
    }
    if (identity.processId > 0)
        check (node.contains ("application.process.id") || client.contains ("application.process.id"), "a process id nobody announced");

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
