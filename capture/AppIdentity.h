#pragma once

#include <map>
#include <string>

namespace loomwell
{

// How an application is named on this system: the one place that decides it.
// The list of capturable applications, the capture that follows an
// application's streams and the icon lookup all call appIdentity(), so the
// same process always gets the same identifier.
//
// The identifier ("bundle identifier" elsewhere in Loomwell) is the first of
// these that is present and not empty once cleaned:
//   1. pipewire.access.portal.app_id (set by the daemon for sandboxed
//      clients, so it cannot be forged by the application),
//   2. application.id,
//   3. application.process.binary,
//   4. application.name.
// The display name is application.name, else the identifier.
//
// Keys are looked up on the stream node first and on its client second; the
// daemon gives a stream node only what the application put on the stream,
// while the process id and the portal id live on the client.
//
// Every value comes from another process and may have any length and any
// bytes: cleanText() keeps what we store valid UTF-8, free of control
// characters and at most maxIdentityBytes long.
struct AppIdentity
{
    std::string bundleId; // empty: the node has no identity and is not offered
    std::string name;
    int processId = 0;    // application.process.id; 0 when not announced
};

using PropertyMap = std::map<std::string, std::string>;

inline constexpr size_t maxIdentityBytes = 255;

AppIdentity appIdentity (const PropertyMap& nodeProperties, const PropertyMap& clientProperties);

// Invalid UTF-8 sequences become U+FFFD, control characters a space; leading
// and trailing spaces go; the result is cut at a character boundary so that
// it holds at most maxBytes bytes.
std::string cleanText (const std::string& untrusted, size_t maxBytes = maxIdentityBytes);

} // namespace loomwell
