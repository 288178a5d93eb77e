#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace loomwell
{

class PipeWireConnection;

// An audio source of this computer that a slot can carry: a microphone, an
// interface's inputs, a virtual source. Monitors of sinks are not sources
// here: the consoles' own outputs would otherwise be offered back to them.
struct InputDevice
{
    uint32_t deviceId = 0; // the source node's object serial: never reused, unlike node ids
    std::string name;      // node.description (else nick, else node.name)
    std::string uid;       // node.name; empty when the node has none
};

// Longer names and UIDs are cut at a character boundary to this many bytes
// (the most a 256-byte C string holds) rather than skipped: the cut UID is
// the identifier stored on the slot, so a source keeps matching its slot
// entry. Text is also made valid UTF-8 (see cleanText).
inline constexpr size_t maxInputTextBytes = 255;

// Every source with at least one channel, in registry order, except those
// whose name contains "Mixora". Empty when PipeWire does not answer.
// Any thread but the PipeWire loop's.
std::vector<InputDevice> listInputDevices (PipeWireConnection&);

// The source a device id names, with the positions of the channels it
// delivers ("MONO", "FL", ...; empty entries for unnamed ones).
struct InputSource
{
    uint32_t nodeId = 0;
    uint32_t deviceId = 0;
    std::vector<std::string> channels;
};

// From the connection's cache as it is (no refresh); nullopt when the device
// is not a source right now.
std::optional<InputSource> findInputSource (const PipeWireConnection&, uint32_t deviceId);

} // namespace loomwell
