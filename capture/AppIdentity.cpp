#include "AppIdentity.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace loomwell
{

namespace
{

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF included).
size_t validSequenceLength (const std::string& s, size_t i)
{
    const auto byte = [&] (size_t k) { return static_cast<unsigned char> (s[k]); };
    const auto c = byte (i);
    if (c < 0x80)
        return 1;

    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) { length = 3; low = c == 0xE0 ? 0xA0 : 0x80; high = c == 0xED ? 0x9F : 0xBF; }
    else if (c >= 0xF0 && c <= 0xF4) { length = 4; low = c == 0xF0 ? 0x90 : 0x80; high = c == 0xF4 ? 0x8F : 0xBF; }
    else return 0;

    if (i + length > s.size() || byte (i + 1) < low || byte (i + 1) > high)
        return 0;
    for (size_t k = 2; k < length; ++k)
        if ((byte (i + k) & 0xC0) != 0x80)
            return 0;
    return length;
}

std::string lookup (const PropertyMap& node, const PropertyMap& client, const char* key)
{
    // Only the daemon writes the portal's id, and only on the client.
    const bool clientOnly = std::string_view (key) == "pipewire.access.portal.app_id";
    for (const auto* map : { &node, &client })
    {
        const auto it = map->find (key);
        if ((clientOnly && map == &node) || it == map->end())
            continue;
        if (auto clean = cleanText (it->second); ! clean.empty())
            return clean;
    }
    return {};
}

} // namespace

std::string cleanText (const std::string& untrusted, size_t maxBytes)
{
    std::string result;
    // Never look at more than a bounded prefix: a 10 MB property costs no more than a short one.
    const auto end = std::min (untrusted.size(), maxBytes * 4 + 4);
    for (size_t i = 0; i < end;)
    {
        const auto length = validSequenceLength (untrusted, i);
        const auto c = static_cast<unsigned char> (untrusted[i]);
        std::string piece;
        if (length == 0)
            piece = "\xEF\xBF\xBD";
        else if (c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char> (untrusted[i + 1]) < 0xA0))
            piece = " "; // C0, DEL and C1 (U+0080..U+009F, encoded C2 80..C2 9F)
        else
            piece = untrusted.substr (i, length);
        i += length == 0 ? 1 : length;

        if (result.size() + piece.size() > maxBytes)
            break;
        if (! (piece == " " && result.empty()))
            result += piece;
    }
    while (! result.empty() && result.back() == ' ')
        result.pop_back();
    return result;
}

AppIdentity appIdentity (const PropertyMap& nodeProperties, const PropertyMap& clientProperties)
{
    AppIdentity identity;
    for (const auto* key : { "pipewire.access.portal.app_id", "application.id", "application.process.binary", "application.name" })
        if (identity.bundleId = lookup (nodeProperties, clientProperties, key); ! identity.bundleId.empty())
            break;
    if (identity.bundleId.empty())
        return {};

    identity.name = lookup (nodeProperties, clientProperties, "application.name");
    if (identity.name.empty())
        identity.name = identity.bundleId;

    const auto pid = lookup (nodeProperties, clientProperties, "application.process.id");
    int value = 0;
    if (const auto [end, error] = std::from_chars (pid.data(), pid.data() + pid.size(), value);
        error == std::errc() && end == pid.data() + pid.size() && value > 0)
        identity.processId = value;
    return identity;
}

} // namespace loomwell
