#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace loomwell
{

// The consoles' USB identity. Every place that asks whether a USB device is
// one of our consoles goes through these.
inline constexpr uint16_t consoleVendorId = 0x3A7D;
inline constexpr std::array<uint16_t, 5> trelProductIds { 0x7301, 0x7302, 0x7303, 0x7304, 0x7305 };
inline constexpr std::array<uint16_t, 5> vantorProductIds { 0x7401, 0x7402, 0x7403, 0x7404, 0x7405 };

enum ConsoleKind : int32_t
{
    consoleKindTrel = 0,
    consoleKindVantor = 1
};

struct ConsoleModel
{
    int32_t kind = consoleKindTrel;
    std::string multitrackDeviceName;
    std::string displayName;
    int32_t channelCount = 0;
};

bool isTrelProductId (uint16_t productId);
bool isConsoleProductId (uint16_t productId);

// Only meaningful for an id that isConsoleProductId accepts: everything
// that is not a Trel id is taken for a Vantor.
ConsoleModel modelForProductId (uint16_t productId);

// The text that a console's USB product name contains, for finding the
// console in the registry by model when its serial is unknown.
std::string usbProductKey (int32_t kind);

} // namespace loomwell
