#pragma once

#include "UsbRegistry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace loomwell
{

// A console found on USB. The serial is never empty.
struct UsbConsoleRecord
{
    std::string serial;
    uint16_t productId = 0;
    std::string firmware;
};

// The attached consoles in the registry's order, one line on stderr for
// each and a closing count. A registry that cannot be asked gives none.
std::vector<UsbConsoleRecord> probeUsbConsoles (UsbRegistry& registry);

struct UsbIdentity
{
    std::string serial;
    std::string firmware;
};

// Serial and firmware of the first device of the console maker whose USB
// product name contains `key`; both empty when none matches, std::nullopt
// when the registry cannot be asked.
std::optional<UsbIdentity> lookupUsbIdentityByProductName (UsbRegistry& registry, const std::string& key);

} // namespace loomwell
